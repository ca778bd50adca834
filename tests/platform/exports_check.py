#!/usr/bin/env python3
"""Checks that a shared library exports exactly what its version script names.

Usage: exports_check.py <library.so> <version script>
       exports_check.py --self-test

Every symbol that `nm -D --defined-only` shows must match a name or pattern
of the script's "global:" section, and every plain name there must be
exported (so the script cannot list a function the library lost). Patterns
("prefix_*") need not match anything.
"""
import fnmatch
import re
import subprocess
import sys


def script_globals(text):
    """Names and patterns of the global section of a version script."""
    text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)
    text = re.sub(r"#[^\n]*", "", text)
    m = re.search(r"global\s*:(.*?)(?:local\s*:|\})", text, flags=re.S)
    if not m:
        raise ValueError("no global section")
    return [n.strip() for n in m.group(1).split(";") if n.strip()]


def exported(lib):
    out = subprocess.run(["nm", "-D", "--defined-only", lib], check=True,
                         capture_output=True, text=True).stdout
    names = set()
    for line in out.splitlines():
        parts = line.split()
        if len(parts) >= 3:
            names.add(parts[2].split("@")[0])
    return names


def compare(names, listed):
    """(exported but not listed, listed but not exported)."""
    patterns = [p for p in listed if any(c in p for c in "*?[")]
    plain = set(listed) - set(patterns)
    extra = sorted(n for n in names
                   if n not in plain and not any(fnmatch.fnmatchcase(n, p) for p in patterns))
    missing = sorted(plain - names)
    return extra, missing


def self_test():
    script = """/* comment; not: a name */
    { global:
        ozcCreate;   # one name
        v1_*;
      local: *; };"""
    listed = script_globals(script)
    cases = [
        ({"ozcCreate", "v1_pod_free"}, ([], [])),
        ({"ozcCreate", "tracedNext"}, (["tracedNext"], [])),
        ({"v1_pod_free"}, ([], ["ozcCreate"])),
        ({"ozcCreateX", "ozcCreate"}, (["ozcCreateX"], [])),
    ]
    for names, want in cases:
        got = compare(names, listed)
        if got != want:
            print(f"FAIL: {sorted(names)}: {got}, expected {want}")
            return 1
    print("self-test passed")
    return 0


def main(argv):
    if argv[1:] == ["--self-test"]:
        return self_test()
    if len(argv) != 3:
        print(__doc__)
        return 2
    lib, script = argv[1], argv[2]
    with open(script) as f:
        listed = script_globals(f.read())
    extra, missing = compare(exported(lib), listed)
    for n in extra:
        print(f"{lib}: exports {n}, which {script} does not name")
    for n in missing:
        print(f"{lib}: does not export {n}, which {script} names")
    if extra or missing:
        return 1
    print(f"{lib}: exports exactly the {len(listed)} names and patterns of {script}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

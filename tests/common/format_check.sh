#!/bin/sh
# Fails when a C or C++ file of the project does not follow .clang-format,
# naming each such file and the first of its differences.
#   format_check.sh SOURCE_DIR     check the project's files
#   format_check.sh --self-test    check that a badly formatted file is found
set -u
command -v clang-format >/dev/null 2>&1 || { echo "clang-format is not installed (scripts/install.sh installs it)"; exit 77; }

check() {
    dir=$1
    cd "$dir" || exit 2
    if [ -d .git ] || git rev-parse --git-dir >/dev/null 2>&1; then
        files=$(git ls-files -co --exclude-standard '*.c' '*.cpp' '*.h')
    else
        files=$(find . -path ./build -prune -o -path './build-*' -prune -o \
                    \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) -print)
    fi
    # One run over every file; only when it finds something is each file
    # checked alone, to name them.
    # shellcheck disable=SC2086
    if clang-format --dry-run --Werror $files >/dev/null 2>&1; then
        echo "$(echo "$files" | wc -w) files formatted"
        return 0
    fi
    bad=0
    for f in $files; do
        [ -f "$f" ] || continue
        if ! out=$(clang-format --dry-run --Werror "$f" 2>&1); then
            echo "$f is not formatted (clang-format -i $f):"
            echo "$out" | head -n 4
            bad=$((bad + 1))
        fi
    done
    [ "$bad" -eq 0 ] || { echo "$bad file(s) not formatted"; return 1; }
    echo "$(echo "$files" | wc -w) files formatted"
}

if [ "${1:-}" = --self-test ]; then
    here=$(cd "$(dirname "$0")/../.." && pwd)
    t=$(mktemp -d) || exit 2
    trap 'rm -rf "$t"' EXIT
    cp "$here/.clang-format" "$t/"
    printf 'int f(int a)\n{\n    return a;\n}\n' > "$t/good.cpp"
    (check "$t" >/dev/null) || { echo "self-test: a formatted file was refused"; exit 1; }
    printf 'int g(int a) { if (a) return 1; return 0; }\n' > "$t/bad.cpp"
    out=$(check "$t")
    [ $? -ne 0 ] || { echo "self-test: an unformatted file was not found"; exit 1; }
    echo "$out" | grep -q 'bad.cpp is not formatted' || { echo "self-test: the report does not name the file"; exit 1; }
    echo "self-test passed"
    exit 0
fi
check "${1:?usage: format_check.sh SOURCE_DIR | --self-test}"

#!/usr/bin/env python3
"""Fails when an operating-system-specific call or header appears in the
product sources outside the platform layer.

Everything OS-specific (threads, message queues, mounts, namespaces, the
terminal, /proc) belongs in container/platform; the rest of container/ uses
the platform interface. Usage:

    check_os_calls.py <source-root>     check <source-root>/container
    check_os_calls.py --self-test       check the checker itself
"""
import os
import re
import sys
import tempfile

EXTENSIONS = ('.c', '.cc', '.cpp', '.cxx', '.h', '.hh', '.hpp')

RULES = [
    ('OS header', re.compile(
        r'#\s*include\s*[<"](pthread\.h|mqueue\.h|sys/mount\.h|sched\.h|termios\.h|'
        r'sys/ioctl\.h|sys/syscall\.h|sys/prctl\.h|linux/[^>"]*)[>"]')),
    ('OS call', re.compile(
        r'(?<![\w.>])(?<!\w::)(pthread_\w+|unshare|setns|pivot_root|chroot|mq_\w+|ioctl|'
        r'tcgetattr|tcsetattr|sched_\w+|mount|umount2?|syscall|prctl)\s*\(')),
    ('/proc access', re.compile(r'"/proc/')),
    ('C++ thread or lock (use tasks and semaphores)', re.compile(
        r'\bstd::(thread|jthread|mutex|recursive_mutex|timed_mutex|shared_mutex|'
        r'condition_variable(_any)?|async)\b')),
]

COMMENT_OR_STRING = re.compile(
    r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.S)


def strip_comments(text):
    """Blank out comments (keeping line breaks), keep string literals."""
    def repl(m):
        s = m.group(0)
        if s.startswith('/'):
            return re.sub(r'[^\n]', ' ', s)
        return s
    return COMMENT_OR_STRING.sub(repl, text)


def scan(container_dir):
    findings = []
    for dirpath, dirnames, filenames in os.walk(container_dir):
        rel = os.path.relpath(dirpath, container_dir)
        if rel == 'platform' or rel.startswith('platform' + os.sep):
            dirnames[:] = []
            continue
        for name in sorted(filenames):
            if not name.endswith(EXTENSIONS):
                continue
            path = os.path.join(dirpath, name)
            with open(path, encoding='utf-8', errors='replace') as f:
                text = strip_comments(f.read())
            for lineno, line in enumerate(text.split('\n'), 1):
                for what, rx in RULES:
                    if rx.search(line):
                        findings.append('%s:%d: %s: %s' % (path, lineno, what, line.strip()))
    return findings


def self_test():
    with tempfile.TemporaryDirectory() as root:
        def put(rel, text):
            p = os.path.join(root, rel)
            os.makedirs(os.path.dirname(p), exist_ok=True)
            with open(p, 'w') as f:
                f.write(text)
        put('platform/src/ok.cpp', '#include <pthread.h>\nint f(){ return mount(0,0,0,0,0); }\n')
        put('runtime/src/clean.cpp',
            '// pthread_create( in a comment\n/* "/proc/ and ioctl( */\n'
            'int ozNsMount(int); int g(){ return ozNsMount(1) + x.mount(2); }\n')
        bad = {
            'a.cpp': '#include <mqueue.h>\n',
            'b.cpp': 'void f(){ pthread_mutex_lock(&m); }\n',
            'c.cpp': 'int f(){ return setns(fd, 0); }\n',
            'd.cpp': 'const char *p = "/proc/self/ns/mnt";\n',
            'e.cpp': 'std::mutex m;\n',
            'f.h': '#include <sys/ioctl.h>\n',
            'g.cpp': 'int f(){ return ::unshare(0); }\n',
            'h.c': 'int f(){ return mq_open("/q", 0); }\n',
        }
        findings = scan(root)
        if findings:
            print('self-test: clean tree reported:\n' + '\n'.join(findings))
            return 1
        for name, text in bad.items():
            put('runtime/src/' + name, text)
        findings = scan(root)
        flagged = {os.path.basename(f.split(':')[0]) for f in findings}
        missing = set(bad) - flagged
        if missing or 'clean.cpp' in flagged or 'ok.cpp' in flagged:
            print('self-test: missed %s, flagged %s' % (sorted(missing), sorted(flagged)))
            return 1
    print('self-test passed')
    return 0


def main(argv):
    if len(argv) == 2 and argv[1] == '--self-test':
        return self_test()
    if len(argv) != 2:
        print(__doc__)
        return 2
    container = os.path.join(argv[1], 'container')
    if not os.path.isdir(container):
        print('no container directory under %s' % argv[1])
        return 2
    findings = scan(container)
    for f in findings:
        print(f)
    if findings:
        print('%d OS-specific use(s) outside container/platform' % len(findings))
        return 1
    print('no OS-specific use outside container/platform')
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))

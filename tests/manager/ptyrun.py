#!/usr/bin/env python3
"""Runs a program on a pseudo-terminal as a person would: waits for the
prompt, types one line, prints everything the terminal showed, exits with the
program's status.

  ptyrun.py PROMPT LINE PROGRAM [ARGS...]
"""
import os, pty, select, sys, time


def main():
    prompt, line, argv = sys.argv[1].encode(), sys.argv[2].encode(), sys.argv[3:]
    pid, fd = pty.fork()
    if pid == 0:
        os.execv(argv[0], argv)
    shown = b""

    def read(until, timeout):
        nonlocal shown
        end = time.time() + timeout
        while (until is None or until not in shown) and time.time() < end:
            ready, _, _ = select.select([fd], [], [], 0.1)
            if not ready:
                continue
            try:
                data = os.read(fd, 4096)
            except OSError:
                return
            if not data:
                return
            shown += data

    read(prompt, 10)
    time.sleep(0.2)  # the program turns the echo off after printing the prompt
    os.write(fd, line + b"\n")
    read(None, 30)
    _, status = os.waitpid(pid, 0)
    sys.stdout.write(shown.decode(errors="replace"))
    sys.exit(os.waitstatus_to_exitcode(status))


if __name__ == "__main__":
    main()

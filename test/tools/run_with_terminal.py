#!/usr/bin/env python3
"""run_with_terminal.py COMMAND...: runs COMMAND with a pseudo-terminal as standard input and
relays its output; exits with its exit code. Wine gives a program started so a console that
its children share, which Ctrl+C tests need."""

import os
import subprocess
import sys


def main(command):
    leader, follower = os.openpty()
    try:
        result = subprocess.run(command, stdin=follower, timeout=600)
    finally:
        os.close(follower)
        os.close(leader)
    return result.returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

#!/usr/bin/python3
"""Runs a command with its standard error on a pseudo-terminal, as in an interactive shell.

Everything the command writes to that terminal is copied, byte for byte, to this
program's own standard error; standard input and output are left as they are. The exit
status is the command's (128 + N when signal N ended it).

    stderr_on_pty.py COMMAND [ARGUMENT...]
"""

import os
import pty
import subprocess
import sys
import termios
import tty


def main(argv):
    master, slave = pty.openpty()
    # Raw mode: the terminal turns no LF into CR LF, so the copy shows what was written.
    tty.setraw(slave, termios.TCSANOW)
    child = subprocess.Popen(argv, stderr=slave)
    os.close(slave)
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # EIO: every writer has closed the terminal
            break
        if not chunk:
            break
        os.write(2, chunk)
    status = child.wait()
    return 128 - status if status < 0 else status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

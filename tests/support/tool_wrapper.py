"""Stand-in for an external program (unzip, rm) that the launcher runs through the shell.

The harness puts a small script per program first in PATH; it calls main() here, which
runs the real program with the same arguments, standard input and working directory,
records the call (arguments, exit status and what the program printed) as one JSON line
in $SETUP_E2E_TOOL_LOG/tools.jsonl, and ends the same way the real program did. What the
program printed is kept in the record instead of on the console, so the launcher's own
lines on standard error can be compared exactly.
"""

import json
import os
import signal
import subprocess
import sys


def _text(data):
    return os.fsdecode(data) if isinstance(data, bytes) else data


def main(name, real_program):
    arguments = sys.argv[1:]
    completed = subprocess.run([real_program] + arguments, capture_output=True)
    log_dir = os.environ.get("SETUP_E2E_TOOL_LOG")
    if log_dir:
        record = {
            "tool": name,
            "argv": arguments,
            "cwd": os.getcwd(),
            "ppid": os.getppid(),
            "status": completed.returncode,
            "stdout": _text(completed.stdout),
            "stderr": _text(completed.stderr),
        }
        with open(os.path.join(log_dir, "tools.jsonl"), "a", encoding="utf-8",
                  errors="surrogateescape") as log:
            log.write(json.dumps(record) + "\n")
    else:
        sys.stdout.buffer.write(completed.stdout)
        sys.stderr.buffer.write(completed.stderr)
    if completed.returncode < 0:
        number = -completed.returncode
        signal.signal(number, signal.SIG_DFL)
        os.kill(os.getpid(), number)
    sys.exit(completed.returncode)

"""Shared pieces of the hardening tests: what they need beyond the end-to-end harness.

The harness (tests/support/launcher_harness.py) makes launcher files with the real
setup-pack and runs the real setup binary to its end. The hardening tests also need to
act on a launcher while it runs (signals, a second launcher), to run it in a private
mount namespace (a trusted test CA, a full disk, a read-only home), to run it as an
unprivileged user, and to know libcurl's own texts for the failures they provoke.
"""

import ctypes
import ctypes.util
import functools
import glob
import os
import pty
import shlex
import signal
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))

import launcher_harness  # noqa: E402  (the path is set just above)
from launcher_harness import (DOWNLOAD_FAILED_PREFIX, INSTALLATION_FAILED,  # noqa: E402
                              AgentRecord, DetailsLine, download_failed_tail_lines, make_zip)
from scripted_server import Reply, etag_line, response  # noqa: E402

# libcurl's result codes that these tests provoke (curl/curl.h).
CURLE_UNSUPPORTED_PROTOCOL = 1
CURLE_PARTIAL_FILE = 18
CURLE_WRITE_ERROR = 23
CURLE_OPERATION_TIMEDOUT = 28
CURLE_TOO_MANY_REDIRECTS = 47
CURLE_PEER_FAILED_VERIFICATION = 60

UNZIP_FAILED = launcher_harness.UNZIP_FAILED
INIT_FAILED = launcher_harness.INIT_FAILED

# Where a run may wait for something at most; reaching it is a failure, never a result.
PATIENCE = 60.0

REAL_TOOLS_PATH = "/usr/local/bin:/usr/bin:/bin"
SYSTEM_CA_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"


# -- libcurl's texts ---------------------------------------------------------------------


@functools.lru_cache(maxsize=None)
def _libcurl():
    for name in ("libcurl.so.4", ctypes.util.find_library("curl")):
        if not name:
            continue
        try:
            library = ctypes.CDLL(name)
        except OSError:
            continue
        library.curl_easy_strerror.restype = ctypes.c_char_p
        library.curl_easy_strerror.argtypes = [ctypes.c_int]
        return library
    raise unittest.SkipTest("libcurl cannot be loaded to read its error texts")


def curl_text(code):
    """curl_easy_strerror of the code, from the libcurl that the launcher uses."""
    return _libcurl().curl_easy_strerror(code).decode()


def download_failed_lines(code):
    """The download-failure message as lines on standard error: prefix, libcurl's text, the
    two-LF tail; then the details line."""
    return ([DOWNLOAD_FAILED_PREFIX + curl_text(code)] + download_failed_tail_lines()
            + [DetailsLine()])


# -- what this machine allows --------------------------------------------------------------


def require_root(why):
    if os.geteuid() != 0:
        raise unittest.SkipTest("needs root (%s); run the suite as root, as CI does" % why)


@functools.lru_cache(maxsize=None)
def _namespace_problem():
    unshare = "/usr/bin/unshare"
    if not os.access(unshare, os.X_OK):
        return "unshare is not installed (Debian package util-linux)"
    probe = subprocess.run(
        [unshare, "--mount", "--propagation", "private", "--", "/bin/sh", "-c",
         "mount --make-rprivate / && mount -t tmpfs -o size=64k tmpfs /mnt"],
        capture_output=True, timeout=PATIENCE)
    if probe.returncode != 0:
        return "a private mount namespace cannot be made here: %s" % (
            os.fsdecode(probe.stderr).strip() or "unshare exited %d" % probe.returncode)
    return None


def require_mount_namespace():
    """Skips unless this process may make a private mount namespace and mount in it."""
    require_root("a private mount namespace")
    problem = _namespace_problem()
    if problem:
        raise unittest.SkipTest(problem)


def namespace_wrap(setup_commands):
    """A command prefix that runs the launcher in a private mount namespace.

    setup_commands: shell lines run first inside the namespace (mounts); the launcher
    path and its arguments follow the prefix and are run with exec. Mount propagation is
    made private before anything is mounted, so nothing reaches the machine's mounts.
    """
    script = "set -e\nmount --make-rprivate /\n%s\nexec \"$0\" \"$@\"\n" % "\n".join(
        setup_commands)
    return ["/usr/bin/unshare", "--mount", "--propagation", "private", "--", "/bin/sh", "-c",
            script]


def bind_over(source, target, read_only=False):
    """Shell lines (for namespace_wrap) that bind-mount source over target."""
    lines = ["mount --bind %s %s" % (shlex.quote(source), shlex.quote(target))]
    if read_only:
        lines.append("mount -o remount,bind,ro %s" % shlex.quote(target))
    return lines


UNPRIVILEGED_UID = 65534


def unprivileged_user():
    """The uid to run a permission case as: nobody under root, else this process's own."""
    return UNPRIVILEGED_UID if os.geteuid() == 0 else None


def hand_over(ws, paths, uid):
    """Makes the workspace reachable for uid and gives it these paths (when uid is set)."""
    if uid is None:
        return
    ws.open_to_other_users()
    for path in paths:
        for directory, names, files in os.walk(path):
            os.chown(directory, uid, uid)
            for name in files:
                os.lchown(os.path.join(directory, name), uid, uid)


# -- launcher files ------------------------------------------------------------------------


def pack_files(ws, output, bundle_file, member_files=()):
    """setup-pack on files that already lie on disk (for bundles too big to hold in memory)."""
    os.makedirs(os.path.dirname(output), exist_ok=True)
    completed = subprocess.run([ws.binaries.setup_pack, "-o", output, ws.binaries.setup,
                                bundle_file] + list(member_files), capture_output=True)
    if completed.returncode != 0:
        raise AssertionError("setup-pack failed (%d): %s" % (completed.returncode,
                                                             os.fsdecode(completed.stderr)))
    return output


def write_random_file(path, size):
    with open(path, "wb") as stream:
        remaining = size
        while remaining > 0:
            chunk = min(remaining, 1 << 20)
            stream.write(os.urandom(chunk))
            remaining -= chunk
    return path


# -- agents --------------------------------------------------------------------------------

WAITING_AGENT = r"""#!/bin/sh
# Test install agent that stays running until the test lets it go.
log=$SETUP_E2E_AGENT_LOG
printf '%%s\0' "$0" "$@" > "$log/argv"
pwd > "$log/cwd"
printf '%%s' '%(ident)s' > "$log/ident"
# The shell's own view, read with builtins only: a child would see a mask the shell
# cleared for it.
while read -r line; do
  case $line in Sig*) printf '%%s\n' "$line" ;; esac
done < /proc/$$/status > "$log/signals"
: > "$log/started"
waited=0
while [ ! -e "$log/release" ]; do
  waited=$((waited + 1))
  if [ "$waited" -gt 600 ]; then exit 97; fi
  sleep 0.1
done
: > "$log/finished"
exit 0
"""


def waiting_agent_archive(ident="waiting-agent"):
    """An agent that records its call and its signal masks, then waits for "release"."""
    return make_zip([("install", (WAITING_AGENT % {"ident": ident}).encode())])


# Test install agent that handles the stop signals as an agent should: it notes each one
# that reaches it and then stops. The shell replaces itself with a small program that
# counts deliveries at the lowest level (a shell, like Python's own handlers, merges two
# signals that arrive close together into one trap). Without a signal it waits for
# "release". It stops once SETUP_HARDENING_SIGNALS_TO_STOP signals (default 1) have
# come, after a moment in which a signal delivered twice would show.
TRAPPING_AGENT = r"""#!/bin/sh
printf '%%s\0' "$0" "$@" > "$SETUP_E2E_AGENT_LOG/argv"
pwd > "$SETUP_E2E_AGENT_LOG/cwd"
printf '%%s' '%(ident)s' > "$SETUP_E2E_AGENT_LOG/ident"
exec %(python)s -c '
import os, select, signal, time
log = os.environ["SETUP_E2E_AGENT_LOG"]
expected = int(os.environ.get("SETUP_HARDENING_SIGNALS_TO_STOP", "1"))
reader, writer = os.pipe()
os.set_blocking(writer, False)
signal.set_wakeup_fd(writer, warn_on_full_buffer=False)
for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
    signal.signal(number, lambda *_: None)
with open(os.path.join(log, "parent"), "w") as stream:
    stream.write("%%d\n" %% os.getppid())
open(os.path.join(log, "started"), "w").close()
heard = 0
deadline = time.monotonic() + 60
linger_until = None
while time.monotonic() < (linger_until or deadline):
    if select.select([reader], [], [], 0.05)[0]:
        with open(os.path.join(log, "received"), "a") as stream:
            for number in os.read(reader, 64):
                stream.write(signal.Signals(number).name + "\n")
                heard += 1
    if linger_until is None and (heard >= expected or os.path.exists(os.path.join(log, "release"))):
        linger_until = time.monotonic() + 0.5
open(os.path.join(log, "stopped"), "w").close()
'
"""


def trapping_agent_archive(ident="trapping-agent"):
    """An agent that notes each stop signal it receives, then stops (see TRAPPING_AGENT)."""
    return make_zip([("install", (TRAPPING_AGENT % {"ident": ident,
                                                    "python": sys.executable}).encode())])


def received_signals(agent_log):
    """The names of the signals the trapping agent received, in order."""
    path = os.path.join(agent_log, "received")
    if not os.path.exists(path):
        return []
    with open(path, encoding="ascii") as stream:
        return stream.read().split()


def stalled_get(archive, etag, sent_fraction=0.5):
    """A GET reply that declares the whole archive, sends part of it, then sends nothing."""
    head_only = response(200, header_lines=[etag_line(etag)], body=b"",
                         content_length=len(archive))
    return Reply(head=head_only.head, body=archive[:int(len(archive) * sent_fraction)])


def signal_mask(agent_log, field):
    """A signal set of the agent's shell (SigIgn, SigBlk, ...) as a set of numbers."""
    with open(os.path.join(agent_log, "signals"), encoding="ascii") as stream:
        for line in stream:
            name, _, value = line.partition(":")
            if name == field:
                bits = int(value.strip(), 16)
                return {number for number in range(1, 65) if bits & (1 << (number - 1))}
    raise AssertionError("no %s line in the agent's status" % field)


def on_a_terminal():
    """A new pseudo-terminal's master, and the wrap and env that make it the controlling
    terminal and standard input of a launcher that leads its session (LauncherProcess)."""
    master, slave = pty.openpty()
    env = {"SETUP_HARDENING_TTY": os.ttyname(slave)}
    os.close(slave)
    return master, ["/bin/sh", "-c", 'exec "$0" "$@" < "$SETUP_HARDENING_TTY"'], env


# -- runs the test acts on while they last ---------------------------------------------------


def wait_until(condition, what, timeout=PATIENCE, interval=0.005):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("gave up waiting for " + what)
        time.sleep(interval)


class LauncherProcess:
    """A launcher started in the background, in a process group of its own.

    The environment is the one the harness gives a run (HOME, the download URL, the
    agent's log), but the launcher finds the real unzip and rm: a signal sent to the
    whole group must reach nothing but the launcher, the real tools and the agent.
    """

    def __init__(self, ws, launcher, args=(), url=None, home="default", env=None, wrap=None,
                 label="async"):
        self.ws = ws
        self.agent_log = ws.path("run-%s-%d" % (label, id(self)))
        os.makedirs(self.agent_log)
        environment = launcher_harness.launcher_environment(
            REAL_TOOLS_PATH, self.agent_log, url, home, ws.home, env=env)
        self.command = list(wrap or []) + [launcher] + list(args)
        self.process = subprocess.Popen(self.command, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        env=environment, cwd=ws.cwd, start_new_session=True)
        self.pid = self.process.pid
        self.stdout = b""
        self.stderr = b""
        self.returncode = None

    def signal_process(self, number):
        os.kill(self.pid, number)

    def signal_group(self, number):
        """As a terminal does: the signal goes to every process of the launcher's group."""
        os.killpg(self.pid, number)

    def release_agent(self):
        with open(os.path.join(self.agent_log, "release"), "w"):
            pass

    def agent_started(self):
        return os.path.exists(os.path.join(self.agent_log, "started"))

    def agent_finished(self):
        return os.path.exists(os.path.join(self.agent_log, "finished"))

    @property
    def agent(self):
        if os.path.exists(os.path.join(self.agent_log, "argv")):
            return AgentRecord(self.agent_log)
        return None

    def finish(self, timeout=PATIENCE):
        """Waits for the end; a launcher that does not end in time is killed and fails."""
        try:
            self.stdout, self.stderr = self.process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError("the launcher did not end within %d s: %r"
                                 % (timeout, self.command))
        self.returncode = self.process.returncode
        return self

    def kill(self):
        """Ends the launcher's group after a failed test (only processes this run made)."""
        if self.process.poll() is None or self.returncode is None:
            try:
                os.killpg(self.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.stdout, self.stderr = self.process.communicate()

    @property
    def stderr_lines(self):
        lines = os.fsdecode(self.stderr).split("\n")
        if lines and lines[-1] == "":
            lines.pop()
        return lines

    def describe(self):
        return "command %r\nreturncode %r\nstderr:\n%s\nstdout:\n%s" % (
            self.command, self.returncode, os.fsdecode(self.stderr), os.fsdecode(self.stdout))


def process_children(pid):
    children = []
    for stat_file in glob.glob("/proc/[0-9]*/stat"):
        try:
            with open(stat_file, "rb") as stream:
                text = stream.read()
        except OSError:
            continue
        # The command name may hold spaces and parentheses; the fields follow the last ")".
        fields = text[text.rfind(b")") + 2:].split()
        if len(fields) > 1 and int(fields[1]) == pid:
            children.append(int(os.path.basename(os.path.dirname(stat_file))))
    return children


def process_descendants(pid):
    found = []
    pending = [pid]
    while pending:
        for child in process_children(pending.pop()):
            found.append(child)
            pending.append(child)
    return found


def process_arguments(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as stream:
            return [os.fsdecode(word) for word in stream.read().split(b"\0")[:-1]]
    except OSError:
        return []


def running_unzip_target(pid):
    """The -d directory of an unzip that the launcher pid is running now, or None."""
    for descendant in process_descendants(pid):
        words = process_arguments(descendant)
        if words and os.path.basename(words[0]) == "unzip" and "-d" in words:
            index = words.index("-d")
            if index + 1 < len(words):
                return words[index + 1]
    return None


def work_directories_holding(bundle):
    """The /tmp/qx* directories whose bundle.zip holds exactly these bytes."""
    found = []
    for directory in glob.glob("/tmp/qx*"):
        try:
            with open(os.path.join(directory, "bundle.zip"), "rb") as stream:
                if stream.read() == bundle:
                    found.append(directory)
        except OSError:
            continue
    return found


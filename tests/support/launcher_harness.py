"""Builds launcher files with the real setup-pack and runs the real setup binary on them.

The binaries come from the environment that CTest sets: SETUP_BIN (the launcher, also
the stub that setup-pack packs) and SETUP_PACK_BIN. Each test gets a Workspace, a fresh
directory with its own home directory, log directories and PATH stand-ins for unzip and
rm (tool_wrapper.py) that record every call the launcher makes. A run yields a RunResult:
exit status, standard output and error, what the test install agent received, the calls
of unzip and rm, and the work directories under /tmp that the run used.

The test install agent is a shell script "install" packed with Python's zipfile. When
it runs, it writes into $SETUP_E2E_AGENT_LOG: "argv" (its $0 and every argument, each
ended by a NUL byte, since arguments may hold line feeds), "cwd", "ident" (which agent
archive it came from) and "bundle.zip" (a copy of the bundle it was given). It then ends
as $SETUP_E2E_AGENT_END says: an exit code (default 0) or "signal:NAME".
"""

import glob
import io
import json
import os
import re
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import unittest
import zipfile

import other_user

SUPPORT_DIR = os.path.dirname(os.path.abspath(__file__))
# The stand-ins need an interpreter every uid and mount namespace of a run can reach.
PYTHON = "/usr/bin/python3" if os.access("/usr/bin/python3", os.X_OK) else sys.executable

RELEASE_LABEL = "Q4096c"
PLATFORM_TAG = "oslin64"
CACHE_ROOT = ".quenth/app_installer_cache/%s/%s/" % (RELEASE_LABEL, PLATFORM_TAG)
AGENT_PATH = "/pi_install_agent_pi_%s_%s" % (RELEASE_LABEL, PLATFORM_TAG)

# The launcher's messages, exactly.
INSTALLATION_FAILED = "Installation failed."
INTERNAL_ERROR_201 = "Internal error: Failed to initialize application installer (201)"
UNZIP_FAILED = "Failed to unzip the install agent"
INIT_FAILED = "Failed to initialize the install agent."
CHECK_TAIL = ("Check your internet connectivity, proxy server, firewall, and virus scanner "
              "settings and rerun the installer.")
SERVER_UNREACHABLE = "Could not reach the download server. " + CHECK_TAIL
DOWNLOAD_FAILED_PREFIX = "Error: Download process failed - "
LOCAL_CACHE_FAILED_PREFIX = "Internal Error: Failed to create local download cache - "

# Why a run fetches an agent for itself instead of using the agent cache.
NOT_OWN = "it is not owned by this user, or others can write to it"
CANNOT_BE_WRITTEN = "it cannot be written"
HELD_BY_ANCESTOR = "an installer that started this one is using it"


OFFLINE_NOTE = re.compile(r"Note: the download server cannot be reached \((.+)\); the installed "
                          r"install agent is used\.")


def run_private_note(cache_dir, reason):
    return ("Note: the install agent cache in %s is not used (%s); the agent is downloaded for "
            "this run only." % (cache_dir, reason))


def local_cache_failed_lines(system_text):
    return [LOCAL_CACHE_FAILED_PREFIX + system_text + ".", "", "Please rerun the installer."]


class StatusDetails:
    """Equals the line after a status message: the status and the origin that answered it."""

    def __init__(self, code):
        self.pattern = re.compile(r"Details: the server answered %d \([a-z]+://[^/@\s]+:[0-9]+\)"
                                  % code)

    def __eq__(self, line):
        return isinstance(line, str) and self.pattern.fullmatch(line) is not None

    def __repr__(self):
        return "StatusDetails(%r)" % self.pattern.pattern


def http_code_failed_lines(code):
    return ["Error: Download process failed. Received an HTTP code: %d. %s" % (code, CHECK_TAIL),
            StatusDetails(code)]


def not_found_lines():
    return [SERVER_UNREACHABLE, StatusDetails(404)]


# libcurl result codes whose texts the download-failure message carries in the tests.
CURLE_URL_MALFORMAT = 3
CURLE_COULDNT_CONNECT = 7
CURLE_PARTIAL_FILE = 18
CURLE_GOT_NOTHING = 52
CURLE_RECV_ERROR = 56


def curl_error_text(code):
    """curl_easy_strerror of the libcurl on this machine, or None when it cannot be loaded."""
    try:
        import ctypes
        library = ctypes.CDLL("libcurl.so.4")
    except OSError:
        return None
    function = library.curl_easy_strerror
    function.restype = ctypes.c_char_p
    function.argtypes = [ctypes.c_int]
    return os.fsdecode(function(code))


class DetailsLine:
    """Equals the line after the download-failure message: libcurl's own text of the failure,
    then the scheme, host and port that the transfer went to or the proxy that failed (never a
    user name or password), and what to do about it after "; "."""

    PATTERN = re.compile(r"Details: \S.* \((proxy )?[a-z]+://[^/@\s]+:[0-9]+\)(; [^?]*)?")

    def __eq__(self, line):
        return isinstance(line, str) and self.PATTERN.fullmatch(line) is not None


def download_failed_tail_lines():
    """The lines after the first line of the download-failure message (its tail begins with
    two LFs)."""
    return ["", ". " + CHECK_TAIL]


class Binaries:
    def __init__(self):
        self.setup = os.environ.get("SETUP_BIN", "")
        self.setup_pack = os.environ.get("SETUP_PACK_BIN", "")

    def require(self):
        for name, path in (("SETUP_BIN", self.setup), ("SETUP_PACK_BIN", self.setup_pack)):
            if not path or not os.access(path, os.X_OK):
                raise unittest.SkipTest("%s does not name an executable (%r); run through CTest"
                                        % (name, path))
        return self


def real_program(name):
    for directory in ("/usr/bin", "/bin", "/usr/local/bin"):
        candidate = os.path.join(directory, name)
        if os.access(candidate, os.X_OK):
            return candidate
    raise unittest.SkipTest("%s is not installed" % name)


# -- archives -------------------------------------------------------------------------

FIXED_TIME = (2024, 1, 2, 3, 4, 6)


def make_zip(members):
    """A ZIP archive (bytes) of the given (name, data) pairs or {name: data}."""
    items = members.items() if isinstance(members, dict) else members
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in items:
            info = zipfile.ZipInfo(name, FIXED_TIME)
            info.external_attr = (0o100755 if name.endswith("install") else 0o100644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data)
    return buffer.getvalue()


AGENT_SCRIPT = r"""#!/bin/sh
# Test install agent: records what it was given, then ends as told.
log=$SETUP_E2E_AGENT_LOG
if [ -n "$log" ]; then
  printf '%%s\0' "$0" "$@" > "$log/argv"
  pwd > "$log/cwd"
  printf '%%s' '%(ident)s' > "$log/ident"
  if [ "$1" = "-installbundle" ] && [ -f "$2" ]; then cp "$2" "$log/bundle.zip"; fi
fi
end=${SETUP_E2E_AGENT_END:-0}
case $end in
  signal:*) kill -s "${end#signal:}" $$; sleep 5; exit 99 ;;
  *) exit "$end" ;;
esac
"""


def make_agent_archive(ident="agent-1", extra=None):
    """An agent archive whose entry script "install" records its call (see module doc)."""
    members = [("install", (AGENT_SCRIPT % {"ident": ident}).encode())]
    members.append(("agent-version.txt", ident.encode()))
    for name, data in (extra or {}).items():
        members.append((name, data))
    return make_zip(members)


def make_bundle(nonce):
    """A small installer bundle; the nonce makes it tell one test's bundle from another's."""
    return make_zip([("payload/readme.txt", ("bundle " + nonce + "\n").encode()),
                     ("payload/data.bin", os.urandom(2048))])


# -- results --------------------------------------------------------------------------


class AgentRecord:
    """What the test agent saw: $0, its arguments, its working directory, its bundle copy."""

    def __init__(self, directory):
        with open(os.path.join(directory, "argv"), "rb") as stream:
            words = stream.read().split(b"\0")[:-1]
        words = [os.fsdecode(word) for word in words]
        self.script = words[0]
        self.argv = words[1:]
        self.cwd = _read_text(os.path.join(directory, "cwd")).rstrip("\n")
        self.ident = _read_text(os.path.join(directory, "ident"))
        bundle_copy = os.path.join(directory, "bundle.zip")
        self.bundle = _read_bytes(bundle_copy) if os.path.exists(bundle_copy) else None

    @property
    def bundle_path(self):
        if len(self.argv) >= 2 and self.argv[0] == "-installbundle":
            return self.argv[1]
        return None

    @property
    def user_arguments(self):
        return self.argv[2:]


class ToolCall:
    def __init__(self, record):
        self.tool = record["tool"]
        self.argv = record["argv"]
        self.cwd = record["cwd"]
        self.ppid = record["ppid"]
        self.status = record["status"]
        self.stdout = record["stdout"]
        self.stderr = record["stderr"]

    @property
    def parents_file(self):
        """The file that the process which started this call is executing."""
        return "/proc/%d/exe" % self.ppid

    def option_value(self, option):
        if option in self.argv:
            index = self.argv.index(option)
            if index + 1 < len(self.argv):
                return self.argv[index + 1]
        return None

    def __repr__(self):
        return "%s%r -> %d" % (self.tool, self.argv, self.status)


class RunResult:
    def __init__(self, completed, agent, tool_calls, work_dirs, leftovers, launcher, cwd):
        self.cwd = cwd
        self.status = completed.returncode
        self.stdout = completed.stdout
        self.stderr = completed.stderr
        text = os.fsdecode(completed.stderr)
        self.stderr_lines = text.split("\n")
        if self.stderr_lines and self.stderr_lines[-1] == "":
            self.stderr_lines.pop()
        self.agent = agent
        self.tool_calls = tool_calls
        self.work_dirs = work_dirs
        self.leftovers = leftovers
        self.launcher = launcher

    @property
    def unzip_calls(self):
        return [call for call in self.tool_calls if call.tool == "unzip"]

    @property
    def rm_calls(self):
        return [call for call in self.tool_calls if call.tool == "rm"]

    def describe(self):
        return ("exit status %r\nstderr:\n%s\nstdout:\n%s\ntools:\n%s"
                % (self.status, os.fsdecode(self.stderr), os.fsdecode(self.stdout),
                   "\n".join(repr(call) + "\n  " + call.stderr.replace("\n", "\n  ")
                             for call in self.tool_calls)))


def _read_text(path):
    with open(path, "rb") as stream:
        return os.fsdecode(stream.read())


def _read_bytes(path):
    with open(path, "rb") as stream:
        return stream.read()


def qx_directories():
    return set(glob.glob("/tmp/qx*"))


def closed_port():
    """A port on 127.0.0.1 on which nothing listens (bound, then released)."""
    probe = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    return port


# -- the workspace --------------------------------------------------------------------


def launcher_environment(path, agent_log, url, home, default_home, extra=None, env=None):
    """The whole environment of a launcher run: nothing of the caller's leaks in.

    url: QX_INTERNAL_INSTALL_AGENT_URL; None points it at a closed port on 127.0.0.1.
    home: "default" (default_home), None (HOME unset) or a string.
    extra: further variables; env: last word, where None removes a variable.
    A run makes one attempt per request unless env says otherwise, and waits for none.
    """
    environment = {
        "PATH": path,
        "LC_ALL": "C",
        "QX_DOWNLOAD_RETRIES": "0",
        "QX_INTERNAL_RETRY_WAIT_PERCENT": "0",
        "SETUP_E2E_AGENT_LOG": agent_log,
        "QX_INTERNAL_INSTALL_AGENT_URL": (
            url if url is not None else "http://127.0.0.1:%d%s" % (closed_port(), AGENT_PATH)),
    }
    for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
        if name in os.environ:
            environment[name] = os.environ[name]
    if home == "default":
        environment["HOME"] = default_home
    elif home is not None:
        environment["HOME"] = home
    environment.update(extra or {})
    for name, value in (env or {}).items():
        if value is None:
            environment.pop(name, None)
        else:
            environment[name] = value
    return environment


class Workspace:
    """A fresh directory tree for one test, removed by cleanup()."""

    def __init__(self, binaries=None):
        self.binaries = (binaries or Binaries()).require()
        self.root = tempfile.mkdtemp(prefix="setup-e2e-")
        self.home = self.path("home")
        self.cwd = self.path("cwd")
        self.tools = self.path("tools")
        for directory in (self.home, self.cwd, self.tools):
            os.makedirs(directory)
        self._runs = 0
        self._packs = 0
        self.nonce = os.path.basename(self.root)
        self.bundle = make_bundle(self.nonce)
        for tool in ("unzip", "rm"):
            self._install_wrapper(tool, real_program(tool))

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def open_to_other_users(self):
        """Lets a run as another uid enter the workspace, which holds everything such a run
        uses (the launcher file with the stub inside, the tool stand-ins, the logs); skips the
        test when the workspace lies where that uid cannot reach it."""
        problem = other_user.open_scratch(self.root)
        if problem:
            raise unittest.SkipTest(problem)

    def cleanup(self):
        for directory, _, _ in os.walk(self.root):
            os.chmod(directory, 0o755)
        shutil.rmtree(self.root, ignore_errors=True)

    def _install_wrapper(self, name, real):
        # The wrapper's module is copied, so a run under another uid can read it too.
        library = self.path("tools-lib")
        if not os.path.isdir(library):
            os.makedirs(library)
            shutil.copy(os.path.join(SUPPORT_DIR, "tool_wrapper.py"), library)
        script = os.path.join(self.tools, name)
        with open(script, "w", encoding="utf-8") as stream:
            stream.write("#!%s\nimport sys\nsys.path.insert(0, %r)\nimport tool_wrapper\n"
                         "tool_wrapper.main(%r, %r)\n" % (PYTHON, library, name, real))
        os.chmod(script, 0o755)

    # -- launcher files -----------------------------------------------------------

    def pack(self, output=None, members=(), bundle=None, stub=None, options=()):
        """Makes a launcher file with setup-pack: options, bundle.zip, the (name, bytes) members."""
        self._packs += 1
        stage = self.path("stage-%d" % self._packs)
        os.makedirs(stage)
        bundle_file = os.path.join(stage, "bundle.zip")
        with open(bundle_file, "wb") as stream:
            stream.write(self.bundle if bundle is None else bundle)
        member_files = []
        for name, data in members:
            member_file = os.path.join(stage, name)
            with open(member_file, "wb") as stream:
                stream.write(data)
            member_files.append(member_file)
        if output is None:
            output = self.path("launcher-%d" % self._packs, "setup.run")
        os.makedirs(os.path.dirname(output), exist_ok=True)
        command = ([self.binaries.setup_pack, "-o", output] + list(options)
                   + [stub or self.binaries.setup, bundle_file] + member_files)
        completed = subprocess.run(command, capture_output=True)
        if completed.returncode != 0:
            raise AssertionError("setup-pack failed (%d): %s" % (
                completed.returncode, os.fsdecode(completed.stderr)))
        return output

    # -- runs ---------------------------------------------------------------------

    def run(self, launcher, args=(), url=None, home="default", unittest_mode=None,
            agent_end=None, env=None, cwd=None, user=None, wrap=None, timeout=120):
        """Runs the launcher file and collects what happened.

        url: the value of QX_INTERNAL_INSTALL_AGENT_URL. None points it at a closed port
             on 127.0.0.1, so no run ever reaches the default host.
        home: "default" (the workspace's home), None (HOME unset) or a string.
        unittest_mode: None, or the value of __QX_BOOTSTRAP_INSTALLER_UNITTEST__.
        agent_end: the test agent's exit code, or "signal:NAME".
        user: run as this uid (its gid too), for permission cases under root.
        wrap: a command prefix to run the launcher under (e.g. unshare ...).
        """
        self._runs += 1
        run_log = self.path("run-%d" % self._runs)
        os.makedirs(run_log)
        if user is not None:
            os.chmod(run_log, 0o777)
        extra = {"SETUP_E2E_TOOL_LOG": run_log}
        if unittest_mode is not None:
            extra["__QX_BOOTSTRAP_INSTALLER_UNITTEST__"] = unittest_mode
        if agent_end is not None:
            extra["SETUP_E2E_AGENT_END"] = str(agent_end)
        environment = launcher_environment(self.tools + ":/usr/local/bin:/usr/bin:/bin", run_log,
                                           url, home, self.home, extra, env)
        command = list(wrap or []) + [launcher] + list(args)
        options = {}
        if user is not None:
            options = {"user": user, "group": user, "extra_groups": []}
        before = qx_directories()
        completed = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True,
                                   env=environment, cwd=cwd or self.cwd, timeout=timeout,
                                   **options)
        after = qx_directories()

        agent = AgentRecord(run_log) if os.path.exists(os.path.join(run_log, "argv")) else None
        tool_calls = []
        tool_log = os.path.join(run_log, "tools.jsonl")
        if os.path.exists(tool_log):
            with open(tool_log, encoding="utf-8") as stream:
                tool_calls = [ToolCall(json.loads(line)) for line in stream if line.strip()]
        work_dirs = set()
        if agent is not None and agent.bundle_path:
            work_dirs.add(os.path.dirname(agent.bundle_path))
        for call in tool_calls:
            candidates = [call.option_value("-d")] if call.tool == "unzip" else call.argv
            for candidate in candidates:
                if candidate and re.match(r"^/tmp/qx[^/]*/?$", candidate):
                    work_dirs.add(candidate.rstrip("/"))
        work_dirs = {d for d in work_dirs if d.startswith("/tmp/qx")}
        leftovers = [d for d in sorted(after - before) if self._holds_our_bundle(d)]
        return RunResult(completed, agent, tool_calls, work_dirs, leftovers, launcher,
                         cwd or self.cwd)

    def _holds_our_bundle(self, directory):
        candidate = os.path.join(directory, "bundle.zip")
        try:
            return _read_bytes(candidate) == self.bundle
        except OSError:
            return False

    # -- the per-user cache -------------------------------------------------------

    def cache_dir(self, home=None):
        base = self.home if home is None else home
        return os.path.join(base, CACHE_ROOT)

    def agent_dir(self, home=None):
        return os.path.join(self.cache_dir(home), "installagent")

    def marker_path(self, home=None):
        return os.path.join(self.cache_dir(home), ".validatestring")

    def marker(self, home=None):
        path = self.marker_path(home)
        return _read_bytes(path) if os.path.exists(path) else None


def tree_snapshot(root):
    """Every entry under root with its kind, inode, mode, size, mtime and content hash, and
    root's own kind and inode (not its mtime: a download may make and remove a partial
    archive in the cache directory and leave every entry as it was)."""
    if not os.path.lexists(root):
        return None
    snapshot = {}
    for directory, names, files in os.walk(root):
        for name in sorted(names + files):
            path = os.path.join(directory, name)
            info = os.lstat(path)
            content = None
            if stat.S_ISREG(info.st_mode):
                content = _read_bytes(path)
            snapshot[os.path.relpath(path, root)] = (
                stat.S_IFMT(info.st_mode), info.st_ino, stat.S_IMODE(info.st_mode),
                info.st_size, info.st_mtime_ns, content)
    info = os.lstat(root)
    snapshot["."] = (stat.S_IFMT(info.st_mode), info.st_ino)
    return snapshot


class LauncherTestCase(unittest.TestCase):
    """Base class: a Workspace per test and the assertions every run needs."""

    def setUp(self):
        self.ws = Workspace()
        self.addCleanup(self.ws.cleanup)

    def assertStderr(self, result, lines):
        self.assertEqual(result.stderr_lines, lines, result.describe())

    def assertSucceeded(self, result):
        self.assertEqual((result.status, result.stderr_lines), (0, []), result.describe())
        self.assertEqual(result.stdout, b"", result.describe())

    def assertFailedWith(self, result, lines, status=255):
        """A failed run: these message lines, then "Installation failed.", this status."""
        self.assertEqual(result.stderr_lines, list(lines) + [INSTALLATION_FAILED],
                         result.describe())
        self.assertEqual(result.status, status, result.describe())
        self.assertEqual(result.stdout, b"", result.describe())

    def assertWorkDirectoryGone(self, result, expect_tmp=True):
        """No /tmp/qx work directory of this run is left behind."""
        if expect_tmp:
            self.assertTrue(result.work_dirs, "no /tmp/qx work directory seen in the run\n"
                            + result.describe())
        for directory in result.work_dirs:
            self.assertFalse(os.path.lexists(directory),
                             "work directory %s left behind\n%s" % (directory, result.describe()))
        self.assertEqual(result.leftovers, [], "new /tmp/qx directories holding this run's bundle")

    def assertAgentRan(self, result, script, bundle_dir, arguments=(), ident=None):
        """The agent ran as script with -installbundle bundle_dir/bundle.zip and arguments."""
        self.assertIsNotNone(result.agent, "the agent did not run\n" + result.describe())
        self.assertEqual(result.agent.script, script)
        self.assertEqual(result.agent.argv,
                         ["-installbundle", os.path.join(bundle_dir, "bundle.zip")]
                         + list(arguments))
        self.assertEqual(result.agent.bundle, self.ws.bundle,
                         "the agent did not get the launcher's bundle byte for byte")
        self.assertEqual(result.agent.cwd, result.cwd)
        if ident is not None:
            self.assertEqual(result.agent.ident, ident)

    def assertAgentRanFromWorkDirectory(self, result, arguments=(), ident=None):
        self.assertIsNotNone(result.agent, "the agent did not run\n" + result.describe())
        bundle_dir = os.path.dirname(result.agent.bundle_path or "")
        self.assertRegex(bundle_dir, r"^/tmp/qx[A-Za-z0-9]{6}$")
        self.assertAgentRan(result, os.path.join(bundle_dir, "install"), bundle_dir,
                            arguments, ident)

    def assertAgentRanFromCache(self, result, arguments=(), ident=None, home=None,
                                cache_prefix=None):
        self.assertIsNotNone(result.agent, "the agent did not run\n" + result.describe())
        bundle_dir = os.path.dirname(result.agent.bundle_path or "")
        self.assertRegex(bundle_dir, r"^/tmp/qx[A-Za-z0-9]{6}$")
        prefix = cache_prefix if cache_prefix is not None else self.ws.cache_dir(home)
        self.assertAgentRan(result, prefix + "installagent/install", bundle_dir, arguments, ident)

    def assertRanOffline(self, result, ident, home=None):
        """The server could not be reached: one note, then the installed agent ran. Returns
        the reason the note gives."""
        self.assertEqual((result.status, len(result.stderr_lines)), (0, 1), result.describe())
        note = OFFLINE_NOTE.fullmatch(result.stderr_lines[0])
        self.assertIsNotNone(note, result.describe())
        self.assertAgentRanFromCache(result, ident=ident, home=home)
        return note.group(1)

    def assertRanRunPrivateAgent(self, result, cache_dir, reason, ident):
        """A good run whose agent was fetched for it alone, after the note that says why."""
        self.assertEqual((result.status, result.stderr_lines),
                         (0, [run_private_note(cache_dir, reason)]), result.describe())
        self.assertIsNotNone(result.agent, "the agent did not run\n" + result.describe())
        bundle_dir = os.path.dirname(result.agent.bundle_path or "")
        self.assertRegex(bundle_dir, r"^/tmp/qx[A-Za-z0-9]{6}$")
        self.assertAgentRan(result, bundle_dir + "/installagent/install", bundle_dir,
                            ident=ident)

    def assertNoRequests(self, server):
        self.assertEqual(server.requests, [])

    def assertRequests(self, server, expected, same_connection=True):
        """expected: a list of (method, path); all on one connection unless told otherwise."""
        seen = server.requests
        self.assertEqual([(r.method, r.path) for r in seen], list(expected))
        if same_connection and seen:
            self.assertEqual({r.connection_id for r in seen}, {seen[0].connection_id},
                             "the requests did not share one connection: %r" % seen)
        self.assertEqual(server.errors, [])


def run_main():
    """Runs the unittest main of a test module with the CTest skip convention."""
    sys.path.insert(0, SUPPORT_DIR)
    import e2e_runner
    sys.exit(e2e_runner.main(sys.argv[1:], module="__main__"))

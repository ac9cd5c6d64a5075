#!/usr/bin/python3
"""Launchers of the same user at once, while the server's ETag changes between them.

The agent cache is locked: a run holds the shared lock from its first look at the cached
agent until its agent has ended, and replaces the agent only under the exclusive lock,
which it turns back into the shared one before its own agent starts. So a run never
executes an agent that another run is removing, rewriting or has only half unpacked, and
no run fails because another one took the agent away.

Every agent of these tests checks, when it starts and again when it ends, that the
directory it runs from holds exactly the files of its own archive, each whole.
"""

import hashlib
import os
import pathlib
import signal
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from hardening_support import (INSTALLATION_FAILED, PATIENCE, AgentRecord,  # noqa: E402
                               LauncherProcess, wait_until, work_directories_holding)
from launcher_harness import (HELD_BY_ANCESTOR, NOT_OWN, PYTHON, SUPPORT_DIR,  # noqa: E402
                              LauncherTestCase, make_agent_archive, make_zip, run_main,
                              run_private_note, tree_snapshot)
from scripted_server import ScriptedServer, etag_line, response  # noqa: E402

HEAD = ("HEAD", "/agent")
GET = ("GET", "/agent")
ON_PTY = [PYTHON, os.path.join(SUPPORT_DIR, "stderr_on_pty.py")]
WAITING_LINE = b"Waiting for another run of the installer to finish with the install agent..."
INTACT = "start intact\nend intact\n"

CHECKING_AGENT = r"""#!/bin/sh
# Test install agent: checks at its start and at its end that its directory holds exactly
# the files of its archive, each whole. With SETUP_E2E_AGENT_HOLD set it runs until the
# test lets it go, otherwise for a moment.
log=$SETUP_E2E_AGENT_LOG
dir=$(dirname "$0")
printf '%%s\0' "$0" "$@" > "$log/argv"
pwd > "$log/cwd"
printf '%%s' '%(ident)s' > "$log/ident"
if [ "$1" = "-installbundle" ] && [ -f "$2" ]; then cp "$2" "$log/bundle.zip"; fi
for fd in /proc/$$/fd/*; do readlink "$fd"; done > "$log/descriptors"
intact() {
  (cd "$dir" && [ "$(ls -A)" = "$(cat listing)" ] && md5sum -c --status manifest.md5) 2>/dev/null
}
if intact; then echo "start intact"; else echo "start damaged"; fi > "$log/check"
: > "$log/started"
if [ -n "$SETUP_E2E_AGENT_HOLD" ]; then
  waited=0
  while [ ! -e "$log/release" ]; do
    waited=$((waited + 1))
    if [ "$waited" -gt 600 ]; then exit 97; fi
    sleep 0.1
  done
else
  sleep 0.2
fi
if intact; then echo "end intact"; else echo "end damaged"; fi >> "$log/check"
exit 0
"""

# Test install agent that runs another launcher of the same release, as an agent may.
NESTING_AGENT = r"""#!/bin/sh
printf '%s' "$QX_HELD_AGENT_CACHE_LOCKS" > "$SETUP_E2E_AGENT_LOG/held"
SETUP_E2E_AGENT_LOG=$SETUP_E2E_INNER_LOG "$SETUP_E2E_INNER_LAUNCHER" 2> "$SETUP_E2E_INNER_LOG/stderr"
"""


def checking_agent(ident):
    members = {
        "install": (CHECKING_AGENT % {"ident": ident}).encode(),
        "agent-version.txt": ident.encode(),
        "only-%s.txt" % ident: os.urandom(64 * 1024),
    }
    manifest = "".join("%s  %s\n" % (hashlib.md5(data).hexdigest(), name)
                       for name, data in sorted(members.items()))
    members["manifest.md5"] = manifest.encode()
    members["listing"] = "\n".join(sorted(list(members) + ["listing"])).encode()
    return make_zip(members)


class ChangingServer:
    """Serves the agent of the current version; HEAD requests can be held at a barrier."""

    def __init__(self, versions, current):
        self.archives = {name: checking_agent(name) for name in versions}
        self.current = current
        self.heads_held_until = 0
        self.heads = 0
        self.condition = threading.Condition()

    def __call__(self, request):
        with self.condition:
            if request.method == "HEAD":
                self.heads += 1
                self.condition.notify_all()
                self.condition.wait_for(lambda: self.heads >= self.heads_held_until, PATIENCE)
            version = self.current
        return response(200, header_lines=[etag_line(b'"%s"' % version.encode())],
                        body=self.archives[version])

    def switch(self, version):
        with self.condition:
            self.current = version


def agent_check(run):
    try:
        with open(os.path.join(run.agent_log, "check")) as stream:
            return stream.read()
    except OSError:
        return None


class ConcurrencyTestCase(LauncherTestCase):
    def setUp(self):
        super().setUp()
        self.launcher = self.ws.pack()

    def start(self, server, env=None, label="a", wrap=None):
        run = LauncherProcess(self.ws, self.launcher, url=server.url("/agent"), env=env,
                              label=label, wrap=wrap)
        self.addCleanup(run.kill)
        return run

    def start_holding(self, server):
        """A run whose agent stays running from the cache until released."""
        run = self.start(server, env={"SETUP_E2E_AGENT_HOLD": "1"}, label="holding")
        wait_until(lambda: run.agent_started() or run.process.poll() is not None,
                   "the holding run's agent")
        if run.process.poll() is not None:
            self.fail("the holding run ended early\n" + run.finish().describe())
        return run

    def assertRanIntact(self, run, ident, on_terminal=False):
        stderr = b"" if on_terminal else run.stderr
        self.assertEqual((run.returncode, stderr, run.stdout), (0, b"", b""), run.describe())
        self.assertEqual((run.agent.ident, agent_check(run)), (ident, INTACT), run.describe())
        self.assertEqual(run.agent.script, self.ws.agent_dir() + "/install")
        # The lock's descriptor is close-on-exec: the agent never holds the lock itself.
        with open(os.path.join(run.agent_log, "descriptors")) as stream:
            self.assertNotIn(".lock", stream.read())

    def assertNoWorkDirectoryLeft(self):
        self.assertEqual(work_directories_holding(self.ws.bundle), [])

    def cached_files(self):
        return sorted(os.listdir(self.ws.agent_dir()))

    def calm_run(self, server, ident, requests):
        server.clear()
        result = self.ws.run(self.launcher, url=server.url("/agent"))
        self.assertSucceeded(result)
        self.assertAgentRanFromCache(result, ident=ident)
        self.assertRequests(server, requests)
        self.assertWorkDirectoryGone(result)
        return result


class LockedCacheTests(ConcurrencyTestCase):
    def test_an_update_waits_for_the_agent_running_from_the_cache(self):
        versions = ChangingServer(["v1", "v2"], "v1")
        with ScriptedServer(versions) as server:
            first = self.start_holding(server)
            versions.switch("v2")
            # On a terminal, so that the waiting line shows.
            second = self.start(server, label="update", wrap=ON_PTY)
            wait_until(lambda: len(server.requests) == 3, "the update's HEAD request")
            # Long enough a wait for the line, which a pipe never gets.
            time.sleep(2.5)
            if second.process.poll() is not None:
                self.fail("the update did not wait\n" + second.finish().describe())
            self.assertEqual([(r.method, r.path) for r in server.requests], [HEAD, GET, HEAD])
            self.assertEqual(self.ws.marker(), b'ETag: "v1"\r')
            first.release_agent()
            first.finish()
            second.finish()
            self.assertRanIntact(first, "v1")
            self.assertRanIntact(second, "v2", on_terminal=True)
            # The waiting line once, ended before the download's progress line starts.
            self.assertTrue(second.stderr.startswith(WAITING_LINE + b"\n\rDownloading install"),
                            second.describe())
            self.assertEqual(second.stderr.count(WAITING_LINE), 1)
            self.assertEqual([(r.method, r.path) for r in server.requests],
                             [HEAD, GET, HEAD, GET])
            self.assertEqual(self.ws.marker(), b'ETag: "v2"\r')
            self.assertIn("only-v2.txt", self.cached_files())
            self.assertNoWorkDirectoryLeft()

    def test_runs_that_find_the_agent_stale_together_fetch_it_once(self):
        versions = ChangingServer(["v1"], "v1")
        versions.heads_held_until = 2
        with ScriptedServer(versions) as server:
            # Both hold the shared lock and have seen a tag the cache lacks before either
            # can replace the agent; the one that waited looks again and fetches nothing.
            runs = [self.start(server, label="stale-%d" % index) for index in range(2)]
            for run in runs:
                run.finish()
            for run in runs:
                self.assertRanIntact(run, "v1")
            self.assertEqual(sorted((r.method, r.path) for r in server.requests),
                             [GET, HEAD, HEAD])
            self.assertNoWorkDirectoryLeft()

    def test_a_run_waiting_for_the_lock_ends_at_once_on_sigterm_and_runs_nothing(self):
        versions = ChangingServer(["v1", "v2"], "v1")
        with ScriptedServer(versions) as server:
            first = self.start_holding(server)
            versions.switch("v2")
            waiting = self.start(server, label="waiting")
            wait_until(lambda: len(server.requests) == 3, "the waiting run's HEAD request")
            time.sleep(0.5)
            waiting.signal_process(signal.SIGTERM)
            # While the other agent still runs: the wait itself gave way.
            waiting.finish()
            self.assertEqual((waiting.returncode, waiting.stderr_lines, waiting.stdout),
                             (-signal.SIGTERM, [INSTALLATION_FAILED], b""), waiting.describe())
            self.assertIsNone(waiting.agent)
            self.assertIsNone(first.process.poll())
            self.assertEqual(work_directories_holding(self.ws.bundle),
                             [os.path.dirname(first.agent.bundle_path)])
            first.release_agent()
            first.finish()
            self.assertRanIntact(first, "v1")
            self.assertEqual([(r.method, r.path) for r in server.requests], [HEAD, GET, HEAD])
            self.assertEqual(self.ws.marker(), b'ETag: "v1"\r')
            self.assertNoWorkDirectoryLeft()

    def test_a_lock_file_that_is_a_directory_leaves_the_cache_alone(self):
        versions = ChangingServer(["v1"], "v1")
        with ScriptedServer(versions) as server:
            self.calm_run(server, "v1", [HEAD, GET])
            lock = os.path.join(self.ws.cache_dir(), ".lock")
            os.remove(lock)
            os.mkdir(lock)
            before = tree_snapshot(self.ws.cache_dir())
            server.clear()
            result = self.ws.run(self.launcher, url=server.url("/agent"))
            self.assertRanRunPrivateAgent(result, self.ws.cache_dir(),
                                          '".lock" in it is not a regular file', "v1")
            self.assertRequests(server, [HEAD, GET])
            self.assertEqual(tree_snapshot(self.ws.cache_dir()), before)

    def test_a_launcher_run_by_the_agent_does_not_wait_for_its_ancestors_lock(self):
        archives = {"v1": make_zip([("install", NESTING_AGENT.encode())]),
                    "v2": make_agent_archive("v2")}
        served = {"version": "v1"}

        def flip_after_the_first_get(request):
            version = served["version"]
            if request.method == "GET":
                served["version"] = "v2"
            return response(200, header_lines=[etag_line(b'"%s"' % version.encode())],
                            body=archives[version])

        inner_log = self.ws.path("inner-log")
        os.makedirs(inner_log)
        with ScriptedServer(flip_after_the_first_get) as server:
            outer = self.start(server, label="outer", env={
                "SETUP_E2E_INNER_LAUNCHER": self.launcher, "SETUP_E2E_INNER_LOG": inner_log})
            # The inner run finds its cache stale while the outer one holds the lock.
            outer.finish(timeout=30)
            self.assertRequests(server, [HEAD, GET, HEAD, GET], same_connection=False)
        self.assertEqual((outer.returncode, outer.stderr), (0, b""), outer.describe())
        lock = os.stat(os.path.join(self.ws.cache_dir(), ".lock"))
        self.assertEqual(
            (pathlib.Path(outer.agent_log, "held").read_text(),
             pathlib.Path(inner_log, "stderr").read_text()),
            ("%d:%d" % (lock.st_dev, lock.st_ino),
             run_private_note(self.ws.cache_dir(), HELD_BY_ANCESTOR) + "\n"))
        inner = AgentRecord(inner_log)
        self.assertEqual(inner.ident, "v2")
        self.assertRegex(inner.script, r"^/tmp/qx[A-Za-z0-9]{6}/installagent/install$")
        self.assertEqual(self.ws.marker(), b'ETag: "v1"\r')


class FreeRaceTests(ConcurrencyTestCase):
    RUNS = 100
    AT_ONCE = 4

    def test_runs_racing_while_the_tag_flips_all_succeed_with_whole_agents(self):
        versions = ChangingServer(["v1", "v2"], "v1")
        outcomes = {}
        with ScriptedServer(versions) as server:
            for round_number in range(-(-self.RUNS // self.AT_ONCE)):
                versions.switch("v1" if round_number % 2 == 0 else "v2")
                runs = [self.start(server, label="r%d-%d" % (round_number, index))
                        for index in range(self.AT_ONCE)]
                # Flip the tag while they are under way.
                wait_until(lambda: len(server.requests) > 0, "a first request")
                versions.switch("v2" if round_number % 2 == 0 else "v1")
                for run in runs:
                    run.finish()
                for run in runs:
                    agent = run.agent
                    outcome = (run.returncode, tuple(run.stderr_lines), agent_check(run),
                               agent.ident if agent else None)
                    outcomes[outcome] = outcomes.get(outcome, 0) + 1
                    self.assertEqual((run.returncode, run.stderr, run.stdout), (0, b"", b""),
                                     run.describe())
                    self.assertEqual(agent_check(run), INTACT, run.describe())
                self.assertNoWorkDirectoryLeft()
                server.clear()
            # A tag none of them has seen: the cache holds exactly the new agent afterwards.
            versions.archives["v3"] = checking_agent("v3")
            versions.switch("v3")
            self.calm_run(server, "v3", [HEAD, GET])
            self.assertIn("only-v3.txt", self.cached_files())
            self.assertEqual(len(self.cached_files()), 5)
        print("outcomes of %d racing runs: %r" % (sum(outcomes.values()), outcomes))


if __name__ == "__main__":
    run_main()

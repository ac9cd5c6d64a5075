#!/usr/bin/python3
"""Two launchers of the same user at once, while the server's ETag changes between them.

Nothing locks the agent cache: each launcher has its own work directory, but both
remove, fetch, record and unpack the same cached agent. These tests force the two
interleavings that matter and record what comes of them, then let two launchers race
freely for a while. Whatever the interleaving, neither launcher may crash or leave its
work directory behind, each run either succeeds with an agent of the server's or fails
with the launcher's own messages, and a later change of the server's ETag puts the
cache right again. A racing run may also fail: the other launcher removed the cached
agent under its unzip, or just before its agent started.

What the forced interleavings show (asserted below, so that a change is noticed):
- A's GET overtaken by B's whole run: both succeed and run the new agent, but A
  records the ETag of its own HEAD, so the marker names the old tag over the new tree;
  the next run sees a tag that differs and fetches once more.
- A's unpack into the cache overtaken by B's whole run: both succeed, but A unpacks the
  old archive over B's new tree while B has recorded the new tag. The cache then holds
  the old agent (mixed with files of the new one) under the new tag, and later runs
  take it for current until the server's ETag changes again.
"""

import os
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from hardening_support import (INIT_FAILED, INSTALLATION_FAILED, PATIENCE,  # noqa: E402
                               REAL_TOOLS_PATH, UNZIP_FAILED, LauncherProcess, wait_until,
                               work_directories_holding)
from launcher_harness import LauncherTestCase, make_agent_archive, run_main  # noqa: E402
from scripted_server import ScriptedServer, etag_line, response  # noqa: E402

HEAD_GET = [("HEAD", "/agent"), ("GET", "/agent")]

# Holds an unzip into the cached agent directory until the test creates $GATE/go.
HOLDING_UNZIP = r"""#!/bin/sh
for word in "$@"; do
  case $word in */installagent) hold=1 ;; esac
done
if [ -n "$hold" ]; then
  : > "$GATE/held"
  waited=0
  while [ ! -e "$GATE/go" ]; do
    waited=$((waited + 1))
    if [ "$waited" -gt 1200 ]; then exit 98; fi
    sleep 0.05
  done
fi
exec /usr/bin/unzip "$@"
"""


def agent_version(ident):
    return make_agent_archive(ident, extra={"only-%s.txt" % ident: ident.encode()})


class ChangingServer:
    """Serves the agent of the current version; its first GET can be held back."""

    def __init__(self, versions, current):
        self.archives = {name: agent_version(name) for name in versions}
        self.current = current
        self.hold_first_get = False
        self.first_get_arrived = threading.Event()
        self.release_first_get = threading.Event()
        self.gets = 0
        self.lock = threading.Lock()

    def __call__(self, request):
        with self.lock:
            if request.method == "GET":
                self.gets += 1
                hold = self.hold_first_get and self.gets == 1
            else:
                hold = False
        if hold:
            self.first_get_arrived.set()
            self.release_first_get.wait(PATIENCE)
        with self.lock:
            version = self.current
        return response(200, header_lines=[etag_line(b'"%s"' % version.encode())],
                        body=self.archives[version])

    def switch(self, version):
        with self.lock:
            self.current = version


class ConcurrencyTestCase(LauncherTestCase):
    def setUp(self):
        super().setUp()
        self.launcher = self.ws.pack()

    def start(self, server, env=None, label="a"):
        run = LauncherProcess(self.ws, self.launcher, url=server.url("/agent"), env=env,
                              label=label)
        self.addCleanup(run.kill)
        return run

    def assertCleanSuccess(self, run):
        self.assertEqual((run.returncode, run.stderr_lines, run.stdout), (0, [], b""),
                         run.describe())

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


class ForcedInterleavingTests(ConcurrencyTestCase):
    def test_get_overtaken_by_another_whole_run(self):
        versions = ChangingServer(["v1", "v2"], "v1")
        versions.hold_first_get = True
        with ScriptedServer(versions) as server:
            first = self.start(server)
            self.assertTrue(versions.first_get_arrived.wait(PATIENCE), first.describe())
            # A has seen "v1" and removed the cached agent; its GET waits. Now the server
            # changes, and B runs from start to end.
            versions.switch("v2")
            second = self.calm_run(server, "v2", HEAD_GET)
            self.assertEqual(self.ws.marker(), b'ETag: "v2"\r')
            versions.release_first_get.set()
            first.finish()
            self.assertCleanSuccess(first)
            self.assertEqual(first.agent.ident, "v2")
            self.assertNoWorkDirectoryLeft()
            self.assertNotEqual(os.path.dirname(second.agent.bundle_path),
                                os.path.dirname(first.agent.bundle_path))

            # Recorded: A wrote the tag of its own HEAD over B's record.
            self.assertEqual(self.ws.marker(), b'ETag: "v1"\r')
            self.assertEqual(self.cached_files(), ["agent-version.txt", "install",
                                                   "only-v2.txt"])
            # The next run sees a tag that differs from the record and fetches again.
            self.calm_run(server, "v2", HEAD_GET)
            self.assertEqual(self.ws.marker(), b'ETag: "v2"\r')
            self.calm_run(server, "v2", [("HEAD", "/agent")])

    def test_unpack_overtaken_by_another_whole_run(self):
        gate = self.ws.path("gate")
        os.makedirs(gate)
        holding = os.path.join(gate, "unzip")
        with open(holding, "w") as stream:
            stream.write(HOLDING_UNZIP)
        os.chmod(holding, 0o755)
        versions = ChangingServer(["v1", "v2", "v3"], "v1")
        with ScriptedServer(versions) as server:
            first = self.start(server, env={"PATH": gate + ":" + REAL_TOOLS_PATH,
                                            "GATE": gate})
            wait_until(lambda: os.path.exists(os.path.join(gate, "held")),
                       "A's unzip into the cache")
            self.assertEqual(self.ws.marker(), b'ETag: "v1"\r')
            versions.switch("v2")
            self.calm_run(server, "v2", HEAD_GET)
            with open(os.path.join(gate, "go"), "w"):
                pass
            first.finish()
            self.assertCleanSuccess(first)
            self.assertNoWorkDirectoryLeft()

            # Recorded: A unpacked the old archive over B's new agent and ran it, while the
            # record names the new tag.
            self.assertEqual(first.agent.ident, "v1")
            self.assertEqual(self.ws.marker(), b'ETag: "v2"\r')
            self.assertEqual(self.cached_files(), ["agent-version.txt", "install",
                                                   "only-v1.txt", "only-v2.txt"])
            # So the old agent now passes for current: a HEAD alone, and v1 runs.
            self.calm_run(server, "v1", [("HEAD", "/agent")])
            # Only a new tag on the server puts the cache right.
            versions.switch("v3")
            self.calm_run(server, "v3", HEAD_GET)
            self.assertEqual(self.cached_files(), ["agent-version.txt", "install",
                                                   "only-v3.txt"])


def agent_ident(run):
    """The ident the agent recorded, or None when it recorded nothing or was cut short."""
    try:
        agent = run.agent
        return agent.ident if agent is not None else None
    except OSError:
        return None


def classify(run):
    """What one racing run came to, in words, for the record.

    Seen besides success: unzip failing because the other launcher removed the cached
    agent directory under it (unzip's own diagnostics, then the launcher's messages); the
    entry script vanishing between provisioning and launch (the agent's shell cannot open
    it, and its exit code becomes the launcher's); and the entry script read while being
    rewritten, so that the run ends with status 0 although the agent did nothing.
    """
    lines = run.stderr_lines
    ident = agent_ident(run)
    if run.returncode == 0 and lines == []:
        if ident is None:
            return "status 0, but the agent did nothing (its script read while rewritten)"
        return "success with " + ident
    if run.returncode == 255 and lines[-3:] == [UNZIP_FAILED, INIT_FAILED, INSTALLATION_FAILED]:
        return "unzip failed under a removal"
    if (run.returncode == 2 and len(lines) == 2 and lines[0].startswith("sh: ")
            and lines[0].endswith("/installagent/install: No such file")):
        return "entry script removed before the launch"
    return "status %d: %s" % (run.returncode, " / ".join(lines))


class FreeRaceTests(ConcurrencyTestCase):
    ROUNDS = 12

    def test_two_launchers_racing_while_the_tag_flips(self):
        versions = ChangingServer(["v1", "v2"], "v1")
        outcomes = {}
        with ScriptedServer(versions) as server:
            for round_number in range(self.ROUNDS):
                versions.switch("v1" if round_number % 2 == 0 else "v2")
                runs = [self.start(server, label="r%d-%d" % (round_number, index))
                        for index in range(2)]
                # Flip the tag while both are under way.
                wait_until(lambda: len(server.requests) > 0, "a first request")
                versions.switch("v2" if round_number % 2 == 0 else "v1")
                for run in runs:
                    run.finish()
                self.assertNoWorkDirectoryLeft()
                for run in runs:
                    # Whatever the interleaving: no crash, nothing on standard output, and
                    # a failed run closes with the launcher's last line.
                    self.assertGreaterEqual(run.returncode, 0, "crashed\n" + run.describe())
                    self.assertEqual(run.stdout, b"", run.describe())
                    if run.returncode != 0:
                        self.assertEqual(run.stderr_lines[-1:], [INSTALLATION_FAILED],
                                         run.describe())
                    outcome = classify(run)
                    outcomes[outcome] = outcomes.get(outcome, 0) + 1
                server.clear()
            # A tag neither of them has seen: the cache is whole again afterwards.
            versions.archives["v3"] = agent_version("v3")
            versions.switch("v3")
            self.calm_run(server, "v3", HEAD_GET)
            self.assertEqual(self.cached_files(), ["agent-version.txt", "install",
                                                   "only-v3.txt"])
        print("outcomes of %d racing runs: %r" % (2 * self.ROUNDS, outcomes))


if __name__ == "__main__":
    run_main()

#!/usr/bin/python3
"""A launcher file with its publisher's keys (real minisign, real setup-pack) runs only
downloaded agents signed by one of them for its release, never one older than the last."""

import io
import os
import shutil
import subprocess
import sys
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

from launcher_harness import (AGENT_PATH, AGENT_SCRIPT, PLATFORM_TAG, RELEASE_LABEL,
                              LauncherTestCase, run_main, tree_snapshot)
from scripted_server import ScriptedServer, serve_archive, serve_resumable

HEAD, GET = ("HEAD", AGENT_PATH), ("GET", AGENT_PATH)


def stored(ident, padding=0):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_STORED) as archive:
        archive.writestr("install", (AGENT_SCRIPT % {"ident": ident}).encode())
        archive.writestr("padding", os.urandom(padding))
    return buffer.getvalue()


def refusal(reason):
    return ["Error: The downloaded install agent failed verification - " + reason + ".", "",
            "Please rerun the installer. If this persists, contact the publisher."]


class SignedAgentTests(LauncherTestCase):
    def setUp(self):
        super().setUp()
        if shutil.which("minisign") is None:
            self.skipTest("minisign is not installed")
        self.server = ScriptedServer(serve_archive(b"")).start()
        self.addCleanup(self.server.stop)
        self.keys = {name: self.make_key(name) for name in ("primary", "backup", "other")}
        self.launcher = self.ws.pack(options=["--agent-key", self.keys["primary"][0],
                                              "--agent-key", self.keys["backup"][0]])

    def make_key(self, name):
        public, secret = self.ws.path(name + ".pub"), self.ws.path(name + ".key")
        subprocess.run(["minisign", "-G", "-W", "-p", public, "-s", secret], check=True,
                       capture_output=True, timeout=60)
        with open(public) as stream:
            return public, secret, "%016X" % int(stream.readline().split()[-1], 16)

    def signed(self, ident, version, key="primary", comment=None, legacy=False, padding=0):
        path = self.ws.path(ident + ".zip")
        open(path, "wb").write(stored(ident, padding))
        comment = comment or "agent-version=%d agent-release=%s/%s" % (version, RELEASE_LABEL,
                                                                         PLATFORM_TAG)
        subprocess.run(["minisign", "-S", "-s", self.keys[key][1], "-m", path, "-t", comment]
                       + (["-l"] if legacy else []), check=True, capture_output=True, timeout=60)
        subprocess.run([self.ws.binaries.setup_pack, "--attach-signature", path + ".minisig",
                        path], check=True, capture_output=True, timeout=60)
        return open(path, "rb").read()

    def serve(self, archive, etag, launcher=None):
        self.server.set_handler(serve_archive(archive, etag=etag.encode()))
        self.server.clear()
        return self.ws.run(launcher or self.launcher, url=self.server.url())

    def record(self, name):
        return open(os.path.join(self.ws.cache_dir(), name)).read().split("\n")

    def test_a_bad_splice_is_fetched_once_more_before_any_refusal(self):
        # A kept partial whose bytes are not the archive's own: continued, it fails
        # verification, and the archive is then fetched whole and verifies.
        archive = self.signed("v1", 1, padding=2 << 20)
        cache = self.ws.cache_dir()
        os.makedirs(cache, exist_ok=True)
        with open(cache + "InstallAgent.zip.partial", "wb") as stream:
            stream.write(os.urandom(len(archive) // 2))
        with open(cache + "InstallAgent.zip.partial.record", "w") as stream:
            stream.write('etag="v1"\nlength=%d\n' % len(archive))
        self.server.set_handler(serve_resumable(archive))
        self.server.clear()
        result = self.ws.run(self.launcher, url=self.server.url())
        self.assertSucceeded(result)
        self.assertAgentRanFromCache(result, ident="v1")
        self.assertEqual([(r.method, r.header("Range")) for r in self.server.requests],
                         [("HEAD", None), ("GET", "bytes=%d-" % (len(archive) // 2)),
                          ("GET", None)])

    def test_signed_agents_run_and_a_warm_run_makes_the_head_alone(self):
        result = self.serve(self.signed("v1", 1), '"v1"')
        self.assertSucceeded(result)
        self.assertAgentRanFromCache(result, ident="v1")
        self.assertRequests(self.server, [HEAD, GET])
        result = self.serve(self.signed("other-v1", 1), '"v1"')
        self.assertAgentRanFromCache(result, ident="v1")
        self.assertRequests(self.server, [HEAD])
        # The backup key signs the next agent, one large enough to be hashed in pieces.
        self.assertSucceeded(self.serve(self.signed("v2", 2, key="backup", padding=5 << 20),
                                        '"v2"'))
        self.assertEqual(self.record(".agentverification")[:2],
                         ["key=" + self.keys["backup"][2], "version=2"])
        # One floor per key, so a launcher applies only those of the keys it trusts.
        self.assertEqual(self.record(".agentversionfloors"),
                         ["key=%s version=1" % self.keys["primary"][2],
                          "key=%s version=2" % self.keys["backup"][2], ""])
        # A launcher file that trusts another key does not take the cached agent for current.
        result = self.serve(self.signed("v2", 2, key="backup"), '"v2"',
                            launcher=self.ws.pack(options=["--agent-key", self.keys["other"][0]]))
        self.assertFailedWith(result, refusal("it is signed with a key that this installer does "
                                              "not trust"))
        self.assertRequests(self.server, [HEAD, GET])

    def test_each_fault_is_refused_and_nothing_is_cached_or_run(self):
        self.assertSucceeded(self.serve(self.signed("v1", 1), '"v1"'))
        before = tree_snapshot(self.ws.cache_dir())
        good = self.signed("v2", 2)
        cases = [
            (good.replace(b"'v2'", b"'w2'"), "its signature does not match its contents"),
            (good.replace(b"agent-version=2", b"agent-version=3"),
             "its signature does not match its contents"),
            (self.signed("other", 2, key="other"),
             "it is signed with a key that this installer does not trust"),
            (stored("plain"), "it carries no signature"),
            (self.signed("legacy", 2, legacy=True), "it is signed in a legacy format"),
            (self.signed("win", 2, comment="agent-version=2 agent-release=Q4096c/oswin64"),
             "it is signed for another release (Q4096c/oswin64)"),
        ]
        for number, (archive, reason) in enumerate(cases):
            with self.subTest(reason=reason, number=number):
                result = self.serve(archive, '"bad-%d"' % number)
                self.assertFailedWith(result, refusal(reason))
                self.assertIsNone(result.agent)
                self.assertEqual(tree_snapshot(self.ws.cache_dir()), before)
        # A run-private agent (the home is open to others) is verified the same way.
        os.chmod(self.ws.home, 0o777)
        result = self.serve(self.signed("private", 2, key="other"), '"v2"')
        self.assertFailedWith(result, refusal(cases[2][1]))

    def test_an_older_agent_never_replaces_the_one_last_accepted(self):
        self.assertSucceeded(self.serve(self.signed("v5", 5), '"v5"'))
        marker = self.ws.marker()
        result = self.serve(self.signed("v4", 4), '"v4"')
        self.assertEqual(result.stderr_lines, ["Note: the download server offers an older install "
                                               "agent (version 4) than the installed one "
                                               "(version 5); the installed one is used."])
        self.assertAgentRanFromCache(result, ident="v5")
        self.assertEqual(self.ws.marker(), marker)
        # Signed again at the same version, it is accepted.
        result = self.serve(self.signed("v5-again", 5), '"v5-again"')
        self.assertSucceeded(result)
        self.assertAgentRanFromCache(result, ident="v5-again")
        shutil.rmtree(self.ws.agent_dir())  # without it, the older agent is refused
        result = self.serve(self.signed("v4", 4), '"v4"')
        self.assertFailedWith(result, refusal("it is older than the agent last accepted "
                                              "(version 4, last accepted 5)"))

    def test_a_cache_filled_without_keys_is_fetched_and_verified_again(self):
        archive = self.signed("v1", 1)
        self.assertSucceeded(self.serve(archive, '"v1"', launcher=self.ws.pack()))
        self.assertSucceeded(self.serve(archive, '"v1"'))
        self.assertRequests(self.server, [HEAD, GET])
        self.assertSucceeded(self.serve(archive, '"v1"'))
        self.assertRequests(self.server, [HEAD])

    def test_an_unreadable_key_member_stops_the_run_before_any_request(self):
        launcher = self.ws.pack(members=[("InstallAgent.pub", b"untrusted comment: x\nno key\n")])
        result = self.serve(self.signed("v1", 1), '"v1"', launcher=launcher)
        self.assertFailedWith(result, ["Internal Error: The publisher's key in this launcher file "
                                       "cannot be read.", "", "Please contact the publisher."])
        self.assertEqual(self.server.requests, [])


if __name__ == "__main__":
    run_main()

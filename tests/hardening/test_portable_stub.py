#!/usr/bin/python3
"""The launcher file starts on Linux systems other than the one that built it.

The stub is fully static: no program interpreter, no shared library named and none
opened in a whole run. For real, in the root of an older Debian release (an older glibc,
no libcurl, the CA bundle only where Red Hat keeps it), a launcher file downloads its agent
over HTTPS from nginx on 127.0.0.1, unpacks it with that root's own unzip, runs it and exits 0; a
second run makes the HEAD request alone. The same launcher linked against the build
machine's shared libcurl does not even start there, which shows the case can fail.

The root is made once per build tree and release with debootstrap, from the mirror this
machine's apt already uses, of the oldest release older than this machine's that the mirror
still serves; where it serves none, that one case is skipped. SETUP_OLD_ROOT names the
directory the roots are kept in.
"""

import datetime
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from hardening_support import (PATIENCE, bind_over, namespace_wrap,  # noqa: E402
                               require_mount_namespace)
from launcher_harness import (AGENT_PATH, AgentRecord, LauncherTestCase,  # noqa: E402
                              make_agent_archive, run_main)
from scripted_server import ScriptedServer, serve_archive  # noqa: E402
from tls_fixture import TestAuthority, TlsServer, find_program, utc_now  # noqa: E402

DEBIAN_ARCHIVES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "cmake",
                               "debian-archives.sh")
DAY = datetime.timedelta(days=1)
RED_HAT_BUNDLE = "etc/pki/tls/certs/ca-bundle.crt"
DEBIAN_BUNDLE = "etc/ssl/certs/ca-certificates.crt"


def dynamic_needs(path):
    """The program interpreter and NEEDED entries of an ELF file, as readelf reads them."""
    readelf = find_program("readelf", "binutils")
    headers = subprocess.run([readelf, "-lW", path], capture_output=True, text=True, check=True)
    dynamic = subprocess.run([readelf, "-dW", path], capture_output=True, text=True, check=True)
    interpreter = [line for line in headers.stdout.splitlines() if "INTERP" in line]
    return interpreter + re.findall(r"\(NEEDED\).*", dynamic.stdout)


def old_distribution_root():
    """A minbase root of an older release with unzip, made on first use and kept."""
    roots = os.environ.get("SETUP_OLD_ROOT", "")
    if not roots:
        raise unittest.SkipTest("SETUP_OLD_ROOT is not set; run through CTest")
    with tempfile.TemporaryDirectory(prefix="setup-old-root-apt-") as apt_state:
        older = subprocess.run([DEBIAN_ARCHIVES, apt_state, "--older"], capture_output=True,
                               text=True, check=True)
    if not older.stdout.strip():
        raise unittest.SkipTest(older.stderr.strip())
    release, mirror = older.stdout.split()
    root = os.path.join(roots, release)
    if os.path.isfile(os.path.join(root, "usr", "bin", "unzip")):
        return root
    os.makedirs(roots, exist_ok=True)
    debootstrap = find_program("debootstrap", "debootstrap")
    building = root + ".building"
    shutil.rmtree(building, ignore_errors=True)
    completed = subprocess.run(
        [debootstrap, "--variant=minbase", "--include=unzip", release, building, mirror],
        capture_output=True, text=True, timeout=900)
    if completed.returncode != 0:
        raise AssertionError("debootstrap failed (%d):\n%s" % (
            completed.returncode, (completed.stdout + completed.stderr)[-3000:]))
    shutil.rmtree(root, ignore_errors=True)
    os.rename(building, root)
    return root


class StaticStubTests(LauncherTestCase):
    def test_the_stub_needs_no_shared_library(self):
        self.assertEqual(dynamic_needs(self.ws.binaries.setup), [])
        # The check reads what it claims to: the companion stub names its libraries.
        companion = os.environ["SETUP_SYSTEM_LIBCURL_BIN"]
        self.assertTrue(any("libcurl" in line for line in dynamic_needs(companion)))

    def test_a_whole_run_opens_no_shared_library(self):
        require_mount_namespace()
        strace = find_program("strace", "strace")
        archive = make_agent_archive("static-v1")
        trace = self.ws.path("trace")
        # A name that only /etc/hosts knows (libcurl answers "localhost" itself), so the
        # resolver reads the hosts file; the test's hosts file lies over the machine's.
        hosts = self.ws.path("hosts")
        with open(hosts, "w", encoding="ascii") as stream:
            stream.write("127.0.0.1 agents.setup-test.invalid\n")
        wrap = namespace_wrap(bind_over(hosts, "/etc/hosts")) + [
            strace, "-f", "-qq", "-o", trace, "-e", "trace=open,openat,execve"]
        with ScriptedServer(serve_archive(archive)) as server:
            url = server.url().replace("127.0.0.1", "agents.setup-test.invalid")
            result = self.ws.run(self.ws.pack(), url=url, wrap=wrap)
        self.assertSucceeded(result)
        self.assertAgentRanFromCache(result, ident="static-v1")
        with open(trace, encoding="utf-8", errors="replace") as stream:
            lines = stream.read().splitlines()
        # Children (sh, unzip, rm, the agent) are programs of their own once they exec;
        # what counts is what the launcher's process and its threads open.
        launcher_pid = lines[0].split()[0]
        children = {line.split()[0] for line in lines
                    if " execve(" in line and line.split()[0] != launcher_pid}
        opened = [line for line in lines if line.split()[0] not in children]
        self.assertTrue(any('"/etc/hosts"' in line for line in opened), "\n".join(opened))
        self.assertEqual([line for line in opened if re.search(r'\.so[."]', line)], [],
                         "shared objects opened by the launcher")


class OlderDistributionTests(LauncherTestCase):
    @classmethod
    def setUpClass(cls):
        require_mount_namespace()
        cls.root = old_distribution_root()
        cls.scratch = tempfile.mkdtemp(prefix="setup-old-root-pki-")
        now = utc_now()
        authority = TestAuthority(os.path.join(cls.scratch, "ca"), "setup portable stub test CA")
        sites = {"good": authority.issue("good", ["localhost"], now - DAY, now + 2 * DAY)}
        cls.nginx = TlsServer(sites, make_agent_archive("old-root-v1"))
        cls.authority = authority

    @classmethod
    def tearDownClass(cls):
        cls.nginx.cleanup()
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def setUp(self):
        super().setUp()
        # Only the Red Hat place holds a bundle, and it holds the test CA alone.
        self.assertFalse(os.path.exists(os.path.join(self.root, DEBIAN_BUNDLE)))
        os.makedirs(os.path.join(self.root, os.path.dirname(RED_HAT_BUNDLE)), exist_ok=True)
        shutil.copy(self.authority.certificate, os.path.join(self.root, RED_HAT_BUNDLE))
        with open(os.path.join(self.root, "etc", "hosts"), "w", encoding="ascii") as stream:
            stream.write("127.0.0.1 localhost\n")
        # Each test has its own place in the root for the launcher, its home and its log.
        self.inside = tempfile.mkdtemp(prefix="setup-test-", dir=os.path.join(self.root, "tmp"))
        self.addCleanup(shutil.rmtree, self.inside, ignore_errors=True)

    def in_root(self, path):
        return "/" + os.path.relpath(path, self.root)

    def run_in_root(self, stub, name):
        launcher = self.ws.pack(output=os.path.join(self.inside, name, "setup.run"), stub=stub)
        agent_log = os.path.join(self.inside, name + "-agent")
        os.makedirs(agent_log)
        self.nginx.clear_log()
        wrap = namespace_wrap(["mount --rbind /proc %s/proc" % self.root]) + [
            find_program("chroot", "coreutils"), self.root]
        result = self.ws.run(self.in_root(launcher), url=self.nginx.url("good"),
                             env={"HOME": self.in_root(os.path.join(self.inside, "home")),
                                  "PATH": "/usr/bin:/bin",
                                  "SETUP_E2E_AGENT_LOG": self.in_root(agent_log)},
                             wrap=wrap, timeout=PATIENCE)
        has_record = os.path.exists(os.path.join(agent_log, "argv"))
        return result, AgentRecord(agent_log) if has_record else None

    def test_static_launcher_installs_there(self):
        stub = self.ws.binaries.setup
        result, agent = self.run_in_root(stub, "first")
        self.assertEqual(result.status, 0, result.describe())
        self.assertEqual(result.stderr, b"")
        self.assertEqual(agent.ident, "old-root-v1")
        self.assertEqual(agent.script, self.in_root(os.path.join(
            self.inside, "home", ".quenth/app_installer_cache/Q4096c/oslin64/installagent/install")))
        self.assertEqual([(e.method, e.status) for e in self.nginx.log()],
                         [("HEAD", 200), ("GET", 200)])

        result, agent = self.run_in_root(stub, "warm")
        self.assertEqual(result.status, 0, result.describe())
        self.assertEqual(agent.ident, "old-root-v1")
        self.assertEqual([(e.method, e.status) for e in self.nginx.log()], [("HEAD", 200)])

    def test_launcher_with_the_shared_libcurl_does_not_start_there(self):
        result, agent = self.run_in_root(os.environ["SETUP_SYSTEM_LIBCURL_BIN"], "dynamic")
        self.assertEqual(result.status, 127, result.describe())
        self.assertIn(b"error while loading shared libraries: libcurl.so.4", result.stderr)
        self.assertIsNone(agent)
        self.assertEqual(self.nginx.log(), [])


if __name__ == "__main__":
    run_main()

#!/usr/bin/python3
"""Faults of the network, the archive, the disk and the cache, and what a run makes of them.

In each case the launcher prints the messages that belong to the fault and nothing else,
does not crash, never runs an agent that is stale or half unpacked, leaves no work
directory, and the next good run succeeds. Disk and file-system faults are made in a
private mount namespace (a small tmpfs, a read-only bind mount) so the machine's own
mounts stay untouched; permission faults run the launcher as an unprivileged user, since
root passes every permission check and would test nothing.
"""

import io
import os
import pwd
import shlex
import signal
import subprocess
import sys
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from hardening_support import (CURLE_OPERATION_TIMEDOUT, CURLE_PARTIAL_FILE,  # noqa: E402
                               CURLE_WRITE_ERROR, INIT_FAILED, INSTALLATION_FAILED,
                               LauncherProcess, on_a_terminal, stalled_get,
                               PATIENCE, UNZIP_FAILED, bind_over, hand_over, download_failed_lines,
                               namespace_wrap, require_mount_namespace, unprivileged_user)
from launcher_harness import (CACHE_ROOT, CANNOT_BE_WRITTEN, FIXED_TIME, NOT_OWN,  # noqa: E402
                              LauncherTestCase, make_agent_archive, make_zip, real_program,
                              run_main, tree_snapshot)
from scripted_server import (Reply, ScriptedServer, etag_line, redirect,  # noqa: E402
                             response, routes, serve_archive, stall)

HEAD_GET = [("HEAD", "/agent"), ("GET", "/agent")]
HEAD_ONLY = [("HEAD", "/agent")]
INIT_FAILED_202 = "Internal error: Failed to initialize application installer (202)"
NO_OWN_FILE = "Internal error: The installer cannot find its own file (is /proc mounted?)"
NOEXEC_NOTE = ("Note: /tmp is mounted noexec. If the installation failed because a program could"
               " not be started, set TMPDIR to a directory where programs may run and rerun the"
               " installer.")


def agent_with_payload(ident, payload, payload_first=False):
    """An agent archive (stored) with the harness's recording "install" and a payload."""
    with zipfile.ZipFile(io.BytesIO(make_agent_archive(ident))) as source:
        script = source.read("install")
    members = [("install", script), ("payload.bin", payload)]
    if payload_first:
        members.reverse()
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_STORED) as archive:
        for name, data in members:
            info = zipfile.ZipInfo(name, FIXED_TIME)
            info.external_attr = 0o100755 << 16
            archive.writestr(info, data)
    return buffer.getvalue()


def corrupt_member(archive, name):
    """The archive with one byte of a stored member's data flipped (its CRC no longer fits)."""
    with zipfile.ZipFile(io.BytesIO(archive)) as reader:
        info = reader.getinfo(name)
    header = info.header_offset
    name_length = int.from_bytes(archive[header + 26:header + 28], "little")
    extra_length = int.from_bytes(archive[header + 28:header + 30], "little")
    data = header + 30 + name_length + extra_length
    flipped = bytearray(archive)
    flipped[data + info.file_size // 2] ^= 0x5A
    return bytes(flipped)


class FaultTestCase(LauncherTestCase):
    def setUp(self):
        super().setUp()
        self.server = ScriptedServer(serve_archive(make_agent_archive("v1"), etag=b'"v1"'))
        self.server.start()
        self.addCleanup(self.server.stop)
        self.launcher = self.ws.pack()

    def serve(self, archive, etag, **options):
        self.server.set_handler(serve_archive(archive, etag=etag, **options))
        self.server.clear()

    def launch(self, **options):
        self.server.clear()
        options.setdefault("url", self.server.url("/agent"))
        return self.ws.run(options.pop("launcher", self.launcher), **options)

    def assertGoodRun(self, ident, requests, home=None, **options):
        """An undisturbed run: the agent of this ident runs from the cache."""
        if home is not None:
            options["home"] = home
        result = self.launch(**options)
        self.assertSucceeded(result)
        self.assertAgentRanFromCache(result, ident=ident, home=home)
        self.assertRequests(self.server, requests)
        self.assertWorkDirectoryGone(result)
        return result

    def assertFailedGetThenRecovered(self, result, reason, new):
        """A GET that was to replace v1 with new failed on the network: v1 runs after the note
        and stays as it was with its marker, and the next run fetches new."""
        self.assertRegex(self.assertRanOffline(result, "v1"), reason)
        self.assertRequests(self.server, HEAD_GET)
        self.assertEqual(self.ws.marker(), b'ETag: "v1"\r')
        self.assertWorkDirectoryGone(result)
        self.serve(new, b'"v2"')
        self.assertGoodRun("v2", HEAD_GET)
        self.assertEqual(self.ws.marker(), b'ETag: "v2"\r')

    def installed_agent(self):
        """The cached agent's files, None when it has no entry script."""
        agent_dir = self.ws.agent_dir()
        return tree_snapshot(agent_dir) if os.path.exists(agent_dir + "/install") else None

    def assertNoAgentRan(self, result):
        self.assertIsNone(result.agent, "an agent ran\n" + result.describe())

    def assertFailsOnATerminal(self, launcher, last_lines, wrap=()):
        """On a terminal that nobody types on, unzip asks nothing: the run fails at once."""
        master, terminal_wrap, env = on_a_terminal()
        self.addCleanup(os.close, master)
        run = LauncherProcess(self.ws, launcher, env=env, wrap=list(wrap) + terminal_wrap)
        self.addCleanup(run.kill)
        run.finish()
        self.assertEqual((run.returncode, run.stderr_lines[-len(last_lines):], run.agent),
                         (255, last_lines, None), run.describe())


class TransferFaultTests(FaultTestCase):
    def test_server_closing_mid_body_while_replacing_an_agent(self):
        self.assertGoodRun("v1", HEAD_GET)
        new = agent_with_payload("v2", os.urandom(256 << 10))
        cut = response(200, header_lines=[b'ETag: "v2"'], body=new[:len(new) // 3],
                       content_length=len(new), close=True)
        self.serve(new, b'"v2"', get_reply=cut)
        result = self.launch()
        self.assertEqual([call.argv[0] for call in result.unzip_calls], ["-qq"])
        # Neither the old agent nor the cut archive serves again: the next run fetches.
        self.assertFailedGetThenRecovered(result, "^transfer closed with \\d+ bytes remaining", new)

    def test_truncated_archive(self):
        good = agent_with_payload("v2", os.urandom(64 << 10))
        for label, cut in (("no central directory", len(good) // 2),
                           ("end record cut", len(good) - 10)):
            with self.subTest(label):
                self.serve(good[:cut], b'"v2"')
                installed = self.installed_agent()
                for attempt in (1, 2):
                    result = self.launch()
                    self.assertFailedWith(result, [UNZIP_FAILED, INIT_FAILED])
                    self.assertNoAgentRan(result)
                    self.assertRequests(self.server, HEAD_GET)
                    # The agent installed before, if any, stays as it was.
                    self.assertEqual(self.installed_agent(), installed)
                    self.assertWorkDirectoryGone(result)
                # The whole archive under the very same tag: the cache recovers.
                self.serve(good, b'"v2"')
                self.assertGoodRun("v2", HEAD_GET)
                self.assertGoodRun("v2", HEAD_ONLY)
                self.serve(make_agent_archive("v1"), b'"v1"')
                self.assertGoodRun("v1", HEAD_GET)

    def test_corrupt_member_after_a_good_entry_script(self):
        """unzip writes "install" whole, then finds a bad CRC in the next member."""
        good = agent_with_payload("v2", os.urandom(64 << 10))
        self.check_corrupt_archive(corrupt_member(good, "payload.bin"), good)

    def test_corrupt_entry_script(self):
        """Info-ZIP keeps a member with a bad CRC on disk: a damaged "install" is there."""
        good = agent_with_payload("v2", b"x" * 4096, payload_first=True)
        self.check_corrupt_archive(corrupt_member(good, "install"), good)

    def test_encrypted_member_of_a_local_agent_archive_on_a_terminal(self):
        archive = self.ws.path("encrypted.zip")
        subprocess.run([real_program("zip"), "-qjP", "secret", archive, self.launcher], check=True)
        with open(archive, "rb") as stream:
            launcher = self.ws.pack(members=[("InstallAgent.zip", stream.read())])
        self.assertFailsOnATerminal(launcher, [UNZIP_FAILED, INIT_FAILED, INSTALLATION_FAILED])

    def check_corrupt_archive(self, corrupt, good):
        self.serve(corrupt, b'"v2"')
        for attempt in (1, 2):
            with self.subTest(attempt=attempt):
                result = self.launch()
                self.assertFailedWith(result, [UNZIP_FAILED, INIT_FAILED])
                self.assertNoAgentRan(result)
                # The second run may not take what the first one half unpacked for current.
                self.assertRequests(self.server, HEAD_GET)
                self.assertWorkDirectoryGone(result)
        self.serve(good, b'"v2"')
        self.assertGoodRun("v2", HEAD_GET)
        self.assertGoodRun("v2", HEAD_ONLY)


class SilentServerTests(FaultTestCase):
    """A server that goes silent is given up after 30 s; one that trickles is never cut off.

    Each case waits out the limit for real, so each is a CTest test of its own (label slow).
    The time a run took is printed for the record, never judged.
    """

    def timed_launch(self):
        started = time.monotonic()
        result = self.launch()
        print("%s: the run ended after %.1f s" % (self.id(), time.monotonic() - started))
        return result

    def test_head_unanswered_after_a_redirect(self):
        self.assertGoodRun("v1", HEAD_GET)
        before = tree_snapshot(self.ws.cache_dir())
        self.server.set_handler(routes({"/agent": redirect("/silent"), "/silent": stall()}))
        result = self.timed_launch()
        # A proxy or server that never answers: the installed agent runs after the note.
        self.assertRegex(self.assertRanOffline(result, "v1"), "^Operation too slow")
        self.assertRequests(self.server, [("HEAD", "/agent"), ("HEAD", "/silent")])
        self.assertWorkDirectoryGone(result)
        self.assertEqual(tree_snapshot(self.ws.cache_dir()), before)
        self.serve(make_agent_archive("v1"), b'"v1"')
        self.assertGoodRun("v1", HEAD_ONLY)

    def test_body_that_stops_halfway(self):
        self.assertGoodRun("v1", HEAD_GET)
        new = make_agent_archive("v2")
        self.serve(new, b'"v2"', get_reply=stalled_get(new, b'"v2"'))
        result = self.timed_launch()
        self.assertFailedGetThenRecovered(result, "^Operation too slow", new)

    def test_body_that_trickles_for_40_seconds(self):
        archive = make_agent_archive("slow", extra={"padding.bin": os.urandom(1200)})
        chunk = -(-len(archive) // 40)  # 40 pieces a second apart: about 40 bytes a second
        head = response(200, header_lines=[etag_line(b'"slow"')], content_length=len(archive))
        self.serve(archive, b'"slow"', get_reply=Reply(head=head.head, body=archive,
                                                       pace=(chunk, 1.0)))
        result = self.timed_launch()
        self.assertSucceeded(result)
        self.assertAgentRanFromCache(result, ident="slow")
        self.assertRequests(self.server, HEAD_GET)
        self.assertWorkDirectoryGone(result)


class CacheStateFaultTests(FaultTestCase):
    def test_cached_agent_directory_is_a_file(self):
        os.makedirs(self.ws.cache_dir())
        with open(self.ws.agent_dir(), "w") as stream:
            stream.write("not a directory\n")
        with open(self.ws.marker_path(), "wb") as stream:
            stream.write(b'ETag: "v1"\r')
        # The file is taken away before the GET and the agent unpacked in its place.
        self.assertGoodRun("v1", HEAD_GET)
        self.assertTrue(os.path.isdir(self.ws.agent_dir()))
        self.assertGoodRun("v1", HEAD_ONLY)

    def test_cached_agent_directory_is_a_dangling_link(self):
        os.makedirs(self.ws.cache_dir())
        os.symlink(self.ws.path("nowhere"), self.ws.agent_dir())
        self.assertGoodRun("v1", HEAD_GET)
        self.assertTrue(os.path.isdir(self.ws.agent_dir()))
        self.assertFalse(os.path.islink(self.ws.agent_dir()))
        self.assertFalse(os.path.lexists(self.ws.path("nowhere")))

    def test_validation_marker_is_a_directory(self):
        self.assertGoodRun("v1", HEAD_GET)
        os.remove(self.ws.marker_path())
        os.makedirs(os.path.join(self.ws.marker_path(), "inside"))
        # A marker that is no regular file is no record: the cache is left alone, and the run
        # fetches an agent for itself, saying which entry is wrong.
        before = tree_snapshot(self.ws.cache_dir())
        result = self.launch()
        self.assertRanRunPrivateAgent(result, self.ws.cache_dir(),
                                      '".validatestring" in it is not a regular file', "v1")
        self.assertRequests(self.server, HEAD_GET)
        self.assertEqual(tree_snapshot(self.ws.cache_dir()), before)
        self.assertWorkDirectoryGone(result)
        os.rmdir(os.path.join(self.ws.marker_path(), "inside"))
        os.rmdir(self.ws.marker_path())
        self.assertGoodRun("v1", HEAD_GET)
        self.assertGoodRun("v1", HEAD_ONLY)

    def test_home_pointing_at_a_file(self):
        home_file = self.ws.path("home-file")
        with open(home_file, "w") as stream:
            stream.write("a file, not a directory\n")
        result = self.launch(home=home_file)
        self.assertRanRunPrivateAgent(result, self.ws.cache_dir(home_file), CANNOT_BE_WRITTEN,
                                      "v1")
        self.assertRequests(self.server, HEAD_GET)
        with open(home_file) as stream:
            self.assertEqual(stream.read(), "a file, not a directory\n")
        self.assertWorkDirectoryGone(result)
        self.assertGoodRun("v1", HEAD_GET)


class PermissionFaultTests(FaultTestCase):
    """Run as an unprivileged user (nobody under root), for whom permissions hold."""

    def setUp(self):
        super().setUp()
        self.uid = unprivileged_user()
        self.home = self.ws.path("user-home")
        os.makedirs(self.home)
        hand_over(self.ws, [self.home], self.uid)
        self.addCleanup(self.restore_modes)

    def restore_modes(self):
        for directory, _, _ in os.walk(self.home):
            try:
                os.chmod(directory, 0o755)
            except OSError:
                pass

    def user_run(self, ident, requests):
        return self.assertGoodRun(ident, requests, home=self.home, user=self.uid)

    def test_unreadable_cached_agent_directory(self):
        self.user_run("v1", HEAD_GET)
        agent_dir = self.ws.agent_dir(self.home)
        os.chmod(agent_dir, 0)
        result = self.launch(home=self.home, user=self.uid)
        # It cannot count as complete: a fresh copy takes its place, and it goes.
        self.assertSucceeded(result)
        self.assertAgentRanFromCache(result, ident="v1", home=self.home)
        self.assertRequests(self.server, HEAD_GET)
        self.assertEqual(sorted(os.listdir(self.ws.cache_dir(self.home))),
                         [".lock", ".validatestring", "installagent"])
        self.assertWorkDirectoryGone(result)
        self.user_run("v1", HEAD_ONLY)

    def test_home_not_writable(self):
        os.chmod(self.home, 0o555)
        result = self.launch(home=self.home, user=self.uid)
        self.assertRanRunPrivateAgent(result, self.ws.cache_dir(self.home), CANNOT_BE_WRITTEN,
                                      "v1")
        self.assertRequests(self.server, HEAD_GET)
        self.assertEqual(os.listdir(self.home), [])
        self.assertWorkDirectoryGone(result)
        os.chmod(self.home, 0o755)
        self.user_run("v1", HEAD_GET)

    def test_agent_cache_directory_not_writable_when_the_agent_changes(self):
        self.user_run("v1", HEAD_GET)
        os.chmod(self.ws.cache_dir(self.home), 0o555)
        self.serve(make_agent_archive("v2"), b'"v2"')
        # The old agent's files go (its directory is writable), the directory itself stays,
        # and the new agent is unpacked into it.
        self.user_run("v2", HEAD_GET)
        self.assertEqual(self.ws.marker(self.home), b'ETag: "v2"\r')
        os.chmod(self.ws.cache_dir(self.home), 0o755)
        self.user_run("v2", HEAD_ONLY)


class FullDiskTests(FaultTestCase):
    """A small tmpfs in a private mount namespace stands for a disk that fills up."""

    def setUp(self):
        require_mount_namespace()
        super().setUp()

    def test_disk_filling_during_the_get(self):
        self.assertGoodRun("v1", HEAD_GET)
        # With __QX_BOOTSTRAP_INSTALLER_UNITTEST__ the launcher's own directory is the work
        # path; a tmpfs over it holds the launcher and its bundle, and little more.
        directory = self.ws.path("small-disk")
        launcher = self.ws.pack(output=os.path.join(directory, "setup.run"))
        stash = self.ws.path("stash-setup.run")
        os.rename(launcher, stash)
        size = os.path.getsize(stash) + len(self.ws.bundle) + (256 << 10)
        wrap = namespace_wrap([
            "mount -t tmpfs -o size=%d,mode=0755 tmpfs %s" % (size, shlex.quote(directory)),
            "cp %s %s" % (shlex.quote(stash), shlex.quote(launcher))])
        self.serve(agent_with_payload("v2", os.urandom(4 << 20)), b'"v2"')
        installed = self.installed_agent()
        # A home whose cache cannot be made: the run fetches its agent into the work path.
        result = self.launch(launcher=launcher, unittest_mode="", wrap=wrap,
                             home=self.ws.path("no-such-home"))
        # The details name the disk's error and the file it stopped.
        self.assertFailedWith(result, download_failed_lines(CURLE_WRITE_ERROR)[:-1] + [
            "Details: No space left on device while writing %s/InstallAgent.zip" % directory])
        self.assertNoAgentRan(result)
        self.assertRequests(self.server, HEAD_GET)
        self.assertEqual(self.installed_agent(), installed)
        self.assertEqual(self.ws.marker(), b'ETag: "v1"\r')
        self.assertWorkDirectoryGone(result)
        # The next run, with room to spare, downloads again.
        self.assertGoodRun("v2", HEAD_GET)
        self.assertEqual(self.ws.marker(), b'ETag: "v2"\r')

    def test_tmp_filling_during_the_extraction_on_a_terminal(self):
        # The workspace (under /tmp, as a rule) stays reachable over the small /tmp.
        root = shlex.quote(self.ws.root)
        wrap = namespace_wrap(["mount --bind %s /mnt" % root,
                               "mount -t tmpfs -o size=256k,mode=1777 tmpfs /tmp",
                               "mkdir -p %s" % root, "mount --move /mnt %s" % root])
        self.assertFailsOnATerminal(self.ws.pack(bundle=os.urandom(1 << 20)), [
            "Internal error: Failed to initialize application installer (201)",
            INSTALLATION_FAILED], wrap)

    def test_cache_filling_while_the_agent_is_unpacked(self):
        """HOME on a small tmpfs that outlives each run: a namespace held open meanwhile."""
        if not os.access("/usr/bin/nsenter", os.X_OK):
            self.skipTest("nsenter is not installed (Debian package util-linux)")
        home = self.ws.path("small-home")
        os.makedirs(home)
        holder = subprocess.Popen(
            ["/usr/bin/unshare", "--mount", "--propagation", "private", "--", "/bin/sh", "-c",
             "mount --make-rprivate / && mount -t tmpfs -o size=1m,mode=0755 tmpfs %s && "
             "echo ready && exec sleep %d" % (shlex.quote(home), int(PATIENCE * 5))],
            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        self.addCleanup(holder.wait)
        self.addCleanup(holder.send_signal, signal.SIGKILL)
        self.assertEqual(holder.stdout.readline(), b"ready\n")
        inside = ["/usr/bin/nsenter", "--mount=/proc/%d/ns/mnt" % holder.pid,
                  "--wd=" + self.ws.cwd, "--"]
        seen_home = "/proc/%d/root%s" % (holder.pid, home)

        # The archive fits beside nothing else; its agent does not fit beside it.
        self.serve(agent_with_payload("big", os.urandom(600 << 10)), b'"big"')
        for attempt in (1, 2):
            with self.subTest(attempt=attempt):
                result = self.launch(home=home, wrap=inside)
                self.assertFailedWith(result, [UNZIP_FAILED, INIT_FAILED])
                self.assertNoAgentRan(result)
                # What the first run half unpacked is no agent for the second.
                self.assertRequests(self.server, HEAD_GET)
                self.assertWorkDirectoryGone(result)
        self.assertEqual(os.listdir(seen_home), [".quenth"])
        # Room again (the same tmpfs, grown): the next run fetches and works.
        grown = subprocess.run(inside + ["mount", "-o", "remount,size=16m", home])
        self.assertEqual(grown.returncode, 0)
        result = self.assertGoodRun("big", HEAD_GET, home=home, wrap=inside)
        self.assertEqual(os.path.getsize(os.path.join(
            self.ws.agent_dir(seen_home), "payload.bin")), 600 << 10, result.describe())


class ReadOnlyCacheTests(FaultTestCase):
    """The home directory on a file system mounted read-only (root is refused there too)."""

    def setUp(self):
        require_mount_namespace()
        super().setUp()

    def read_only_home(self):
        return namespace_wrap(bind_over(self.ws.home, self.ws.home, read_only=True))

    def test_first_run_with_a_read_only_home(self):
        result = self.launch(wrap=self.read_only_home())
        self.assertRanRunPrivateAgent(result, self.ws.cache_dir(), CANNOT_BE_WRITTEN, "v1")
        self.assertRequests(self.server, HEAD_GET)
        self.assertEqual(os.listdir(self.ws.home), [])
        self.assertWorkDirectoryGone(result)
        self.assertGoodRun("v1", HEAD_GET)

    def test_read_only_cache_when_the_agent_changes(self):
        self.assertGoodRun("v1", HEAD_GET)
        before = tree_snapshot(self.ws.cache_dir())
        # A current agent needs no write.
        self.assertGoodRun("v1", HEAD_ONLY, wrap=self.read_only_home())
        self.serve(make_agent_archive("v2"), b'"v2"')
        result = self.launch(wrap=self.read_only_home())
        # The old agent cannot be replaced, and it may not run as if it were the new one.
        self.assertRanRunPrivateAgent(result, self.ws.cache_dir(), CANNOT_BE_WRITTEN, "v2")
        self.assertRequests(self.server, HEAD_GET)
        self.assertEqual(tree_snapshot(self.ws.cache_dir()), before)
        self.assertWorkDirectoryGone(result)
        self.assertGoodRun("v2", HEAD_GET)
        self.assertGoodRun("v2", HEAD_ONLY)


class ForeignCacheTests(FaultTestCase):
    """A cache that another user could have prepared: /tmp in a private mount namespace."""

    def setUp(self):
        require_mount_namespace()
        if not os.access("/usr/bin/setpriv", os.X_OK):
            self.skipTest("setpriv is not installed (Debian package util-linux)")
        super().setUp()

    def test_agent_planted_under_tmp_never_runs(self):
        # Without HOME and without a password entry, the cache would lie under /tmp, where
        # another user (nobody) has planted a complete agent that carries the server's tag.
        uid = next(candidate for candidate in range(47000, 48000)
                   if not any(entry.pw_uid == candidate for entry in pwd.getpwall()))
        private_tmp = self.ws.path("private-tmp")
        planted_cache = os.path.join(self.ws.path("planted"), CACHE_ROOT)
        os.makedirs(private_tmp)
        with zipfile.ZipFile(io.BytesIO(make_agent_archive("planted"))) as archive:
            archive.extractall(os.path.join(planted_cache, "installagent"))
        with open(os.path.join(planted_cache, ".validatestring"), "wb") as stream:
            stream.write(b'ETag: "v1"\r')
        self.ws.open_to_other_users()
        # A fresh /tmp that still shows the workspace at its own path.
        if not self.ws.root.startswith("/tmp/"):
            self.skipTest("the workspace %s does not lie under /tmp" % self.ws.root)
        workspace_in_tmp = os.path.join(private_tmp, os.path.relpath(self.ws.root, "/tmp"))
        wrap = namespace_wrap([
            'chmod 0777 "$SETUP_E2E_TOOL_LOG"',
            "mount -t tmpfs -o size=16m,mode=1777 tmpfs " + shlex.quote(private_tmp),
            "mkdir -p " + shlex.quote(workspace_in_tmp),
            "mount --bind %s %s" % (shlex.quote(self.ws.root), shlex.quote(workspace_in_tmp)),
            "cp -r %s %s" % (shlex.quote(self.ws.path("planted", ".quenth")),
                             shlex.quote(private_tmp)),
            "chown -R 65534:65534 %s/.quenth" % shlex.quote(private_tmp),
            "mount --rbind %s /tmp" % shlex.quote(private_tmp)])
        wrap += ["/usr/bin/setpriv", "--reuid=%d" % uid, "--regid=%d" % uid, "--clear-groups"]
        result = self.launch(home=None, wrap=wrap)
        self.assertRanRunPrivateAgent(result, "/tmp/" + CACHE_ROOT, NOT_OWN, "v1")
        self.assertRequests(self.server, HEAD_GET)


class WorkPlaceTests(FaultTestCase):
    def tmp_mounted(self, options):
        require_mount_namespace()
        root = shlex.quote(self.ws.root)  # the workspace stays in view over the new /tmp
        return namespace_wrap(["mount --bind %s /mnt" % root,
                               "mount -t tmpfs -o mode=1777 tmpfs /tmp && mkdir -p " + root,
                               "mount --bind /mnt %s; mount -o remount,%s /tmp" % (root, options)])

    def test_read_only_tmp_leaves_nothing_beside_the_launcher(self):
        directory = os.path.dirname(self.launcher)
        for attempt in (1, 2):
            result = self.launch(wrap=self.tmp_mounted("ro"))
            self.assertSucceeded(result)
            self.assertEqual(os.listdir(directory), ["setup.run"])
        os.chmod(directory, 0o777)  # others could rename the work directory there
        result = self.launch(wrap=self.tmp_mounted("ro"), env={"TMPDIR": directory})
        self.assertFailedWith(result, [INIT_FAILED_202])
        self.assertEqual((os.listdir(directory), result.tool_calls), (["setup.run"], []))

    def test_noexec_tmp_and_a_tmpdir_of_shell_words(self):
        agent = make_zip([("install", b'#!/bin/sh\nexec "${0%/*}/bin/install" "$@"\n'),
                          ("bin/install", b'#!/bin/sh\n[ -f "$2" ]\n')])
        self.launcher = self.ws.pack(members=[("InstallAgent.zip", agent)])
        result = self.launch(wrap=self.tmp_mounted("noexec"))
        self.assertEqual(result.stderr_lines[-2], NOEXEC_NOTE)
        os.mkdir(tmpdir := self.ws.path("tmp $HOME `id` \"q\" 'q'"))
        result = self.launch(wrap=self.tmp_mounted("noexec"), env={"TMPDIR": tmpdir + "/"})
        self.assertSucceeded(result)
        self.assertEqual(os.path.dirname(result.unzip_calls[0].option_value("-d")), tmpdir)
        self.assertEqual(os.listdir(tmpdir), [])

    def test_without_proc(self):
        require_mount_namespace()
        result = self.launch(wrap=namespace_wrap(["mount -t tmpfs tmpfs /proc"]))
        self.assertFailedWith(result, [NO_OWN_FILE])


if __name__ == "__main__":
    run_main()

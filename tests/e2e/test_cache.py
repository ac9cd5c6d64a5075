#!/usr/bin/python3
"""The per-user agent cache: where it lies, what wins over it and how it recovers.

The cases with HOME set to "/", unset or empty would write under the root directory or
the real home directory of the user. They run the launcher in a private mount namespace
in which a temporary directory is mounted over that place, so the real one stays
untouched; where that cannot be done they skip and say why.
"""

import contextlib
import fcntl
import os
import pwd
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

from launcher_harness import (AGENT_PATH, CACHE_ROOT, INIT_FAILED, UNZIP_FAILED,
                              LauncherTestCase, local_cache_failed_lines, make_agent_archive,
                              run_main, tree_snapshot)
from scripted_server import ScriptedServer, serve_archive

HEAD = ("HEAD", AGENT_PATH)
GET = ("GET", AGENT_PATH)
AGENT_V1 = make_agent_archive("v1")


class CacheTestCase(LauncherTestCase):
    def setUp(self):
        super().setUp()
        self.server = ScriptedServer(serve_archive(AGENT_V1, etag=b'"v1"')).start()
        self.addCleanup(self.server.stop)

    def fill_cache(self):
        result = self.ws.run(self.ws.pack(), url=self.server.url())
        self.assertSucceeded(result)
        self.assertAgentRanFromCache(result, ident="v1")
        self.server.clear()
        return tree_snapshot(self.ws.cache_dir())


class LocalAgentWinsTests(CacheTestCase):
    def test_local_agent_archive_wins_over_a_complete_cache(self):
        before = self.fill_cache()
        for name in ("InstallAgent.zip", "InstallAgent_9.zip"):
            with self.subTest(name=name):
                launcher = self.ws.pack(members=[(name, make_agent_archive("local"))])
                result = self.ws.run(launcher, url=self.server.url())
                self.assertSucceeded(result)
                self.assertAgentRanFromWorkDirectory(result, ident="local")
                self.assertNoRequests(self.server)
                self.assertEqual(tree_snapshot(self.ws.cache_dir()), before)
                self.assertWorkDirectoryGone(result)

    def test_local_agent_beside_the_launcher_in_unittest_mode(self):
        before = self.fill_cache()
        directory = self.ws.path("beside")
        launcher = self.ws.pack(output=os.path.join(directory, "setup.run"))
        with open(os.path.join(directory, "InstallAgent_3.zip"), "wb") as stream:
            stream.write(make_agent_archive("beside"))
        result = self.ws.run(launcher, unittest_mode="", url=self.server.url())
        self.assertSucceeded(result)
        self.assertAgentRan(result, os.path.join(directory, "install"), directory, ident="beside")
        self.assertNoRequests(self.server)
        self.assertEqual(tree_snapshot(self.ws.cache_dir()), before)


class BrokenDownloadTests(CacheTestCase):
    def test_downloaded_archive_that_does_not_unpack(self):
        launcher = self.ws.pack()
        self.server.set_handler(serve_archive(b"not a zip archive at all\n", etag=b'"bad"'))
        for attempt in (1, 2):
            with self.subTest(attempt=attempt):
                self.server.clear()
                result = self.ws.run(launcher, url=self.server.url())
                self.assertFailedWith(result, [UNZIP_FAILED, INIT_FAILED])
                self.assertIsNone(result.agent)
                self.assertRequests(self.server, [HEAD, GET])
                self.assertFalse(os.path.exists(os.path.join(self.ws.agent_dir(), "install")))
                # The marker names a tag only once its agent is in place.
                self.assertIsNone(self.ws.marker())
                self.assertWorkDirectoryGone(result)
        # Once the server has a good archive under the same tag, the cache recovers.
        self.server.set_handler(serve_archive(AGENT_V1, etag=b'"bad"'))
        self.server.clear()
        result = self.ws.run(launcher, url=self.server.url())
        self.assertSucceeded(result)
        self.assertRequests(self.server, [HEAD, GET])
        self.assertAgentRanFromCache(result, ident="v1")


class UnwritableArchiveTests(CacheTestCase):
    """The download cannot create work/InstallAgent.zip: the local-cache failure, no request.

    With __QX_BOOTSTRAP_INSTALLER_UNITTEST__ the work path is the launcher's directory; a
    dangling symbolic link there named InstallAgent.zip is no local agent archive (its
    status query fails), but opening it for writing fails as the link's target dictates.
    """

    def launcher_with_link(self, target):
        directory = self.ws.path("app")
        launcher = self.ws.pack(output=os.path.join(directory, "setup.run"))
        os.symlink(target, os.path.join(directory, "InstallAgent.zip"))
        return launcher, directory

    def test_archive_path_in_a_missing_directory(self):
        launcher, _ = self.launcher_with_link("no-such-directory/InstallAgent.zip")
        result = self.ws.run(launcher, unittest_mode="", url=self.server.url())
        self.assertFailedWith(result, local_cache_failed_lines("No such file or directory"))
        self.assertIsNone(result.agent)
        self.assertNoRequests(self.server)
        self.assertWorkDirectoryGone(result)

    def test_archive_path_in_a_read_only_directory(self):
        read_only = self.ws.path("read-only")
        os.makedirs(read_only)
        launcher, directory = self.launcher_with_link(os.path.join(read_only, "InstallAgent.zip"))
        options = {}
        if os.geteuid() == 0:
            try:
                nobody = pwd.getpwnam("nobody")
            except KeyError:
                self.skipTest("running as root and there is no user 'nobody' to run as")
            # Root writes anywhere: run as nobody, who may write the launcher's directory,
            # its home and the logs, but not the read-only directory.
            self.ws.open_to_other_users()
            for path in (self.ws.tools, self.ws.path("tools-lib"), read_only, self.ws.cwd):
                os.chmod(path, 0o755)
            home = self.ws.path("nobody-home")
            os.makedirs(home)
            for path in (directory, home):
                os.chown(path, nobody.pw_uid, nobody.pw_gid)
            options = {"user": nobody.pw_uid, "home": home}
        else:
            os.chmod(read_only, 0o555)
        result = self.ws.run(launcher, unittest_mode="", url=self.server.url(), **options)
        self.assertFailedWith(result, local_cache_failed_lines("Permission denied"))
        self.assertIsNone(result.agent)
        self.assertNoRequests(self.server)
        self.assertEqual(os.listdir(read_only), [])
        self.assertWorkDirectoryGone(result)


# -- HOME ------------------------------------------------------------------------------

LOCK_FILE = "/tmp/setup-e2e-root-directory.lock"


def mount_namespace_prefix(source, target):
    """A command prefix that runs the rest with source mounted over target, privately."""
    unshare = shutil.which("unshare")
    if unshare is None:
        return None
    prefix = [unshare, "--mount", "--propagation", "private"]
    if os.geteuid() != 0:
        prefix[1:1] = ["--user", "--map-root-user"]
    return prefix + ["/bin/sh", "-c", 'mount --bind "$1" "$2" && shift 2 && exec "$@"', "sh",
                     source, target]


def mount_namespace_works(scratch, target):
    probe_source = os.path.join(scratch, "probe-source")
    os.makedirs(probe_source, exist_ok=True)
    with open(os.path.join(probe_source, "probe"), "w") as stream:
        stream.write("probe\n")
    prefix = mount_namespace_prefix(probe_source, target)
    if prefix is None:
        return False, "unshare is not installed"
    completed = subprocess.run(prefix + ["/bin/sh", "-c", 'test -f "$1/probe"', "sh", target],
                               capture_output=True)
    if completed.returncode != 0:
        return False, "cannot mount in a private namespace: " + os.fsdecode(completed.stderr)
    return True, ""


@contextlib.contextmanager
def exclusive_lock():
    with open(LOCK_FILE, "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(lock, fcntl.LOCK_UN)


class HomeDirectoryTests(CacheTestCase):
    def run_with_home(self, home, **options):
        return self.ws.run(self.ws.pack(), url=self.server.url(), home=home, **options)

    def check_cache_at(self, result, cache_prefix, real_cache):
        """The run succeeded with its cache at cache_prefix (as the launcher saw it), which
        is real_cache on disk."""
        self.assertSucceeded(result)
        self.assertRequests(self.server, [HEAD, GET])
        self.assertAgentRanFromCache(result, ident="v1", cache_prefix=cache_prefix)
        # Unpacked beside the installed agent, then moved into its place.
        self.assertEqual(result.unzip_calls[1].option_value("-d"),
                         cache_prefix + "installagent.new")
        with open(os.path.join(real_cache, ".validatestring"), "rb") as stream:
            self.assertEqual(stream.read(), b'ETag: "v1"\r')
        self.assertTrue(os.path.isfile(os.path.join(real_cache, "installagent", "install")))
        self.assertWorkDirectoryGone(result)

    def test_home_ending_in_a_separator(self):
        home = self.ws.home + "/"
        result = self.run_with_home(home)
        self.check_cache_at(result, self.ws.home + "/" + CACHE_ROOT, self.ws.cache_dir())
        removals = [call.argv for call in result.rm_calls if "installagent" in call.argv[-1]]
        self.assertEqual(removals, [["-rf", self.ws.home + "/" + CACHE_ROOT + "installagent.old"]])

    def test_home_with_several_trailing_separators(self):
        # The cache is used by its resolved path, which has no empty component.
        result = self.run_with_home(self.ws.home + "//")
        self.check_cache_at(result, self.ws.cache_dir(), self.ws.cache_dir())

    def test_home_is_the_root_directory(self):
        with exclusive_lock():
            created = False
            if not os.path.lexists("/.quenth"):
                try:
                    os.mkdir("/.quenth", 0o700)
                    created = True
                except OSError as error:
                    self.skipTest("cannot make the mount point /.quenth: %s" % error)
            try:
                stand_in = self.ws.path("root-quenth")
                os.makedirs(stand_in)
                works, reason = mount_namespace_works(self.ws.root, "/.quenth")
                if not works:
                    self.skipTest(reason)
                before = tree_snapshot("/.quenth")
                result = self.run_with_home(
                    "/", wrap=mount_namespace_prefix(stand_in, "/.quenth"))
                real_cache = os.path.join(stand_in, CACHE_ROOT.split("/", 1)[1])
                self.check_cache_at(result, "/" + CACHE_ROOT, real_cache)
                self.assertEqual(tree_snapshot("/.quenth"), before, "the real /.quenth changed")
            finally:
                if created:
                    os.rmdir("/.quenth")

    def check_password_database_home(self, home_value):
        # As root the launcher's user is root; otherwise the user namespace maps us to 0.
        real_home = pwd.getpwuid(0).pw_dir
        if not os.path.isdir(real_home):
            self.skipTest("the password database's home %s does not exist" % real_home)
        works, reason = mount_namespace_works(self.ws.root, real_home)
        if not works:
            self.skipTest(reason)
        real_before = tree_snapshot(os.path.join(real_home, ".quenth"))
        tmp_before = os.path.lexists("/tmp/.quenth")
        if not tmp_before:
            # A launcher that falls back to /tmp would leave its cache there.
            self.addCleanup(lambda: shutil.rmtree("/tmp/.quenth", ignore_errors=True))
        stand_in = self.ws.path("passwd-home")
        os.makedirs(stand_in)
        result = self.run_with_home(home_value, wrap=mount_namespace_prefix(stand_in, real_home))
        prefix = real_home.rstrip("/") + "/" + CACHE_ROOT if real_home != "/" else "/" + CACHE_ROOT
        self.check_cache_at(result, prefix, os.path.join(stand_in, CACHE_ROOT))
        if real_before is None:
            self.assertFalse(os.path.lexists(os.path.join(real_home, ".quenth")),
                             "a cache appeared in the real home directory")
        self.assertEqual(os.path.lexists("/tmp/.quenth"), tmp_before,
                         "a cache appeared under /tmp")

    def test_home_unset_uses_the_password_database(self):
        self.check_password_database_home(None)

    def test_home_empty_uses_the_password_database(self):
        self.check_password_database_home("")


if __name__ == "__main__":
    run_main()

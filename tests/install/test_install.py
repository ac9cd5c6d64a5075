"""The installed tools as a release engineer gets them: `cmake --install` of the build tree
into a DESTDIR, then the installed setup-pack packs the installed stub into a launcher file
that runs; man renders the installed pages without a warning; and the Debian package holds
the tools and the pages and depends on what dpkg-shlibdeps found."""

import os
import shutil
import subprocess
import tempfile
import unittest

from launcher_harness import Binaries, LauncherTestCase, Workspace, make_agent_archive

PREFIX = "/usr"
INSTALLED = {  # what each installed path is, relative to the prefix
    "bin/setup-pack": "the packer",
    "lib/setup/setup": "the stub",
    "share/man/man1/setup-pack.1.gz": "setup-pack(1)",
    "share/man/man1/setup.1.gz": "setup(1)",
}


def build_tree():
    build = os.environ.get("SETUP_BUILD_DIR", "")
    if not os.path.isdir(build):
        raise unittest.SkipTest("SETUP_BUILD_DIR does not name the build tree; run through CTest")
    return build


def install_into(destdir):
    """cmake --install of the build tree under PREFIX into destdir; returns the prefix there."""
    completed = subprocess.run(
        [os.environ.get("SETUP_CMAKE", "cmake"), "--install", build_tree(), "--prefix", PREFIX],
        env=dict(os.environ, DESTDIR=destdir), capture_output=True, timeout=120)
    if completed.returncode != 0:
        raise AssertionError("cmake --install failed: %s" % os.fsdecode(completed.stderr))
    return destdir + PREFIX


class InstalledTree(unittest.TestCase):
    """One installation per class, removed at its end."""

    @classmethod
    def setUpClass(cls):
        cls.destdir = tempfile.mkdtemp(prefix="setup-install-")
        try:
            cls.prefix = install_into(cls.destdir)
        except BaseException:
            shutil.rmtree(cls.destdir, ignore_errors=True)
            raise

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.destdir, ignore_errors=True)

    def installed(self, relative):
        return os.path.join(self.prefix, relative)


class InstalledToolsTests(InstalledTree, LauncherTestCase):
    def setUp(self):
        binaries = Binaries()
        binaries.setup = self.installed("lib/setup/setup")
        binaries.setup_pack = self.installed("bin/setup-pack")
        self.ws = Workspace(binaries)
        self.addCleanup(self.ws.cleanup)

    def test_layout_and_help_naming_the_installed_stub(self):
        found = sorted(os.path.relpath(os.path.join(directory, name), self.prefix)
                       for directory, _, names in os.walk(self.destdir) for name in names)
        self.assertEqual(found, sorted(INSTALLED))
        for program in ("bin/setup-pack", "lib/setup/setup"):
            self.assertTrue(os.access(self.installed(program), os.X_OK), program)
        result = subprocess.run([self.installed("bin/setup-pack"), "--help"],
                                capture_output=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("\nThe stub installed with this setup-pack: %s\n"
                      % os.path.realpath(self.installed("lib/setup/setup")),
                      result.stdout.decode())

    def test_installed_setup_pack_packs_the_installed_stub_into_a_launcher_that_runs(self):
        launcher = self.ws.pack(members=[("InstallAgent.zip",
                                          make_agent_archive("installed-agent"))])
        result = self.ws.run(launcher, args=["--destination", "/opt/app"])
        self.assertSucceeded(result)
        self.assertAgentRanFromWorkDirectory(result, ["--destination", "/opt/app"],
                                             ident="installed-agent")
        self.assertWorkDirectoryGone(result)


class ManPageTests(InstalledTree):
    def test_man_renders_both_pages_without_a_warning(self):
        man = shutil.which("man")
        if man is None:
            self.skipTest("man is not installed (Debian's man-db)")
        sections = {"setup-pack.1.gz": ["SYNOPSIS", "OPTIONS", "SOURCE_DATE_EPOCH", "ZIP64",
                                        "EXIT STATUS", "EXAMPLE"],
                    "setup.1.gz": ["ENVIRONMENT", "EXIT STATUS", "DIAGNOSTICS", "FILES",
                                   ".validatestring", "SIGNALS", "SECURITY",
                                   "__QX_BOOTSTRAP_INSTALLER_UNITTEST__"]}
        for page, words in sections.items():
            with self.subTest(page=page):
                result = subprocess.run(
                    [man, "--warnings", "-l", self.installed("share/man/man1/" + page)],
                    env=dict(os.environ, MANPAGER="cat", PAGER="cat", MANWIDTH="80",
                             LC_ALL="C.UTF-8"),
                    capture_output=True, timeout=60)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stderr.decode(), "")
                text = result.stdout.decode()
                for word in words:
                    self.assertIn(word, text)


class PackageTests(unittest.TestCase):
    def test_debian_package_holds_the_tools_and_the_pages(self):
        for program in ("dpkg-deb", "dpkg-shlibdeps"):
            if shutil.which(program) is None:
                self.skipTest("%s is not installed (Debian's dpkg-dev)" % program)
        build = build_tree()
        output = tempfile.mkdtemp(prefix="setup-package-")
        self.addCleanup(shutil.rmtree, output, ignore_errors=True)
        made = subprocess.run([os.environ.get("SETUP_CPACK", "cpack"), "-G", "DEB", "-B", output,
                               "--config", os.path.join(build, "CPackConfig.cmake")],
                              capture_output=True, timeout=240)
        self.assertEqual(made.returncode, 0, made.stdout + made.stderr)
        packages = [name for name in os.listdir(output) if name.endswith(".deb")]
        self.assertEqual(len(packages), 1, os.listdir(output))
        package = os.path.join(output, packages[0])

        contents = subprocess.run(["dpkg-deb", "--contents", package], capture_output=True,
                                  timeout=60, check=True).stdout.decode()
        files = {line.split()[-1].lstrip(".") for line in contents.splitlines()
                 if line.startswith("-")}
        self.assertEqual(files, {PREFIX + "/" + path for path in INSTALLED})
        for line in contents.splitlines():
            if line.endswith(("/setup-pack", "/setup")):
                self.assertTrue(line.startswith("-rwxr-xr-x root/root"), line)

        def field(name):
            return subprocess.run(["dpkg-deb", "--field", package, name], capture_output=True,
                                  timeout=60, check=True).stdout.decode().strip()
        self.assertEqual(field("Package"), "setup-pack")
        self.assertEqual(field("Version"), os.environ.get("SETUP_PROJECT_VERSION", "1.0.0"))
        self.assertEqual(field("Architecture"), "amd64")
        depends = [entry.split()[0] for entry in field("Depends").split(", ")]
        for library in ("libc6", "libdeflate0", "zlib1g", "libstdc++6"):
            self.assertIn(library, depends)

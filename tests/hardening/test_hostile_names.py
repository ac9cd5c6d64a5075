#!/usr/bin/python3
"""Hostile names the end-to-end suite does not reach: the launcher's own file name in a
normal run, bytes that are not text, the limits of the launcher's path, argv[0], and a
HOME that is relative.

tests/e2e/test_hostile_words.py takes its table of shell-special words through the
arguments, the launcher's directory (as the work path) and an absolute HOME. Here the
same words, and words of raw bytes (control characters, bytes of 0x80 and above that are
no UTF-8), go where that suite does not put them. Each case proves that nothing was
executed (no MARK_ file appears, the working directory is unchanged) and that every
command received the intended words.
"""

import os
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))

from launcher_harness import (INTERNAL_ERROR_201,  # noqa: E402
                              make_agent_archive, run_main)
from scripted_server import ScriptedServer, serve_archive  # noqa: E402
from test_hostile_words import HOSTILE_WORDS, HostileTestCase, expected_words  # noqa: E402

# Words of raw bytes, as the file system and the environment may hold them.
HOSTILE_BYTES = [
    ("latin-1 byte", b"caf\xe9"),
    ("invalid utf-8", b"\xff\xfe\x80x"),
    ("utf-8 no-break space", b"no\xc2\xa0break"),
    ("control byte", b"ctl\x01x"),
    ("escape sequence", b"esc\x1b[31mred"),
    ("carriage return", b"cr\rx"),
    ("delete byte", b"del\x7fx"),
    ("vertical tab and form feed", b"vt\x0bff\x0cx"),
    ("bytes and a command", b"\xe9$(touch MARK_bytes)\xe9"),
]

HOSTILE_NAMES = HOSTILE_WORDS + [(label, os.fsdecode(raw)) for label, raw in HOSTILE_BYTES]

# The launcher reads its own path into 1023 bytes; a path that fills them may be cut off.
SELF_PATH_LIMIT = 1023


def path_of_length(base, length, leaf="setup.run"):
    """A path under base of exactly length bytes, its last component ending in leaf."""
    parts = [base]
    remaining = length - len(os.fsencode(base))
    while remaining > 255 + 1:
        parts.append("d" * 199)
        remaining -= 200
    parts.append(leaf.rjust(remaining - 1, "n"))
    path = os.path.join(*parts)
    assert len(os.fsencode(path)) == length, (len(path), length)
    return path


class HostileNameTestCase(HostileTestCase):
    """The end-to-end suite's checks: no marker file appears, the working directory stays."""


class LauncherFileNameTests(HostileNameTestCase):
    """The launcher's own file named with each word, run with its work directory in /tmp."""

    def test_each_name_as_the_launcher_file_name(self):
        archive = make_agent_archive("local")
        for index, (label, word) in enumerate(HOSTILE_NAMES):
            if "/" in word:
                continue
            with self.subTest(name=label):
                launcher = self.ws.pack(output=self.ws.path("names-%d" % index, word),
                                        members=[("InstallAgent.zip", archive)])
                result = self.ws.run(launcher, args=["a"])
                self.assertSucceeded(result)
                self.assertAgentRanFromWorkDirectory(result, arguments=["a"], ident="local")
                work = os.path.dirname(result.agent.bundle_path)
                self.assertEqual(result.unzip_calls[0].argv, ["-qq", result.unzip_calls[0].parents_file, "-d", work])
                self.assertNothingInjected(result)
                self.assertWorkDirectoryGone(result)

    def test_each_byte_name_in_the_launcher_directory_as_the_work_path(self):
        archive = make_agent_archive("local")
        for index, (label, raw) in enumerate(HOSTILE_BYTES):
            with self.subTest(name=label):
                directory = self.ws.path("bytes-%d" % index, os.fsdecode(raw))
                launcher = self.ws.pack(output=os.path.join(directory, "setup.run"),
                                        members=[("InstallAgent.zip", archive)])
                result = self.ws.run(launcher, args=["a"], unittest_mode="")
                self.assertSucceeded(result)
                self.assertAgentRan(result, os.path.join(directory, "install"), directory,
                                    ["a"], ident="local")
                self.assertEqual(result.unzip_calls[0].argv, ["-qq", result.unzip_calls[0].parents_file, "-d",
                                                             directory])
                self.assertNothingInjected(result)

    def test_argv0_is_not_used(self):
        launcher = self.ws.pack(members=[("InstallAgent.zip", make_agent_archive("local"))])
        exec_as = [sys.executable, "-c",
                   "import os, sys; os.execv(sys.argv[1], [os.environ.pop('ARGV0')]"
                   " + sys.argv[2:])"]
        for label, word in HOSTILE_NAMES:
            with self.subTest(name=label):
                result = self.ws.run(launcher, args=["a"], wrap=exec_as, env={"ARGV0": word})
                self.assertSucceeded(result)
                self.assertAgentRanFromWorkDirectory(result, arguments=["a"], ident="local")
                self.assertNothingInjected(result)


class LauncherPathLimitTests(HostileNameTestCase):
    """A path that does not fit the launcher's buffer is never used cut off: unzip reads the
    executing file, so such a launcher file still runs, but the unit-test mode, which needs
    the launcher's own directory, is refused."""

    def launcher_at(self, length):
        path = path_of_length(self.ws.path("long"), length)
        return self.ws.pack(output=path, members=[("InstallAgent.zip",
                                                   make_agent_archive("local"))])

    def test_paths_that_fit_and_paths_that_do_not(self):
        with ScriptedServer(serve_archive(make_agent_archive("cached"))) as server:
            for length in (SELF_PATH_LIMIT - 1, SELF_PATH_LIMIT, 2000):
                launcher = self.launcher_at(length)
                with self.subTest(length=length):
                    result = self.ws.run(launcher, args=["a"], url=server.url())
                    self.assertSucceeded(result)
                    self.assertAgentRanFromWorkDirectory(result, arguments=["a"], ident="local")
                    self.assertEqual(result.unzip_calls[0].argv[1],
                                     result.unzip_calls[0].parents_file)
                if length < SELF_PATH_LIMIT:
                    continue
                with self.subTest(length=length, unittest_mode=""):
                    result = self.ws.run(launcher, args=["a"], url=server.url(),
                                         unittest_mode="")
                    self.assertFailedWith(result, [INTERNAL_ERROR_201])
                    self.assertIsNone(result.agent)
                    self.assertNoRequests(server)
                    # Neither the path nor a cut-off piece of it reached unzip.
                    for call in result.unzip_calls:
                        pieces = [word for word in call.argv
                                  if len(word) > len(self.ws.root) and launcher.startswith(word)]
                        self.assertEqual(pieces, [], result.describe())
                    self.assertFalse(os.path.lexists(os.path.join(
                        os.path.dirname(launcher), "bundle.zip")))
                    self.assertNothingInjected(result)
                    self.assertWorkDirectoryGone(result)


class ArgumentByteTests(HostileNameTestCase):
    def test_arguments_of_raw_bytes(self):
        launcher = self.ws.pack(members=[("InstallAgent.zip", make_agent_archive("local"))])
        words = [os.fsdecode(raw) for _, raw in HOSTILE_BYTES]
        result = self.ws.run(launcher, args=words + ["last"])
        self.assertSucceeded(result)
        expected = [piece for word in words for piece in expected_words(word)]
        self.assertAgentRanFromWorkDirectory(result, arguments=expected + ["last"])
        self.assertNothingInjected(result)


class HomeNameTests(HostileNameTestCase):
    """HOME of raw bytes, and HOME relative to the working directory."""

    def setUp(self):
        super().setUp()
        self.server = ScriptedServer(serve_archive(make_agent_archive("downloaded")))
        self.server.start()
        self.addCleanup(self.server.stop)
        self.launcher = self.ws.pack()

    def cache_calls(self, result, agent_dir):
        """The unzip and rm calls that name the cached agent directory."""
        unpacks = [call.option_value("-d") for call in result.unzip_calls[1:]]
        removals = [call.argv for call in result.rm_calls
                    if not call.argv[-1].startswith("/tmp/qx")]
        self.assertEqual(unpacks, [agent_dir + ".new"], result.describe())
        self.assertEqual(removals, [["-rf", agent_dir + ".old"]], result.describe())

    def test_home_of_raw_bytes(self):
        for index, (label, raw) in enumerate(HOSTILE_BYTES):
            with self.subTest(home=label):
                home = self.ws.path("homes-%d" % index, os.fsdecode(raw))
                os.makedirs(home)
                result = self.ws.run(self.launcher, args=["a"], home=home,
                                     url=self.server.url())
                self.assertSucceeded(result)
                self.assertAgentRanFromCache(result, arguments=["a"], ident="downloaded",
                                             home=home)
                self.cache_calls(result, self.ws.agent_dir(home))
                self.assertNothingInjected(result)

    def test_relative_home_is_taken_literally(self):
        # A tilde is not expanded: the cache lies under a directory of that name, relative
        # to the working directory, and the launcher's own words say so.
        cases = [("tilde", "~/x", "~/x/"), ("single tilde", "~", "~"),
                 ("dollar", "$HOME/x", "$HOME/x/"), ("plain", "relative/home", "relative/home/")]
        for label, home, prefix in cases:
            with self.subTest(home=label):
                for entry in os.listdir(self.ws.cwd):
                    if entry != "glob-bait":
                        shutil.rmtree(os.path.join(self.ws.cwd, entry))
                # A home that is missing is not made: the cache would go unused.
                os.makedirs(os.path.join(self.ws.cwd, home))
                result = self.ws.run(self.launcher, args=["a"], home=home,
                                     url=self.server.url())
                self.assertSucceeded(result)
                # A HOME of one character gets no separator of its own: "~.quenth/...". The
                # launcher names the cache by its absolute path, resolved once at the start.
                cache = os.path.join(self.ws.cwd,
                                     prefix + ".quenth/app_installer_cache/Q4096c/oslin64/")
                self.assertAgentRanFromCache(result, arguments=["a"], ident="downloaded",
                                             cache_prefix=cache)
                self.cache_calls(result, cache + "installagent")
                self.assertTrue(os.path.isfile(os.path.join(self.ws.cwd, cache,
                                                            "installagent", "install")))
                found = []
                for directory, names, files in os.walk(self.ws.root):
                    found.extend(name for name in names + files if name.startswith("MARK_"))
                self.assertEqual(found, [])

    def test_relative_home_with_a_leading_dash_runs_nothing_else(self):
        """A relative HOME that begins with "-" makes the cache paths look like options.

        rm and sh may take "-rf/.quenth/..." for options, so the run may fail. What must
        hold all the same: nothing but the launcher's own commands runs, nothing outside
        the cache is removed, the work directory goes, the launcher does not crash, and
        an agent that runs is the downloaded one with the intended words.
        """
        decoy = os.path.join(self.ws.cwd, "decoy")
        os.makedirs(os.path.join(decoy, "inside"))
        for home in ("-rf", "--help", "-c", "-"):
            with self.subTest(home=home):
                os.makedirs(os.path.join(self.ws.cwd, home), exist_ok=True)
                result = self.ws.run(self.launcher, args=["a"], home=home,
                                     url=self.server.url())
                self.assertGreaterEqual(result.status, 0, "the launcher crashed\n" +
                                        result.describe())
                if result.status == 0:
                    self.assertSucceeded(result)
                    self.assertEqual((result.agent.ident, result.agent.user_arguments),
                                     ("downloaded", ["a"]))
                else:
                    self.assertEqual(result.stderr_lines[-1:], ["Installation failed."])
                    self.assertIsNone(result.agent, result.describe())
                self.assertTrue(os.path.isdir(os.path.join(decoy, "inside")))
                self.assertWorkDirectoryGone(result)
                found = []
                for directory, names, files in os.walk(self.ws.root):
                    found.extend(name for name in names + files if name.startswith("MARK_"))
                self.assertEqual(found, [])


if __name__ == "__main__":
    run_main()

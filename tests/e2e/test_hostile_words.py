#!/usr/bin/python3
"""Characters special to the shell in paths and arguments reach the commands as text.

Every word below would, if the shell acted on it, create a file whose name begins with
"MARK_" in the run's working directory (or change which words the agent receives). The
launcher builds its unzip, rm and agent command lines from these words; each command
must receive them literally and nothing may run. Arguments are still split at blanks.
"""

import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

from launcher_harness import LauncherTestCase, make_agent_archive, run_main
from scripted_server import ScriptedServer, serve_archive

# (label, word). None of them holds a slash, so each can also be a directory name.
HOSTILE_WORDS = [
    ("single quote", "it's"),
    ("single quotes around", "'$(touch MARK_sq)'"),
    ("double quote", 'say"hi"'),
    ("double quotes around", '"$(touch MARK_dq)"'),
    ("command substitution", "$(touch MARK_dollar)"),
    ("backquotes", "`touch MARK_backquote`"),
    ("semicolon", "x;touch MARK_semicolon;"),
    ("pipe", "x|touch MARK_pipe"),
    ("ampersand", "x&touch MARK_amp&"),
    ("and-list", "x&&touch MARK_andlist"),
    ("redirection", ">MARK_redirect"),
    ("append redirection", "x>>MARK_append"),
    ("input redirection", "<MARK_input"),
    ("newline", "x\ntouch MARK_newline"),
    ("star", "*"),
    ("question mark", "?"),
    ("bracket pattern", "[a-z]*"),
    ("tilde", "~"),
    ("leading dash", "-rf"),
    ("backslash", "back\\slash"),
    ("trailing backslash", "end\\"),
    ("variable", "$HOME"),
    ("braced variable", "${HOME}x"),
    ("parentheses", "(touch MARK_paren)"),
    ("hash", "#comment"),
    ("braces", "{a,b}"),
    ("escaped quote", "\\'\\\""),
    ("exclamation", "!x"),
]


def expected_words(word):
    """What the agent should receive for one launcher argument: it split at blanks."""
    return [piece for piece in re.split(r"[ \t]+", word) if piece]


class HostileTestCase(LauncherTestCase):
    def setUp(self):
        super().setUp()
        # A file for a pattern to match, were one expanded in the working directory.
        with open(os.path.join(self.ws.cwd, "glob-bait"), "w") as stream:
            stream.write("bait\n")

    def assertNothingInjected(self, result):
        found = []
        for directory, names, files in os.walk(self.ws.root):
            found.extend(os.path.join(directory, name) for name in names + files
                         if name.startswith("MARK_"))
        self.assertEqual(found, [], "a command was injected\n" + result.describe())
        self.assertEqual(sorted(os.listdir(self.ws.cwd)), ["glob-bait"],
                         "the working directory changed\n" + result.describe())


class HostileArgumentTests(HostileTestCase):
    def test_each_word_as_an_argument(self):
        launcher = self.ws.pack(members=[("InstallAgent.zip", make_agent_archive())])
        for label, word in HOSTILE_WORDS:
            with self.subTest(word=label):
                result = self.ws.run(launcher, args=[word, "last"])
                self.assertSucceeded(result)
                self.assertAgentRanFromWorkDirectory(result,
                                                     arguments=expected_words(word) + ["last"])
                self.assertNothingInjected(result)
                self.assertWorkDirectoryGone(result)

    def test_all_words_in_one_run(self):
        launcher = self.ws.pack(members=[("InstallAgent.zip", make_agent_archive())])
        words = [word for _, word in HOSTILE_WORDS]
        result = self.ws.run(launcher, args=words)
        self.assertSucceeded(result)
        expected = [piece for word in words for piece in expected_words(word)]
        self.assertAgentRanFromWorkDirectory(result, arguments=expected)
        self.assertNothingInjected(result)


class HostileLauncherDirectoryTests(HostileTestCase):
    """The launcher's own directory as the work path, via __QX_BOOTSTRAP_INSTALLER_UNITTEST__."""

    def check_directory(self, word, local_agent, server=None):
        directory = self.ws.path("dirs-%s" % ("local" if local_agent else "cache"), word)
        members = [("InstallAgent.zip", make_agent_archive("local"))] if local_agent else []
        launcher = self.ws.pack(output=os.path.join(directory, "setup.run"), members=members)
        home = self.ws.path("home-" + str(abs(hash(word))))
        os.makedirs(home, exist_ok=True)
        result = self.ws.run(launcher, args=["a"], unittest_mode="", home=home,
                             url=server.url() if server else None)
        self.assertSucceeded(result)
        extraction = result.unzip_calls[0]
        self.assertEqual(extraction.argv, ["-qq", extraction.parents_file, "-d", directory])
        if local_agent:
            self.assertAgentRan(result, os.path.join(directory, "install"), directory, ["a"],
                                ident="local")
            self.assertEqual(result.unzip_calls[1].argv, [
                "-qq", "-o", os.path.join(directory, "InstallAgent.zip"), "-d", directory])
        else:
            agent_dir = self.ws.agent_dir(home)
            self.assertAgentRan(result, os.path.join(agent_dir, "install"), directory, ["a"],
                                ident="downloaded")
            # A run that refreshes its cache fetches into the cache's partial archive.
            self.assertEqual(result.unzip_calls[1].argv, [
                "-qq", "-o", self.ws.cache_dir(home) + "InstallAgent.zip.partial", "-d",
                agent_dir + ".new"])
        self.assertTrue(os.path.exists(os.path.join(directory, "bundle.zip")))
        self.assertNothingInjected(result)
        self.assertWorkDirectoryGone(result)

    def test_each_word_in_the_directory_with_a_local_agent(self):
        for label, word in HOSTILE_WORDS:
            with self.subTest(word=label):
                self.check_directory(word, local_agent=True)

    def test_each_word_in_the_directory_with_a_downloaded_agent(self):
        with ScriptedServer(serve_archive(make_agent_archive("downloaded"))) as server:
            for label, word in HOSTILE_WORDS:
                with self.subTest(word=label):
                    self.check_directory(word, local_agent=False, server=server)

    def test_words_with_blanks_in_the_directory(self):
        for word in ("two words", "tab\there", "$(touch MARK_blank) x", "a ' b \" c"):
            with self.subTest(word=word):
                self.check_directory(word, local_agent=True)


class HostileHomeTests(HostileTestCase):
    """HOME holding shell-special characters: the cache paths in unzip and rm stay literal."""

    def test_each_word_in_home(self):
        launcher = self.ws.pack()
        with ScriptedServer(serve_archive(make_agent_archive("downloaded"))) as server:
            for label, word in HOSTILE_WORDS + [("blank", "my home")]:
                with self.subTest(word=label):
                    home = self.ws.path("homes", word)
                    os.makedirs(home)
                    agent_dir = self.ws.agent_dir(home)
                    # A stale file that the removal before the download has to take away.
                    os.makedirs(agent_dir)
                    with open(os.path.join(agent_dir, "stale.txt"), "w") as stream:
                        stream.write("old agent\n")
                    result = self.ws.run(launcher, args=["a"], home=home, url=server.url())
                    self.assertSucceeded(result)
                    self.assertAgentRanFromCache(result, arguments=["a"], ident="downloaded",
                                                 home=home)
                    removals = [call.argv for call in result.rm_calls
                                if not call.argv[-1].startswith("/tmp/qx")]
                    self.assertEqual(removals, [["-rf", agent_dir + ".old"]], result.describe())
                    self.assertFalse(os.path.exists(os.path.join(agent_dir, "stale.txt")))
                    unpack = result.unzip_calls[1]
                    self.assertEqual(unpack.option_value("-d"), agent_dir + ".new")
                    self.assertTrue(os.path.isfile(os.path.join(agent_dir, "install")))
                    self.assertNothingInjected(result)
                    self.assertWorkDirectoryGone(result)


if __name__ == "__main__":
    run_main()

#!/usr/bin/python3
"""The agent's command line, its exit status, and where a run does its work.

All runs here are offline: the launcher file carries its agent as InstallAgent.zip.
"""

import os
import shlex
import shutil
import signal
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

from launcher_harness import LauncherTestCase, make_agent_archive, run_main


def local_launcher(ws, output=None, ident="local"):
    return ws.pack(output=output, members=[("InstallAgent.zip", make_agent_archive(ident))])


class ArgumentTests(LauncherTestCase):
    def test_no_arguments_give_only_the_bundle_option(self):
        result = self.ws.run(local_launcher(self.ws))
        self.assertSucceeded(result)
        self.assertAgentRanFromWorkDirectory(result, arguments=[])
        self.assertWorkDirectoryGone(result)

    def test_arguments_are_passed_in_order_and_split_at_blanks(self):
        result = self.ws.run(local_launcher(self.ws),
                             args=["-a", "b c", "--dest=/opt/x", "d\te", "  f  ", "g"])
        self.assertSucceeded(result)
        self.assertAgentRanFromWorkDirectory(
            result, arguments=["-a", "b", "c", "--dest=/opt/x", "d", "e", "f", "g"])
        self.assertWorkDirectoryGone(result)

    def test_options_of_the_agent_are_not_taken_by_the_launcher(self):
        arguments = ["--help", "--version", "-installbundle", "/elsewhere/bundle.zip", "-h"]
        result = self.ws.run(local_launcher(self.ws), args=arguments)
        self.assertSucceeded(result)
        self.assertAgentRanFromWorkDirectory(result, arguments=arguments)

    def test_empty_argument_disappears(self):
        result = self.ws.run(local_launcher(self.ws), args=["a", "", "b"])
        self.assertSucceeded(result)
        self.assertAgentRanFromWorkDirectory(result, arguments=["a", "b"])


class AgentExitStatusTests(LauncherTestCase):
    def setUp(self):
        super().setUp()
        self.launcher = local_launcher(self.ws)

    def test_agent_success_is_launcher_success(self):
        result = self.ws.run(self.launcher, agent_end=0)
        self.assertSucceeded(result)
        self.assertWorkDirectoryGone(result)

    def test_agent_exit_code_becomes_the_launcher_status(self):
        for code in (3, 1, 254, 255):
            with self.subTest(code=code):
                result = self.ws.run(self.launcher, args=["x"], agent_end=code)
                self.assertFailedWith(result, [], status=code)
                self.assertAgentRanFromWorkDirectory(result, arguments=["x"])
                self.assertWorkDirectoryGone(result)

    def test_agent_ended_by_a_signal(self):
        for name, number in (("USR1", signal.SIGUSR1), ("KILL", signal.SIGKILL),
                             ("TERM", signal.SIGTERM)):
            with self.subTest(signal=name):
                result = self.ws.run(self.launcher, agent_end="signal:" + name)
                # The shell replaced itself with the agent's command, so no shell is left
                # to say how the command ended (no "Killed" line), and the launcher adds
                # nothing of its own.
                self.assertFailedWith(result, [], status=128 + number)
                self.assertIsNotNone(result.agent)
                self.assertWorkDirectoryGone(result)


class UnitTestModeTests(LauncherTestCase):
    """__QX_BOOTSTRAP_INSTALLER_UNITTEST__ makes the launcher's own directory the work path."""

    def check_mode(self, value):
        directory = self.ws.path("app-" + (value or "empty"))
        launcher = local_launcher(self.ws, output=os.path.join(directory, "setup.run"))
        result = self.ws.run(launcher, args=["p"], unittest_mode=value)
        self.assertSucceeded(result)
        self.assertAgentRan(result, os.path.join(directory, "install"), directory, ["p"])
        with open(os.path.join(directory, "bundle.zip"), "rb") as stream:
            self.assertEqual(stream.read(), self.ws.bundle, "bundle.zip beside the launcher")
        self.assertTrue(os.path.exists(launcher))
        extraction = result.unzip_calls[0]
        self.assertEqual(extraction.argv, ["-qq", extraction.parents_file, "-d", directory])
        # The temporary directory is still made, and removed, though nothing used it.
        removals = [call for call in result.rm_calls
                    if len(call.argv) == 2 and call.argv[1].startswith("/tmp/qx")]
        self.assertEqual(len(removals), 1, result.describe())
        self.assertEqual(removals[0].argv[0], "-rf")
        self.assertWorkDirectoryGone(result)
        return directory

    def test_empty_value_selects_the_launcher_directory(self):
        self.check_mode("")

    def test_any_value_selects_the_launcher_directory(self):
        self.check_mode("0")

    def test_second_run_over_the_extracted_files(self):
        directory = self.check_mode("")
        launcher = os.path.join(directory, "setup.run")
        result = self.ws.run(launcher, unittest_mode="")
        self.assertSucceeded(result)
        self.assertAgentRan(result, os.path.join(directory, "install"), directory)


class LauncherPathTests(LauncherTestCase):
    def test_a_launcher_file_replaced_after_the_start_is_not_read(self):
        directory = self.ws.path("my downloads")
        launcher = local_launcher(self.ws, output=os.path.join(directory, "set up.run"))
        impostor = self.ws.pack(output=self.ws.path("impostor.run"), bundle=b"not the bundle",
                                members=[("InstallAgent.zip", make_agent_archive("impostor"))])
        with open(impostor, "rb") as stream:
            impostor_bytes = stream.read()
        # Just before unzip runs, another file takes the launcher file's name.
        stand_in = os.path.join(self.ws.tools, "unzip")
        os.rename(stand_in, stand_in + ".recording")
        with open(stand_in, "w") as stream:
            stream.write("#!/bin/sh\nif [ -e %s ]; then mv -f %s %s; fi\nexec %s \"$@\"\n"
                         % tuple(shlex.quote(path) for path in
                                 (impostor, impostor, launcher, stand_in + ".recording")))
        os.chmod(stand_in, 0o755)
        result = self.ws.run(launcher, args=["a"])
        self.assertSucceeded(result)
        self.assertAgentRanFromWorkDirectory(result, arguments=["a"], ident="local")
        with open(launcher, "rb") as stream:
            self.assertEqual(stream.read(), impostor_bytes, "the file was not replaced")
        self.assertWorkDirectoryGone(result)

    def test_launcher_directory_with_a_space_as_work_path(self):
        directory = self.ws.path("my downloads")
        launcher = local_launcher(self.ws, output=os.path.join(directory, "setup.run"))
        result = self.ws.run(launcher, args=["a b"], unittest_mode="1")
        self.assertSucceeded(result)
        self.assertAgentRan(result, os.path.join(directory, "install"), directory, ["a", "b"])
        self.assertWorkDirectoryGone(result)

    def test_launcher_run_through_a_symbolic_link(self):
        launcher = local_launcher(self.ws)
        link_dir = self.ws.path("links")
        os.makedirs(link_dir)
        link = os.path.join(link_dir, "setup")
        os.symlink(launcher, link)
        result = self.ws.run(link, unittest_mode="")
        self.assertSucceeded(result)
        real_dir = os.path.dirname(launcher)
        self.assertAgentRan(result, os.path.join(real_dir, "install"), real_dir)

    def test_copied_launcher_keeps_working(self):
        launcher = local_launcher(self.ws)
        copy = self.ws.path("copy", "installer")
        os.makedirs(os.path.dirname(copy))
        shutil.copy2(launcher, copy)
        result = self.ws.run(copy)
        self.assertSucceeded(result)
        self.assertAgentRanFromWorkDirectory(result)


if __name__ == "__main__":
    run_main()

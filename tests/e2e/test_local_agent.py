#!/usr/bin/python3
"""A local agent archive carried in the launcher file beside bundle.zip.

With InstallAgent.zip or InstallAgent_*.zip in the launcher's archive the run is
offline: the agent is unpacked into the work directory, no request is made and the
per-user cache is not even created. Names that only look similar do not count.
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

from launcher_harness import (CURLE_COULDNT_CONNECT, DOWNLOAD_FAILED_PREFIX, INIT_FAILED,
                              not_found_lines, UNZIP_FAILED, DetailsLine, LauncherTestCase,
                              curl_error_text, download_failed_tail_lines, make_agent_archive,
                              run_main)
from scripted_server import ScriptedServer, routes, serve_archive


class LocalAgentArchiveTests(LauncherTestCase):
    def setUp(self):
        super().setUp()
        self.server = ScriptedServer(routes({})).start()
        self.addCleanup(self.server.stop)

    def run_offline(self, member_name):
        launcher = self.ws.pack(members=[(member_name, make_agent_archive("local"))])
        return self.ws.run(launcher, url=self.server.url())

    def test_archive_named_like_the_download_is_used_offline(self):
        result = self.run_offline("InstallAgent.zip")
        self.assertSucceeded(result)
        self.assertAgentRanFromWorkDirectory(result, ident="local")
        self.assertNoRequests(self.server)
        self.assertFalse(os.path.lexists(os.path.join(self.ws.home, ".quenth")))
        self.assertWorkDirectoryGone(result)

    def test_numbered_archive_is_used_offline(self):
        for name in ("InstallAgent_7.zip", "InstallAgent_.zip", "InstallAgent_2024-01.zip"):
            with self.subTest(name=name):
                result = self.run_offline(name)
                self.assertSucceeded(result)
                self.assertAgentRanFromWorkDirectory(result, ident="local")
                self.assertNoRequests(self.server)
                self.assertFalse(os.path.lexists(os.path.join(self.ws.home, ".quenth")))
                self.assertWorkDirectoryGone(result)

    def test_agent_is_unpacked_into_the_work_directory(self):
        result = self.run_offline("InstallAgent_7.zip")
        self.assertSucceeded(result)
        work = os.path.dirname(result.agent.bundle_path)
        unpacks = [call for call in result.unzip_calls if call.option_value("-d") == work
                   and os.path.join(work, "InstallAgent_7.zip") in call.argv]
        self.assertEqual(len(unpacks), 1, result.describe())
        self.assertEqual(unpacks[0].argv,
                         ["-qq", "-o", os.path.join(work, "InstallAgent_7.zip"), "-d", work])

    def test_exact_name_is_looked_for_first(self):
        launcher = self.ws.pack(members=[("InstallAgent_1.zip", make_agent_archive("numbered")),
                                         ("InstallAgent.zip", make_agent_archive("exact"))])
        result = self.ws.run(launcher, url=self.server.url())
        self.assertSucceeded(result)
        self.assertAgentRanFromWorkDirectory(result, ident="exact")
        self.assertNoRequests(self.server)

    def test_dangling_link_with_a_matching_name_is_chosen_and_fails(self):
        # Beside the launcher (its directory is the work path in this mode) a link that
        # points nowhere: it matches by name, cannot be unpacked, and the cache is not tried.
        directory = self.ws.path("app")
        launcher = self.ws.pack(output=os.path.join(directory, "setup.run"))
        os.symlink("nowhere.zip", os.path.join(directory, "InstallAgent_5.zip"))
        self.server.set_handler(serve_archive(make_agent_archive("cached")))
        result = self.ws.run(launcher, url=self.server.url(), unittest_mode="")
        self.assertFailedWith(result, [INIT_FAILED])
        self.assertIsNone(result.agent)
        self.assertNoRequests(self.server)
        self.assertEqual(len(result.unzip_calls), 1, "unzip ran on a missing archive\n"
                         + result.describe())
        self.assertWorkDirectoryGone(result)

    def test_broken_local_archive_fails_without_falling_back(self):
        launcher = self.ws.pack(members=[("InstallAgent_7.zip", b"this is no zip archive\n")])
        self.server.set_handler(serve_archive(make_agent_archive("cached")))
        result = self.ws.run(launcher, url=self.server.url())
        self.assertFailedWith(result, [UNZIP_FAILED, INIT_FAILED])
        self.assertIsNone(result.agent)
        self.assertNoRequests(self.server)
        self.assertFalse(os.path.lexists(os.path.join(self.ws.home, ".quenth")))
        self.assertWorkDirectoryGone(result)


class LookAlikeNameTests(LauncherTestCase):
    """Members whose names do not make a local agent archive: the cache is used instead."""

    NAMES = ("installagent_7.zip", "XInstallAgent_7.zip", "InstallAgent_7.zip.old",
             "installagent.zip", "InstallAgent.ZIP", "InstallAgent7.zip")

    def setUp(self):
        super().setUp()
        self.server = ScriptedServer(serve_archive(make_agent_archive("downloaded"))).start()
        self.addCleanup(self.server.stop)

    def test_look_alike_names_leave_the_cache_in_charge(self):
        for name in self.NAMES:
            with self.subTest(name=name):
                self.server.clear()
                launcher = self.ws.pack(members=[(name, make_agent_archive("local"))])
                home = self.ws.path("home-" + name)
                os.makedirs(home)
                result = self.ws.run(launcher, url=self.server.url(), home=home)
                self.assertSucceeded(result)
                self.assertAgentRanFromCache(result, ident="downloaded", home=home)
                self.assertRequests(self.server, [("HEAD", self.server_path()),
                                                  ("GET", self.server_path())])
                self.assertWorkDirectoryGone(result)

    def test_look_alike_with_the_server_answering_404(self):
        self.server.set_handler(routes({}))
        launcher = self.ws.pack(members=[("XInstallAgent_7.zip", make_agent_archive("local"))])
        result = self.ws.run(launcher, url=self.server.url())
        self.assertFailedWith(result, not_found_lines())
        self.assertIsNone(result.agent)
        self.assertRequests(self.server, [("HEAD", self.server_path())])
        self.assertWorkDirectoryGone(result)

    def test_look_alike_with_the_server_unreachable(self):
        launcher = self.ws.pack(members=[("installagent_7.zip", make_agent_archive("local"))])
        result = self.ws.run(launcher)  # the harness's default URL: a closed port
        text = curl_error_text(CURLE_COULDNT_CONNECT)
        if text is None:
            self.assertTrue(result.stderr_lines[0].startswith(DOWNLOAD_FAILED_PREFIX))
            self.assertGreater(len(result.stderr_lines[0]), len(DOWNLOAD_FAILED_PREFIX))
            text = result.stderr_lines[0][len(DOWNLOAD_FAILED_PREFIX):]
        self.assertFailedWith(result, [DOWNLOAD_FAILED_PREFIX + text] + download_failed_tail_lines()
                              + [DetailsLine()])
        self.assertIsNone(result.agent)
        self.assertWorkDirectoryGone(result)

    def server_path(self):
        return "/pi_install_agent_pi_Q4096c_oslin64"


if __name__ == "__main__":
    run_main()

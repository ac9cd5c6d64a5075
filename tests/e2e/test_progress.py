#!/usr/bin/python3
"""The download's progress line: shown on a terminal, never written anywhere else.

While the agent archive is fetched and standard error is a terminal, one line tells the
bytes so far, the total with a percentage, and the rate, and it is ended with a newline
before the run goes on. With standard error on a pipe or a file nothing but the
launcher's messages is written.
"""

import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

from launcher_harness import (DOWNLOAD_FAILED_PREFIX, PYTHON, SUPPORT_DIR, LauncherTestCase,
                              make_agent_archive, run_main)
from scripted_server import ScriptedServer, response, serve_archive

ON_PTY = [PYTHON, os.path.join(SUPPORT_DIR, "stderr_on_pty.py")]
# Incompressible padding makes an archive large enough to be fetched in many pieces.
AGENT = make_agent_archive("v1", extra={"padding.bin": os.urandom(6 * 1024 * 1024)})
PROGRESS = re.compile(rb"Downloading install agent: [^\r\n]*")


class ProgressLineTests(LauncherTestCase):
    def setUp(self):
        super().setUp()
        self.launcher = self.ws.pack()
        self.server = ScriptedServer(serve_archive(AGENT, etag=b'"v1"')).start()
        self.addCleanup(self.server.stop)

    def run_launcher(self, on_terminal):
        return self.ws.run(self.launcher, url=self.server.url(),
                           wrap=ON_PTY if on_terminal else None)

    def test_a_first_run_on_a_terminal_shows_the_line_and_ends_it(self):
        result = self.run_launcher(on_terminal=True)
        self.assertEqual(result.status, 0, result.describe())
        self.assertAgentRanFromCache(result, ident="v1")
        drawn = PROGRESS.findall(result.stderr)
        self.assertTrue(drawn, "no progress line on the terminal\n" + result.describe())
        # Every drawing starts at the beginning of the line; the last one is complete and
        # is followed by exactly one newline, which ends the output.
        self.assertTrue(result.stderr.startswith(b"\rDownloading install agent: "),
                        result.describe())
        self.assertEqual(result.stderr.count(b"\r"), len(drawn))
        self.assertTrue(result.stderr.endswith(b"\n") and result.stderr.count(b"\n") == 1,
                        result.describe())
        total = len(AGENT)
        final = drawn[-1].rstrip()
        self.assertRegex(final.decode(), r"^Downloading install agent: [0-9.]+ MiB of "
                         r"[0-9.]+ MiB \(100%\), [0-9.]+ [KMG]?i?B/s$")
        self.assertIn(("%.1f MiB" % (total / 1048576.0)).encode(), final)

    def test_a_warm_run_on_a_terminal_downloads_nothing_and_shows_nothing(self):
        self.assertEqual(self.run_launcher(on_terminal=False).status, 0)
        result = self.run_launcher(on_terminal=True)
        self.assertEqual((result.status, result.stderr), (0, b""), result.describe())

    def test_with_a_pipe_the_first_run_writes_nothing_at_all(self):
        result = self.run_launcher(on_terminal=False)
        self.assertSucceeded(result)
        self.assertAgentRanFromCache(result, ident="v1")

    def test_a_failed_transfer_ends_the_line_before_its_message(self):
        cut_short = response(200, header_lines=[b'ETag: "v1"'], body=AGENT[:300000],
                             content_length=len(AGENT), close=True)
        self.server.set_handler(serve_archive(AGENT, etag=b'"v1"', get_reply=cut_short))
        result = self.run_launcher(on_terminal=True)
        self.assertEqual(result.status, 255, result.describe())
        progress_end = result.stderr.rfind(b"\r")
        self.assertGreaterEqual(progress_end, 0, "no progress line\n" + result.describe())
        after = result.stderr[progress_end:].split(b"\n", 1)
        self.assertRegex(after[0].decode(), r"^\rDownloading install agent: .*\(\d+%\)")
        self.assertTrue(after[1].startswith(DOWNLOAD_FAILED_PREFIX.encode()), result.describe())
        self.assertTrue(after[1].endswith(b"Installation failed.\n"), result.describe())


if __name__ == "__main__":
    run_main()

"""With empty apt lists (as CI images ship them), the source step finds this release's curl
from apt sources in any form, through a private APT_CONFIG, and leaves its lists empty."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

CMAKE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "cmake")
KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"


class CurlSourceTests(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="setup-curl-source-")
        self.addCleanup(shutil.rmtree, self.scratch, ignore_errors=True)
        self.curl_version = subprocess.run(  # a build package: installed wherever this runs
            ["dpkg-query", "-W", "-f", "${source:Upstream-Version}", "libcurl4-openssl-dev"],
            capture_output=True, text=True, check=True).stdout
        # The archive this machine takes its release from, as its own apt sources say.
        listing = subprocess.run([os.path.join(CMAKE_DIR, "debian-archives.sh"),
                                  self.path("system")], capture_output=True, text=True)
        archives = [line.split() for line in listing.stdout.splitlines()]
        if not archives:
            self.skipTest("apt takes this release from no Debian archive: " + listing.stderr)
        # The release itself has the shortest name: not its -updates or -security suite.
        self.mirror, self.codename = min(archives, key=lambda archive: len(archive[1]))

    def path(self, *parts):
        return os.path.join(self.scratch, *parts)

    def test_one_line_deb822_and_alias_sources(self):
        mirror, codename = self.mirror, self.codename
        disabled = f"\nTypes: deb\nURIs: http://127.0.0.1:9/debian\nSuites: {codename}\n" \
            "Components: main\nEnabled: no\n"
        cases = {
            "one-line": ("sources.list", f"deb [arch=amd64 signed-by={KEYRING}] {mirror} "
                         f"{codename} main\n"),
            "deb822": ("parts/debian.sources", f"Types: deb\nURIs: {mirror}\nSuites: {codename}"
                       f" {codename}-updates\nComponents: main contrib\n" + disabled),
            # One of them is this release; the others name the next one or an older one.
            "aliases": ("sources.list", "".join(f"deb {mirror} {alias} main\n" for alias in
                                                ("stable", "oldstable", "oldoldstable"))),
        }
        for case, (name, text) in cases.items():
            with self.subTest(case):
                os.makedirs(self.path(case, "parts"))
                os.makedirs(self.path(case, "lists", "partial"))
                config = (f'Dir::Etc::SourceList "{self.path(case, "sources.list")}";\n'
                          f'Dir::Etc::SourceParts "{self.path(case, "parts")}";\n'
                          f'Dir::State::Lists "{self.path(case, "lists")}";\n')
                for file_name, content in (("sources.list", ""), (name, text),
                                           ("apt.conf", config)):
                    with open(self.path(case, file_name), "w", encoding="utf-8") as stream:
                        stream.write(content)
                result = subprocess.run(
                    [os.path.join(CMAKE_DIR, "curl-source.sh"), self.path(case, "work"),
                     "--print-uris"], env=dict(os.environ, APT_CONFIG=self.path(case, "apt.conf")),
                    capture_output=True, text=True, timeout=240)
                self.assertEqual(result.returncode, 0, result.stderr)
                found = re.findall(r"^'([^']+)' curl_([^-]+)-\S+\.dsc ", result.stdout, re.M)
                self.assertEqual(len(found), 1, result.stdout)
                # The upstream version tells this release's curl from the next release's.
                self.assertEqual(found[0][1], self.curl_version)
                self.assertTrue(found[0][0].startswith(mirror), found)
                self.assertEqual(os.listdir(self.path(case, "lists")), ["partial"])

"""The curl source of this machine's release is found with apt's lists empty (as CI images
ship them), whatever form the apt sources take, and the apt state apt is given stays as it
was. Each case gives apt sources of its own, naming the Debian archive this machine's apt
sources name, through a private APT_CONFIG whose lists directory is empty."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

CMAKE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "cmake")
KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"


def os_release():
    with open("/etc/os-release", encoding="utf-8") as stream:
        return dict(line.rstrip("\n").split("=", 1) for line in stream if "=" in line)


def this_release_mirror(scratch):
    """The archive this machine takes its release from, as its own apt sources say."""
    codename = os_release().get("VERSION_CODENAME", "").strip('"')
    listing = subprocess.run([os.path.join(CMAKE_DIR, "debian-archives.sh"),
                              os.path.join(scratch, "system-state")],
                             capture_output=True, text=True, timeout=120)
    for line in listing.stdout.splitlines():
        uri, suite = line.split()
        if suite == codename:
            return codename, uri
    raise unittest.SkipTest("this machine's apt sources name no Debian archive of its release "
                            f"({codename or 'no VERSION_CODENAME'}): {listing.stderr.strip()}")


class CurlSourceTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if shutil.which("apt-get") is None or shutil.which("dpkg-source") is None:
            raise unittest.SkipTest("apt-get or dpkg-dev is not installed")
        cls.scratch = tempfile.mkdtemp(prefix="setup-curl-source-")
        cls.codename, cls.mirror = this_release_mirror(cls.scratch)
        installed = subprocess.run(
            ["dpkg-query", "-W", "-f", "${source:Upstream-Version}", "libcurl4-openssl-dev"],
            capture_output=True, text=True)
        if installed.returncode != 0:
            raise unittest.SkipTest("libcurl4-openssl-dev is not installed")
        cls.curl_version = installed.stdout

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def find_source(self, name, files):
        """Runs the source step with only `files` (name -> text) as apt sources."""
        apt = os.path.join(self.scratch, name)
        parts = os.path.join(apt, "sources.list.d")
        lists = os.path.join(apt, "lists")
        os.makedirs(parts)
        os.makedirs(os.path.join(lists, "partial"))
        for file_name, text in files.items():
            with open(os.path.join(apt, file_name), "w", encoding="utf-8") as stream:
                stream.write(text)
        config = os.path.join(apt, "apt.conf")
        with open(config, "w", encoding="utf-8") as stream:
            stream.write(f'Dir::Etc::SourceList "{apt}/sources.list";\n'
                         f'Dir::Etc::SourceParts "{parts}";\n'
                         f'Dir::State::Lists "{lists}";\n')
        open(os.path.join(apt, "sources.list"), "a").close()
        result = subprocess.run(
            [os.path.join(CMAKE_DIR, "curl-source.sh"), os.path.join(apt, "work"),
             "--print-uris"], env=dict(os.environ, APT_CONFIG=config),
            capture_output=True, text=True, timeout=240)
        self.assertEqual(result.returncode, 0, result.stderr)
        descriptions = re.findall(r"^'([^']+)' curl_([^ ]+)\.dsc ", result.stdout, re.MULTILINE)
        self.assertEqual(len(descriptions), 1, result.stdout + result.stderr)
        uri, version = descriptions[0]
        self.assertTrue(uri.startswith(self.mirror), uri)
        # The upstream version tells this release's curl from the next release's.
        self.assertEqual(version.split("-")[0], self.curl_version, result.stdout)
        self.assertEqual(sorted(os.listdir(lists)), ["partial"])

    def test_one_line_sources(self):
        self.find_source("one-line", {"sources.list": (
            f"deb [arch=amd64 signed-by={KEYRING}] {self.mirror} {self.codename} main\n")})

    def test_deb822_sources(self):
        self.find_source("deb822", {"sources.list.d/debian.sources": (
            f"Types: deb\nURIs: {self.mirror}\nSuites: {self.codename} {self.codename}-updates\n"
            f"Components: main contrib\nSigned-By: {KEYRING}\n\n"
            f"Types: deb\nURIs: http://127.0.0.1:9/debian\nSuites: {self.codename}\n"
            "Components: main\nEnabled: no\n")})

    def test_sources_that_name_releases_by_their_aliases(self):
        # One of these is this machine's release; the others are the next or an older one.
        self.find_source("aliases", {"sources.list": "".join(
            f"deb [signed-by={KEYRING}] {self.mirror} {alias} main\n"
            for alias in ("stable", "oldstable", "oldoldstable"))})

"""Signed install agents with the real minisign: setup-pack --attach-signature puts the signature
into the agent archive's ZIP comment, --verify-agent checks it with the launcher's own code, and
--agent-key stores the publisher's keys in the launcher file."""

import io
import os
import struct
import subprocess
import sys
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pack_support  # noqa: E402
from pack_support import PackTestCase  # noqa: E402

AGENT_SCRIPT = b"#!/bin/sh\necho the signed agent\n" + bytes(range(256)) * 600


def agent_archive():
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_STORED) as archive:
        archive.writestr("install", AGENT_SCRIPT)
    return buffer.getvalue()


def zip64_agent_archive():
    """The same archive with Zip64 end records before the classic one, as large archives have."""
    raw = agent_archive()
    end = pack_support.END_RECORD.unpack(raw[-22:])
    directory_size, directory_offset = end[5], end[6]
    zip64_end = pack_support.ZIP64_END_RECORD.pack(
        pack_support.ZIP64_END_SIGNATURE, 44, 45, 45, 0, 0, 1, 1, directory_size,
        directory_offset)
    locator = pack_support.ZIP64_LOCATOR.pack(pack_support.ZIP64_LOCATOR_SIGNATURE, 0,
                                              len(raw) - 22, 1)
    classic = pack_support.END_RECORD.pack(pack_support.END_SIGNATURE, 0, 0, 0xFFFF, 0xFFFF,
                                           0xFFFFFFFF, 0xFFFFFFFF, 0)
    return raw[:-22] + zip64_end + locator + classic


class SigningTests(PackTestCase):
    def setUp(self):
        super().setUp()
        pack_support.require_program("minisign")
        pack_support.require_program("unzip")
        self.release = os.environ["SETUP_AGENT_RELEASE"]
        self.primary = self.make_key("primary")
        self.backup = self.make_key("backup")

    def make_key(self, name):
        public, secret = self.path(name + ".pub"), self.path(name + ".key")
        subprocess.run(["minisign", "-G", "-W", "-p", public, "-s", secret], check=True,
                       capture_output=True, timeout=60)
        return public, secret

    def signed_agent(self, name, key=None, comment=None, data=None, legacy=False):
        """An agent archive signed by minisign as publishers do, the signature attached."""
        agent = self.write(name, data if data is not None else agent_archive())
        comment = comment or f"agent-version=7 agent-release={self.release}"
        command = ["minisign", "-S", "-s", (key or self.primary)[1], "-m", agent,
                   "-x", agent + ".minisig", "-t", comment] + (["-l"] if legacy else [])
        subprocess.run(command, check=True, capture_output=True, timeout=60)
        self.pack_ok(["--attach-signature", agent + ".minisig", agent])
        return agent

    def verify(self, agent, key=None):
        return self.run_pack(["--verify-agent", key or self.primary[0], agent])

    def assert_refused(self, agent, reason, key=None):
        result = self.verify(agent, key)
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertEqual(result.stdout, b"")
        self.assertEqual(result.stderr.decode(), f"setup-pack: agent archive '{agent}' failed "
                         f"verification - {reason}\n")

    def key_id(self, key):
        with open(key[0]) as stream:
            return "%016X" % int(stream.readline().split()[-1], 16)

    def test_attached_signature_verifies_unpacks_and_is_replaced(self):
        agent = self.signed_agent("InstallAgent.zip")
        os.chmod(agent, 0o640)
        result = self.verify(agent)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.decode(), f"key id: {self.key_id(self.primary)}\n"
                         f"agent version: 7\nrelease: {self.release}\n")
        extracted = subprocess.run(["unzip", "-qq", "-p", agent, "install"], capture_output=True,
                                   timeout=60)
        self.assertEqual((extracted.returncode, extracted.stdout), (0, AGENT_SCRIPT))

        # A new signature of the unsigned archive replaces the attached one.
        unsigned = self.write("unsigned.zip", agent_archive())
        subprocess.run(["minisign", "-S", "-s", self.primary[1], "-m", unsigned, "-t",
                        f"agent-version=8 agent-release={self.release}"], check=True,
                       capture_output=True, timeout=60)
        self.pack_ok(["--attach-signature", unsigned + ".minisig", agent])
        self.assertIn(b"agent version: 8\n", self.verify(agent).stdout)
        self.assertEqual(os.stat(agent).st_mode & 0o7777, 0o640)

    def test_verification_reads_no_openssl_configuration(self):
        # A configuration file could load an engine or a provider module into the process; a
        # FIFO in its place would block whoever opens it.
        fifo = self.path("openssl.cnf")
        os.mkfifo(fifo)
        agent = self.signed_agent("InstallAgent.zip")
        result = self.run_pack(["--verify-agent", self.primary[0], agent],
                               env={"OPENSSL_CONF": fifo}, timeout=20)
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_zip64_archive_is_signed_and_verified(self):
        agent = self.signed_agent("zip64.zip", data=zip64_agent_archive())
        self.assertEqual(self.verify(agent).returncode, 0)
        tested = subprocess.run(["unzip", "-qq", "-t", agent], capture_output=True, timeout=60)
        self.assertEqual(tested.returncode, 0, tested.stdout + tested.stderr)

    def test_each_fault_is_refused_with_its_reason(self):
        flipped = self.signed_agent("flipped.zip")
        with open(flipped, "r+b") as stream:
            data = stream.read()
            stream.seek(data.index(b"the signed agent"))
            stream.write(b"T")
        edited = self.signed_agent("edited.zip")
        with open(edited, "r+b") as stream:
            data = stream.read().replace(b"agent-version=7", b"agent-version=9")
            stream.seek(0)
            stream.write(data)
        self.assert_refused(flipped, "its signature does not match its contents")
        self.assert_refused(edited, "its signature does not match its contents")
        self.assert_refused(self.signed_agent("other.zip", key=self.backup),
                            "it is signed with a key that this installer does not trust")
        self.assert_refused(self.write("unsigned.zip", agent_archive()),
                            "it carries no signature")
        self.assert_refused(self.signed_agent("legacy.zip", legacy=True),
                            "it is signed in a legacy format")
        self.assert_refused(self.signed_agent("release.zip", comment="agent-version=7 "
                                              "agent-release=Q4096c/oswin64"),
                            "it is signed for another release (Q4096c/oswin64)")
        for comment in [f"agent-release={self.release}",
                        f"agent-version=1 agent-version=2 agent-release={self.release}",
                        f"agent-version=9223372036854775808 agent-release={self.release}"]:
            self.assert_refused(self.signed_agent("version.zip", comment=comment),
                                "its signature names no agent version")
        self.assert_refused(self.signed_agent("norelease.zip", comment="agent-version=3"),
                            "its signature names no release")
        cut = self.signed_agent("cut.zip")
        with open(cut, "r+b") as stream:
            stream.truncate(os.path.getsize(cut) - 1)
        self.assert_refused(cut, "its signature cannot be read")

    def test_attach_refuses_what_is_no_signed_archive(self):
        signature = self.signed_agent("InstallAgent.zip") + ".minisig"
        commented = self.path("commented.zip")
        with zipfile.ZipFile(commented, "w") as archive:
            archive.writestr("install", b"x")
            archive.comment = b"built by the release job"
        before = open(commented, "rb").read()
        no_zip = self.write("no.zip", os.urandom(5000).replace(b"PK\x05\x06", b"xxxx"))
        cases = [([signature, commented], "has a ZIP comment that is not a signature"),
                 ([signature, no_zip], "has no ZIP end record"),
                 ([self.primary[0], commented], "is not a minisign signature file")]
        for args, problem in cases:
            result = self.run_pack(["--attach-signature"] + args)
            self.assertEqual(result.returncode, 1)
            self.assertIn(problem, result.stderr.decode())
        self.assertEqual(open(commented, "rb").read(), before)

    def test_agent_keys_are_stored_and_a_backup_key_is_trusted(self):
        bundle = self.write("bundle.zip", agent_archive())
        launcher = self.path("launcher")
        self.pack_ok(["-o", launcher, "--agent-key", self.primary[0],
                      f"--agent-key={self.backup[0]}", self.stub, bundle])
        stored = self.path("InstallAgent.pub")
        with open(stored, "wb") as stream:
            stream.write(subprocess.run(["unzip", "-qq", "-p", launcher, "InstallAgent.pub"],
                                        check=True, capture_output=True, timeout=60).stdout)
        keys = b"".join(open(key[0], "rb").read() for key in (self.primary, self.backup))
        self.assertEqual(open(stored, "rb").read(), keys)
        result = self.verify(self.signed_agent("rotated.zip", key=self.backup), key=stored)
        self.assertIn(f"key id: {self.key_id(self.backup)}\n".encode(), result.stdout)

        bad_key = self.write("bad.pub", b"untrusted comment: no key\nnot base64\n")
        result = self.run_pack(["-o", self.path("refused"), "--agent-key", bad_key, self.stub,
                                bundle])
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"is not a public key file", result.stderr)
        self.assertFalse(os.path.exists(self.path("refused")))


if __name__ == "__main__":
    sys.exit(pack_support.main(__name__))

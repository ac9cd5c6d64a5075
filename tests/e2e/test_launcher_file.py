#!/usr/bin/python3
"""Launcher files that are damaged, cut short or carry no archive at all.

Each must end with the internal error 201 before anything is downloaded or run.
"""

import os
import shutil
import struct
import sys
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

from launcher_harness import (INTERNAL_ERROR_201, LauncherTestCase, make_agent_archive,
                              run_main)
from scripted_server import ScriptedServer, serve_archive


def member_data_range(launcher, name):
    """Offset and length of a stored member's data within the launcher file."""
    with zipfile.ZipFile(launcher) as archive:
        info = archive.getinfo(name)
    with open(launcher, "rb") as stream:
        stream.seek(info.header_offset)
        header = stream.read(30)
    signature, = struct.unpack("<I", header[:4])
    assert signature == 0x04034B50, "no local header at %d" % info.header_offset
    name_length, extra_length = struct.unpack("<HH", header[26:30])
    return info.header_offset + 30 + name_length + extra_length, info.compress_size, info


def patch(path, offset, data):
    with open(path, "r+b") as stream:
        stream.seek(offset)
        stream.write(data)


class DamagedLauncherTests(LauncherTestCase):
    def setUp(self):
        super().setUp()
        self.server = ScriptedServer(serve_archive(make_agent_archive("downloaded"))).start()
        self.addCleanup(self.server.stop)

    def run_damaged(self, launcher):
        result = self.ws.run(launcher, args=["a"], url=self.server.url())
        self.assertFailedWith(result, [INTERNAL_ERROR_201])
        self.assertIsNone(result.agent, "the agent ran on a damaged launcher")
        self.assertNoRequests(self.server)
        self.assertFalse(os.path.lexists(os.path.join(self.ws.home, ".quenth")))
        self.assertWorkDirectoryGone(result)
        return result

    def test_flipped_byte_in_the_bundle(self):
        for with_agent in (False, True):
            with self.subTest(local_agent=with_agent):
                members = [("InstallAgent.zip", make_agent_archive())] if with_agent else []
                launcher = self.ws.pack(members=members)
                offset, length, _ = member_data_range(launcher, "bundle.zip")
                with open(launcher, "rb") as stream:
                    stream.seek(offset + length // 2)
                    byte = stream.read(1)[0]
                patch(launcher, offset + length // 2, bytes([byte ^ 0x01]))
                self.run_damaged(launcher)

    def test_flipped_byte_in_the_local_agent_archive_member(self):
        launcher = self.ws.pack(members=[("InstallAgent.zip", make_agent_archive())])
        offset, length, _ = member_data_range(launcher, "InstallAgent.zip")
        with open(launcher, "rb") as stream:
            stream.seek(offset + 3)
            byte = stream.read(1)[0]
        patch(launcher, offset + 3, bytes([byte ^ 0x80]))
        self.run_damaged(launcher)

    def test_truncated_launcher(self):
        launcher = self.ws.pack()
        offset, length, _ = member_data_range(launcher, "bundle.zip")
        size = os.path.getsize(launcher)
        for keep, what in ((size - 10, "end record cut"), (offset + length // 2, "bundle cut"),
                           (offset - 20, "local header cut")):
            with self.subTest(what=what):
                copy = self.ws.path("cut-%d" % keep, "setup.run")
                os.makedirs(os.path.dirname(copy))
                shutil.copy2(launcher, copy)
                with open(copy, "r+b") as stream:
                    stream.truncate(keep)
                self.run_damaged(copy)

    def test_archive_without_bundle_zip(self):
        # The same layout, but the one member is called otherwise: unzip is content.
        launcher = self.ws.pack()
        _, _, info = member_data_range(launcher, "bundle.zip")
        with open(launcher, "rb") as stream:
            data = stream.read()
        start = info.header_offset
        positions = []
        position = data.find(b"bundle.zip", start)
        while position >= 0:
            positions.append(position)
            position = data.find(b"bundle.zip", position + 1)
        self.assertEqual(len(positions), 2, "expected the name in the local and central header")
        for position in positions:
            patch(launcher, position, b"bundle.zap")
        self.run_damaged(launcher)

    def test_stub_without_any_archive(self):
        stub = self.ws.path("bare", "setup")
        os.makedirs(os.path.dirname(stub))
        shutil.copy2(self.ws.binaries.setup, stub)
        self.run_damaged(stub)


if __name__ == "__main__":
    run_main()

"""setup-pack with a bundle of more than 4 GiB: the Zip64 records, read back by parsing, by
zipinfo and Python's zipfile, and the member extracted by unzip into a pipe, checked by its size
and CRC-32 rather than by holding a second copy. The bundle is sparse, so it costs little disk."""

import errno
import fcntl
import os
import struct
import subprocess
import sys
import zipfile
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pack_support  # noqa: E402
from pack_support import MARKER32, PackTestCase  # noqa: E402

GIB = 1 << 30
BUNDLE_SIZE = 4 * GIB + 3 * 4096 + 17
# Non-zero bytes at known places, one of them across the 32-bit boundary, so that a size or
# offset cut to 32 bits anywhere on the way shows in the CRC.
MARKS = {0: b"ZIPSTART", GIB + 3: b"one GiB in", 0xFFFFFFFF - 3: b"across 4 GiB",
         BUNDLE_SIZE - 5: b"tail!"}
CHUNK = 1 << 20


def streamed_crc(stream):
    """Size and CRC-32 of everything a binary stream yields, one buffer at a time."""
    buffer = bytearray(CHUNK)
    view = memoryview(buffer)
    size = crc = 0
    while True:
        count = stream.readinto(buffer)
        if not count:
            return size, crc
        crc = zlib.crc32(view[:count], crc)
        size += count


def file_crc(path):
    """Size and CRC-32 of a file, streamed: its data read in buffers, its holes (which read as
    zeros anyway) fed as zeros from memory, which spares the kernel zero-filling 4 GiB of page
    cache. On a file system without holes every byte is read."""
    zeros = memoryview(bytes(CHUNK))
    size = crc = 0
    with open(path, "rb") as stream:
        descriptor = stream.fileno()
        end = os.fstat(descriptor).st_size
        while size < end:
            try:
                data = min(os.lseek(descriptor, size, os.SEEK_DATA), end)
            except OSError as error:
                if error.errno != errno.ENXIO:
                    raise
                data = end
            while size < data:
                count = min(CHUNK, data - size)
                crc = zlib.crc32(zeros[:count], crc)
                size += count
            if size == end:
                break
            hole = min(os.lseek(descriptor, size, os.SEEK_HOLE), end)
            os.lseek(descriptor, size, os.SEEK_SET)
            while size < hole:
                block = os.read(descriptor, min(CHUNK, hole - size))
                if not block:
                    raise AssertionError(f"{path} ended early at {size}")
                crc = zlib.crc32(block, crc)
                size += len(block)
    return size, crc


def widen_pipe(stream):
    """A 1 MiB pipe buffer: unzip writes in small pieces, and a wider pipe halves the switches
    between it and the reader. Only a speed-up, so a refusal is fine."""
    try:
        fcntl.fcntl(stream.fileno(), getattr(fcntl, "F_SETPIPE_SZ", 1031), CHUNK)
    except OSError:
        pass


class Zip64Tests(PackTestCase):
    @classmethod
    def setUpClass(cls):
        pack_support.require_program("unzip")
        pack_support.require_program("zipinfo")

    def pack_big_bundle(self):
        self.bundle = self.path("big-bundle.zip")
        with open(self.bundle, "wb") as stream:
            stream.truncate(BUNDLE_SIZE)
            for offset, mark in MARKS.items():
                stream.seek(offset)
                stream.write(mark)
        self.agent_bytes = os.urandom(3000)
        self.agent = self.write("InstallAgent.zip", self.agent_bytes)
        self.output = self.path("launcher")
        self.pack_ok(["-o", self.output, self.stub, self.bundle, self.agent], timeout=1200)

    def test_zip64_records_unzip_zipinfo_and_zipfile(self):
        self.pack_big_bundle()
        bundle_size, bundle_crc = file_crc(self.bundle)
        self.assertEqual(bundle_size, BUNDLE_SIZE)
        stub_size = os.path.getsize(self.stub)
        agent_size = len(self.agent_bytes)

        with self.subTest("records"):
            end, zip64_end, locator, members = pack_support.read_archive(self.output)
            big, agent = members
            self.assertEqual(big.local["name"], b"bundle.zip")
            self.assertEqual(big.local["offset"], stub_size)
            self.assertEqual(big.entry["offset"], stub_size)  # fits: stays in the classic field
            for header in (big.local, big.entry):
                self.assertEqual(header["needed"], 45)
                self.assertEqual((header["compressed"], header["uncompressed"]),
                                 (MARKER32, MARKER32))
                self.assertEqual(header["crc"], bundle_crc)
                self.assertEqual(header["fields"][0x0001], struct.pack("<QQ", BUNDLE_SIZE,
                                                                       BUNDLE_SIZE))
                self.assertEqual(pack_support.field_order(header["extra"]),
                                 [0x0001, 0x5455, 0x7875])
            self.assertEqual(big.local["extra_length"], 20 + 28)
            self.assertEqual(big.entry["extra_length"], 20 + 24)
            self.assertEqual(big.entry["made_by"], 0x031E)

            agent_offset = big.data_offset + BUNDLE_SIZE
            self.assertEqual(agent.local["offset"], agent_offset)
            self.assertEqual(agent.entry["offset"], MARKER32)
            # The sizes come first even where only the offset overflows (see the boundary test).
            self.assertEqual(agent.entry["fields"][0x0001],
                             struct.pack("<QQQ", agent_size, agent_size, agent_offset))
            self.assertEqual((agent.entry["compressed"], agent.entry["uncompressed"]),
                             (MARKER32, MARKER32))
            self.assertEqual(agent.entry["needed"], 45)
            self.assertNotIn(0x0001, agent.local["fields"])  # its sizes fit
            self.assertEqual(agent.local["extra_length"], 28)
            self.assertEqual(agent.entry["crc"], zlib.crc32(self.agent_bytes))

            directory_offset = agent.data_offset + agent_size
            directory_size = (46 + 10 + 44) + (46 + 16 + 52)
            self.assertEqual(zip64_end, {
                "signature": 0x06064B50, "record_size": 44, "made_by": 0x031E, "needed": 45,
                "disk": 0, "directory_disk": 0, "disk_entries": 2, "entries": 2,
                "directory_size": directory_size, "directory_offset": directory_offset})
            self.assertEqual(locator["signature"], 0x07064B50)
            self.assertEqual(locator["disk"], 0)
            self.assertEqual(locator["zip64_end_offset"], directory_offset + directory_size)
            self.assertEqual(locator["disks"], 1)
            self.assertEqual(locator["offset"], locator["zip64_end_offset"] + 56)
            self.assertEqual(end["offset"], locator["offset"] + 20)
            self.assertEqual((end["entries"], end["disk_entries"]), (2, 2))
            self.assertEqual(end["directory_size"], directory_size)
            self.assertEqual(end["directory_offset"], MARKER32)
            self.assertEqual(end["comment_length"], 0)
            self.assertEqual(os.path.getsize(self.output), end["offset"] + 22)

        with self.subTest("zipinfo"):
            result = subprocess.run(["zipinfo", "-v", self.output], capture_output=True,
                                    timeout=120)
            text = (result.stdout + result.stderr).decode(errors="replace")
            self.assertEqual(result.returncode, 0, text)
            self.assertNotRegex(text.lower(), r"warning|error:|extra bytes|mismatch", text)
            self.assertIn("central directory contains 2 entries", text)
            self.assertEqual(text.count("minimum software version required to extract:   4.5"), 2)
            self.assertIn(f"uncompressed size:                              {BUNDLE_SIZE} bytes",
                          text)

        with self.subTest("zipfile"):
            with zipfile.ZipFile(self.output) as archive:
                infos = archive.infolist()
                self.assertEqual([info.filename for info in infos],
                                 ["bundle.zip", "InstallAgent.zip"])
                self.assertEqual(infos[0].file_size, BUNDLE_SIZE)
                self.assertEqual(infos[0].CRC, bundle_crc)
                self.assertEqual(archive.read("InstallAgent.zip"), self.agent_bytes)

        with self.subTest("unzip of the small member past 4 GiB"):
            result = subprocess.run(["unzip", "-p", self.output, "InstallAgent.zip"],
                                    capture_output=True, timeout=120)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(result.stdout, self.agent_bytes)

        with self.subTest("unzip of the bundle, streamed"):
            unzip = subprocess.Popen(["unzip", "-p", self.output, "bundle.zip"],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            widen_pipe(unzip.stdout)
            extracted_size, extracted_crc = streamed_crc(unzip.stdout)
            errors = unzip.stderr.read()
            unzip.wait(timeout=120)
            self.assertEqual(unzip.returncode, 0, errors)
            self.assertEqual(errors, b"")
            self.assertEqual(extracted_size, BUNDLE_SIZE)
            self.assertEqual(extracted_crc, bundle_crc)

    def test_members_at_the_zip64_boundary_with_a_member_after_each(self):
        """The sizes just below, at and just above the 32-bit marker. At the marker itself,
        unzip once took the next member's offset for its size and failed its test."""
        after_bytes = os.urandom(1000)
        after = self.write("InstallAgent.zip", after_bytes)
        for size in (MARKER32 - 1, MARKER32, MARKER32 + 1):
            with self.subTest(size=hex(size)):
                bundle = self.path("bundle-%x.zip" % size)
                with open(bundle, "wb") as stream:
                    stream.truncate(size)  # all hole: no disk, and zeros to unzip
                output = self.path("launcher-%x" % size)
                self.pack_ok(["-o", output, self.stub, bundle, after], timeout=600)
                os.unlink(bundle)
                try:
                    listing = subprocess.run(["unzip", "-l", output], capture_output=True,
                                             timeout=120)
                    self.assertEqual(listing.returncode, 0, listing.stderr)
                    lengths = {line.split()[-1]: int(line.split()[0])
                               for line in listing.stdout.decode().splitlines()
                               if line.endswith(".zip") and line.split()[0].isdigit()}
                    self.assertEqual(lengths, {"bundle.zip": size,
                                               "InstallAgent.zip": len(after_bytes)})
                    tested = subprocess.run(["unzip", "-t", output], capture_output=True,
                                            timeout=900)
                    report = (tested.stdout + tested.stderr).decode(errors="replace")
                    self.assertEqual(tested.returncode, 0, report)
                    self.assertEqual(report.count(" OK\n"), 2, report)
                    self.assertIn("No errors detected", report)
                    extracted = subprocess.run(["unzip", "-p", output, "InstallAgent.zip"],
                                               capture_output=True, timeout=120)
                    self.assertEqual((extracted.returncode, extracted.stdout),
                                     (0, after_bytes), extracted.stderr)
                finally:
                    os.unlink(output)


if __name__ == "__main__":
    sys.exit(pack_support.main(__name__))

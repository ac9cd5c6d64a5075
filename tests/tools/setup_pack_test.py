"""End-to-end tests of setup-pack: the real binary makes launcher files from the real setup
executable, and the real unzip, zipinfo and Python's zipfile read them."""

import contextlib
import io
import os
import signal
import stat
import struct
import subprocess
import sys
import time
import zipfile
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import other_user  # noqa: E402
import pack_support  # noqa: E402
from pack_support import PackTestCase  # noqa: E402

EPOCH = 1700000000  # 2023-11-14 22:13:20 UTC
EPOCH_DOS_TIME = (22 << 11) | (13 << 5) | (20 // 2)
EPOCH_DOS_DATE = ((2023 - 1980) << 9) | (11 << 5) | 14
OTHER_UID, OTHER_GID = 1234, 5678
NOBODY = 65534


def become_nobody():
    os.setgroups([])
    os.setgid(NOBODY)
    os.setuid(NOBODY)


@contextlib.contextmanager
def writable_directory(path):
    """Lets the test itself write in a directory a case made read-only."""
    mode = os.stat(path).st_mode
    os.chmod(path, mode | stat.S_IWUSR)
    try:
        yield
    finally:
        os.chmod(path, mode)


def small_bundle():
    """A real bundle.zip (its content belongs to the agent; setup-pack stores it as it is)."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as bundle:
        bundle.writestr("app/readme.txt", "the demo application\n" * 50)
        bundle.writestr("app/data.bin", bytes(range(256)) * 40)
    return buffer.getvalue()


def timestamp_field(mtime, atime=None):
    data = struct.pack("<BI", 3, mtime)
    if atime is not None:
        data += struct.pack("<I", atime)
    return data


def owner_field(uid, gid):
    return struct.pack("<BBIBI", 1, 4, uid, 4, gid)


class LayoutTests(PackTestCase):
    """The bytes of the launcher file, field by field, as unzip will meet them."""

    def test_one_member_has_the_exact_layout(self):
        bundle = small_bundle()
        bundle_path = self.write("my-bundle-1.2.zip", bundle)
        output = self.path("launcher")
        self.pack_ok(["-o", output, self.stub, bundle_path])

        with open(self.stub, "rb") as stream:
            stub = stream.read()
        with open(output, "rb") as stream:
            data = stream.read()
        s, n = len(stub), len(bundle)
        self.assertEqual(len(data), s + n + 170)
        self.assertEqual(data[:s], stub)
        self.assertEqual(stat.S_IMODE(os.stat(output).st_mode), 0o755)
        crc = zlib.crc32(bundle)

        local = struct.unpack_from("<IHHHHHIIIHH", data, s)
        self.assertEqual(local, (0x04034B50, 10, 0, 0, EPOCH_DOS_TIME, EPOCH_DOS_DATE, crc, n, n,
                                 10, 28))
        self.assertEqual(data[s + 30:s + 40], b"bundle.zip")
        self.assertEqual(data[s + 40:s + 68],
                         struct.pack("<HH", 0x5455, 9) + timestamp_field(EPOCH, EPOCH) +
                         struct.pack("<HH", 0x7875, 11) + owner_field(0, 0))
        self.assertEqual(data[s + 68:s + 68 + n], bundle)

        c = s + 68 + n
        central = struct.unpack_from("<IHHHHHHIIIHHHHHII", data, c)
        self.assertEqual(central, (0x02014B50, 0x031E, 10, 0, 0, EPOCH_DOS_TIME, EPOCH_DOS_DATE,
                                   crc, n, n, 10, 24, 0, 0, 0, 0x81A40000, s))
        self.assertEqual(data[c + 46:c + 56], b"bundle.zip")
        self.assertEqual(data[c + 56:c + 80],
                         struct.pack("<HH", 0x5455, 5) + timestamp_field(EPOCH) +
                         struct.pack("<HH", 0x7875, 11) + owner_field(0, 0))

        end = struct.unpack_from("<IHHHHIIH", data, s + 148 + n)
        self.assertEqual(end, (0x06054B50, 0, 0, 1, 1, 80, s + 68 + n, 0))

    def test_several_members_keep_order_names_and_file_offsets(self):
        bundle = small_bundle()
        agent = b"agent archive bytes" * 100
        notes = b"notes\n"
        paths = [self.write("input/bundle-source.zip", bundle),
                 self.write("agents/InstallAgent_7.zip", agent),
                 self.write("docs/notes.txt", notes)]
        output = self.path("launcher")
        self.pack_ok(["--output", output, self.stub] + paths)

        end, zip64_end, locator, members = pack_support.read_archive(output)
        self.assertIsNone(zip64_end)
        self.assertIsNone(locator)
        self.assertEqual([m.entry["name"] for m in members],
                         [b"bundle.zip", b"InstallAgent_7.zip", b"notes.txt"])
        size = os.path.getsize(output)
        expected_offset = os.path.getsize(self.stub)  # every offset from the start of the file
        with open(output, "rb") as stream:
            data = stream.read()
        for member, content in zip(members, [bundle, agent, notes]):
            self.assertEqual(member.entry["offset"], expected_offset)
            self.assertEqual(member.local["offset"], expected_offset)
            self.assertEqual(member.local["name"], member.entry["name"])
            self.assertEqual(data[member.data_offset:member.data_offset + len(content)], content)
            for header in (member.entry, member.local):
                self.assertEqual(header["crc"], zlib.crc32(content))
                self.assertEqual(header["compressed"], len(content))
                self.assertEqual(header["uncompressed"], len(content))
                self.assertEqual(header["needed"], 10)
            self.assertEqual(member.entry["extra_length"], 24)
            self.assertEqual(member.local["extra_length"], 28)
            expected_offset = member.data_offset + len(content)
        self.assertEqual(end["directory_offset"], expected_offset)
        self.assertEqual(end["directory_size"], sum(46 + len(m.entry["name"]) + 24
                                                     for m in members))
        self.assertEqual((end["disk_entries"], end["entries"]), (3, 3))
        self.assertEqual(end["offset"] + 22, size)
        self.assertEqual(end["directory_offset"] + end["directory_size"], end["offset"])

    def test_long_option_forms_and_end_of_options_give_the_same_bytes(self):
        bundle = self.write("bundle.zip", small_bundle())
        forms = [["-o", self.path("a"), self.stub, bundle],
                 ["-o" + self.path("b"), self.stub, bundle],
                 ["--output=" + self.path("c"), self.stub, bundle],
                 [self.stub, "--output", self.path("d"), bundle],
                 ["-o", self.path("e"), "--", self.stub, bundle]]
        for args in forms:
            self.pack_ok(args)
        contents = set()
        for name in "abcde":
            with open(self.path(name), "rb") as stream:
                contents.add(stream.read())
        self.assertEqual(len(contents), 1)


class ReaderTests(PackTestCase):
    """What users and the launcher run on the file reads it without a complaint."""

    def setUp(self):
        super().setUp()
        pack_support.require_program("unzip")
        pack_support.require_program("zipinfo")
        self.contents = {"bundle.zip": small_bundle(),
                         "InstallAgent.zip": os.urandom(70000),
                         "empty.txt": b""}
        paths = [self.write("in/the bundle.zip", self.contents["bundle.zip"]),
                 self.write("in/InstallAgent.zip", self.contents["InstallAgent.zip"]),
                 self.write("in/empty.txt", b"")]
        self.output = self.path("launcher")
        self.pack_ok(["-o", self.output, self.stub] + paths)

    def run_tool(self, command):
        result = subprocess.run(command, capture_output=True, timeout=120)
        text = (result.stdout + result.stderr).decode(errors="replace")
        self.assertEqual(result.returncode, 0, text)
        self.assertNotRegex(text.lower(), r"warning|error:|extra bytes|bad crc|bad zip|mismatch",
                            text)
        return text

    def test_unzip_test_finds_no_error(self):
        text = self.run_tool(["unzip", "-t", self.output])
        self.assertIn("No errors detected in compressed data of", text)
        for name in self.contents:
            self.assertRegex(text, rf"testing: {name}\s+OK")

    def test_zipinfo_verbose_reads_the_headers_as_written(self):
        text = self.run_tool(["zipinfo", "-v", self.output])
        stub_size = os.path.getsize(self.stub)
        self.assertIn("central directory contains 3 entries", text)
        self.assertIn(f"offset of local header from start of archive:   {stub_size}", text)
        self.assertEqual(text.count("file system or operating system of origin:      Unix"), 3)
        self.assertEqual(text.count("minimum software version required to extract:   1.0"), 3)
        self.assertEqual(text.count("compression method:                             none "
                                    "(stored)"), 3)
        self.assertEqual(text.count("Unix file attributes (100644 octal):"), 3)
        self.assertEqual(text.count("2023 Nov 14 22:13:20 UTC"), 3)
        self.assertIn("There is no zipfile comment.", text)
        actual = expected = None
        for line in text.splitlines():
            if "Actual end-cent-dir record offset:" in line:
                actual = line.split(":")[1].split()[0]
            if "Expected end-cent-dir record offset:" in line:
                expected = line.split(":")[1].split()[0]
        self.assertIsNotNone(actual)
        self.assertEqual(actual, expected)

    def test_python_zipfile_reads_every_member(self):
        with zipfile.ZipFile(self.output) as archive:
            self.assertIsNone(archive.testzip())
            self.assertEqual(archive.namelist(), list(self.contents))
            for name, content in self.contents.items():
                info = archive.getinfo(name)
                self.assertEqual(info.compress_type, zipfile.ZIP_STORED)
                self.assertEqual(info.date_time, time.gmtime(EPOCH)[:6])
                self.assertEqual(info.external_attr, 0x81A40000)
                self.assertEqual(archive.read(name), content)

    def test_unzip_extracts_each_member_byte_for_byte(self):
        target = self.path("extracted")
        result = subprocess.run(["unzip", "-qq", self.output, "-d", target],
                                capture_output=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, b"")
        self.assertEqual(sorted(os.listdir(target)), sorted(self.contents))
        for name, content in self.contents.items():
            with open(os.path.join(target, name), "rb") as stream:
                self.assertEqual(stream.read(), content, name)
            # unzip restores the recorded time from the extended timestamp.
            self.assertEqual(int(os.stat(os.path.join(target, name)).st_mtime), EPOCH)


class ReproducibilityTests(PackTestCase):
    """Times and owners: from SOURCE_DATE_EPOCH when set, from each file otherwise."""

    def setUp(self):
        super().setUp()
        self.bundle = self.write("bundle.zip", small_bundle(), mtime=1234567890)
        self.agent = self.write("InstallAgent.zip", b"agent" * 999, mtime=1500000001)
        self.owned_by_other = os.geteuid() == 0
        if self.owned_by_other:
            for path in (self.bundle, self.agent):
                os.chown(path, OTHER_UID, OTHER_GID)

    def pack_bytes(self, name, epoch, env=None):
        output = self.path(name)
        self.pack_ok(["-o", output, self.stub, self.bundle, self.agent], epoch=epoch, env=env)
        with open(output, "rb") as stream:
            return stream.read()

    def test_same_epoch_gives_the_same_bytes_whatever_the_files_times_and_time_zone(self):
        first = self.pack_bytes("first", str(EPOCH), env={"TZ": "UTC0"})
        os.utime(self.bundle, (1600000000, 1600000000))
        os.utime(self.agent, (1600000077, 1600000077))
        os.makedirs(self.path("elsewhere"))
        second = self.pack_bytes(os.path.join("elsewhere", "second"), str(EPOCH),
                                 env={"TZ": "IST-5:30"})
        self.assertEqual(first, second)
        later = self.pack_bytes("later", str(EPOCH + 2))
        self.assertNotEqual(first, later)

    def test_epoch_sets_every_time_and_owner_zero(self):
        self.pack_bytes("launcher", str(EPOCH))
        _, _, _, members = pack_support.read_archive(self.path("launcher"))
        self.assertEqual(len(members), 2)
        for member in members:
            self.assertEqual(member.local["fields"][0x5455], timestamp_field(EPOCH, EPOCH))
            self.assertEqual(member.entry["fields"][0x5455], timestamp_field(EPOCH))
            self.assertEqual(member.local["fields"][0x7875], owner_field(0, 0))
            self.assertEqual(member.entry["fields"][0x7875], owner_field(0, 0))
            for header in (member.local, member.entry):
                self.assertEqual((header["time"], header["date"]),
                                 (EPOCH_DOS_TIME, EPOCH_DOS_DATE))

    def test_without_epoch_each_member_has_its_files_time_and_owner(self):
        os.utime(self.bundle, (1000000000, 1234567890))  # access time differs: not recorded
        self.pack_bytes("launcher", None, env={"TZ": "IST-5:30"})
        _, _, _, members = pack_support.read_archive(self.path("launcher"))
        owner = (OTHER_UID, OTHER_GID) if self.owned_by_other else (os.getuid(), os.getgid())
        for member, mtime in zip(members, (1234567890, 1500000001)):
            self.assertEqual(member.local["fields"][0x5455], timestamp_field(mtime, mtime))
            self.assertEqual(member.entry["fields"][0x5455], timestamp_field(mtime))
            self.assertEqual(member.local["fields"][0x7875], owner_field(*owner))
            self.assertEqual(member.entry["fields"][0x7875], owner_field(*owner))
            for header in (member.local, member.entry):
                self.assertEqual((header["time"], header["date"]), pack_support.dos_fields(mtime))

    def test_times_outside_the_dos_range_are_clamped(self):
        for epoch, expected in (("0", (0, (0 << 9) | (1 << 5) | 1)),
                                ("4354819199", pack_support.dos_fields(4354819198))):
            with self.subTest(epoch=epoch):
                self.pack_bytes("launcher", epoch)
                _, _, _, members = pack_support.read_archive(self.path("launcher"))
                header = members[0].local
                self.assertEqual((header["time"], header["date"]), expected)


class SparseInputTests(PackTestCase):
    """A member with holes: its holes are not read, and the CRC still covers their zeros."""

    def test_holes_stay_holes_and_the_member_extracts_byte_for_byte(self):
        pack_support.require_program("unzip")
        bundle = self.path("sparse-bundle.zip")
        size = 24 * 1024 * 1024 + 5
        with open(bundle, "wb") as stream:
            stream.write(b"head" * 1000)
            stream.seek(9 * 1024 * 1024 + 7)
            stream.write(b"middle")
            stream.truncate(size)  # ends in a hole
        tail = self.write("tail.txt", b"after the sparse member")
        output = self.path("launcher")
        self.pack_ok(["-o", output, self.stub, bundle, tail])

        with open(bundle, "rb") as stream:
            content = stream.read()
        _, _, _, members = pack_support.read_archive(output)
        self.assertEqual(members[0].entry["crc"], zlib.crc32(content))
        self.assertEqual(members[0].local["crc"], zlib.crc32(content))
        self.assertEqual(members[1].local["offset"], members[0].data_offset + size)
        for name, expected in ((b"bundle.zip", content), (b"tail.txt", b"after the sparse member")):
            result = subprocess.run(["unzip", "-p", output, name.decode()],
                                    capture_output=True, timeout=120)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(result.stdout, expected)
        if os.stat(bundle).st_blocks * 512 < size:  # this file system keeps holes
            self.assertLess(os.stat(output).st_blocks * 512,
                            os.path.getsize(output) - 8 * 1024 * 1024)


class CommandLineTests(PackTestCase):
    def test_help_describes_the_usage_on_standard_output(self):
        for option in ("--help", "-h"):
            result = self.run_pack([option])
            self.assertEqual(result.returncode, 0)
            self.assertEqual(result.stderr, b"")
            text = result.stdout.decode()
            self.assertTrue(text.startswith(
                "Usage: setup-pack -o OUTPUT [--agent-key KEY.pub]... STUB BUNDLE [MEMBER...]"))
            for word in ("--output", "--version", "SOURCE_DATE_EPOCH", "UTC", "bundle.zip",
                         "--attach-signature", "--verify-agent", "InstallAgent.pub"):
                self.assertIn(word, text)

    def test_version_is_the_projects(self):
        result = self.run_pack(["--version"])
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stderr, b"")
        version = os.environ.get("SETUP_PROJECT_VERSION")
        if not version:
            self.skipTest("SETUP_PROJECT_VERSION is not set (run the tests through ctest)")
        self.assertEqual(result.stdout.decode(), f"setup-pack (setup) {version}\n")


class BadInputTests(PackTestCase):
    """Every refusal: one line naming the problem, a non-zero exit, and nothing left under the
    output's name (an earlier output stays as it was)."""

    def setUp(self):
        super().setUp()
        self.bundle = self.write("bundle.zip", small_bundle())
        self.output_dir = self.path("out")
        os.makedirs(self.output_dir)
        self.output = os.path.join(self.output_dir, "launcher")

    def unprivileged(self):
        """How to run setup-pack so that file permissions apply: as is for an ordinary user;
        for root, which reads and writes anything, as the unprivileged user nobody, on a copy
        in the test's directory (the build tree may lie where nobody cannot enter)."""
        if os.geteuid() != 0:
            return None
        problem = other_user.open_scratch(self.dir)
        if problem:
            self.skipTest(problem)
        self.pack = other_user.copy_executable(self.pack, self.dir)
        return become_nobody

    def run_refused(self, args, expected_text, exit_status=1, **kwargs):
        """Runs setup-pack, expecting a refusal; returns nothing, checks the message."""
        result = self.run_pack(args, **kwargs)
        message = result.stderr.decode(errors="replace")
        self.assertEqual(result.returncode, exit_status, message)
        self.assertEqual(result.stdout, b"")
        self.assertTrue(message.startswith("setup-pack: "), message)
        self.assertTrue(message.endswith("\n"), message)
        self.assertEqual(message.count("\n"), 1, message)
        self.assertIn(expected_text, message)

    def assert_refused(self, args, expected_text, output=None, **kwargs):
        """Refused both without and with an earlier output under the name, which stays as it
        was; no temporary file is left beside it either way."""
        output = output or self.output
        directory = os.path.dirname(output)
        for earlier in (None, b"an earlier launcher file\n"):
            if earlier is not None and not os.path.isdir(directory):
                continue
            with self.subTest(args=args, earlier_output=earlier is not None):
                if earlier is not None:
                    with writable_directory(directory):
                        with open(output, "wb") as stream:
                            stream.write(earlier)
                before = sorted(os.listdir(self.output_dir))
                try:
                    self.run_refused(args, expected_text, **kwargs)
                    self.assertEqual(sorted(os.listdir(self.output_dir)), before)
                    if earlier is None:
                        self.assertFalse(os.path.lexists(output))
                    else:
                        with open(output, "rb") as stream:
                            self.assertEqual(stream.read(), earlier)
                finally:
                    if earlier is not None and os.path.isfile(output):
                        with writable_directory(directory):
                            os.unlink(output)

    def test_missing_inputs(self):
        missing = self.path("no-such-file.zip")
        for args, role in (([missing, self.bundle], "stub"), ([self.stub, missing], "bundle"),
                           ([self.stub, self.bundle, missing], "member")):
            self.assert_refused(["-o", self.output] + args,
                                f"cannot open {role} '{missing}': No such file or directory")

    def test_unreadable_member(self):
        secret = self.write("InstallAgent.zip", b"agent")
        os.chmod(secret, 0)
        os.chmod(self.output_dir, 0o777)
        self.assert_refused(["-o", self.output, self.stub, self.bundle, secret],
                            f"cannot open member '{secret}': Permission denied",
                            preexec_fn=self.unprivileged())

    def test_stubs_that_are_no_elf64_x86_64_executable(self):
        with open(self.stub, "rb") as stream:
            elf = bytearray(stream.read())

        def variant(name, patch):
            data = bytearray(elf)
            patch(data)
            return self.write(name, bytes(data))

        cases = [
            (self.write("text-stub", b"#!/bin/sh\necho not a binary\n"), "no ELF file"),
            (self.write("empty-stub", b""), "no ELF file"),
            (self.write("short-stub", bytes(elf[:40])), "a truncated ELF file"),
            (self.write("cut-stub", bytes(elf[:-1])), "a truncated ELF file"),
            (variant("elf32", lambda d: d.__setitem__(4, 1)), "not a 64-bit ELF file"),
            (variant("big-endian", lambda d: d.__setitem__(5, 2)), "not a little-endian ELF file"),
            (variant("aarch64", lambda d: d.__setitem__(slice(18, 20), b"\xb7\x00")),
             "built for ELF machine 183, not x86-64"),
            (variant("object", lambda d: d.__setitem__(slice(16, 18), b"\x01\x00")),
             "not an executable (ELF type 1)"),
            (variant("core", lambda d: d.__setitem__(slice(16, 18), b"\x04\x00")),
             "not an executable (ELF type 4)"),
        ]
        for stub, problem in cases:
            self.assert_refused(
                ["-o", self.output, stub, self.bundle],
                f"stub '{stub}' is not an ELF64 x86-64 executable: {problem}")

    def test_stub_that_is_a_launcher_file_already(self):
        launcher = self.path("packed", "setup.run")
        os.makedirs(os.path.dirname(launcher))
        self.pack_ok(["-o", launcher, self.stub, self.bundle])
        extra = os.path.getsize(launcher) - os.path.getsize(self.stub)
        self.assert_refused(["-o", self.output, launcher, self.bundle],
                            f"stub '{launcher}' has {extra} bytes after the end of its ELF "
                            "image; is it a launcher file already?")

    def test_inputs_that_are_no_regular_files(self):
        directory = self.path("a-directory")
        os.makedirs(directory)
        fifo = self.path("a-fifo")
        os.mkfifo(fifo)
        cases = [([directory, self.bundle], f"stub '{directory}' is not a regular file "
                                            "(it is a directory)"),
                 ([self.stub, directory], f"bundle '{directory}' is not a regular file "
                                          "(it is a directory)"),
                 ([self.stub, self.bundle, directory], f"member '{directory}' is not a regular "
                                                       "file (it is a directory)"),
                 ([self.stub, self.bundle, fifo], f"member '{fifo}' is not a regular file "
                                                  "(it is a FIFO)"),
                 ([self.stub, self.bundle, "/dev/null"], "member '/dev/null' is not a regular "
                                                         "file (it is a character device)")]
        for args, text in cases:
            self.assert_refused(["-o", self.output] + args, text)

    def test_members_that_would_share_a_name(self):
        first = self.write("one/InstallAgent.zip", b"first")
        second = self.write("two/InstallAgent.zip", b"second")
        self.assert_refused(["-o", self.output, self.stub, self.bundle, first, second],
                            f"two members would be stored as 'InstallAgent.zip': '{first}' and "
                            f"'{second}'")
        other_bundle = self.write("other/bundle.zip", b"another bundle")
        renamed = self.write("release-bundle.zip", small_bundle())
        self.assert_refused(["-o", self.output, self.stub, renamed, other_bundle],
                            f"two members would be stored as 'bundle.zip': '{renamed}' and "
                            f"'{other_bundle}'")

    def test_outputs_that_cannot_be_written(self):
        self.assert_refused(["-o", self.path("no-such-dir", "launcher"), self.stub, self.bundle],
                            "cannot create output", output=self.path("no-such-dir", "launcher"))
        occupied = os.path.join(self.output_dir, "occupied")
        os.makedirs(occupied)
        self.run_refused(["-o", occupied, self.stub, self.bundle],
                         f"output '{occupied}' is a directory")
        self.assertEqual(os.listdir(self.output_dir), ["occupied"])
        self.assertEqual(os.listdir(occupied), [])

    def test_output_in_a_read_only_directory(self):
        os.chmod(self.output_dir, 0o555)
        self.addCleanup(os.chmod, self.output_dir, 0o755)
        self.assert_refused(["-o", self.output, self.stub, self.bundle],
                            f"cannot create output '{self.output}': Permission denied",
                            preexec_fn=self.unprivileged())

    def test_output_that_fills_up_midway(self):
        import resource

        def limit_file_size():
            # Past the limit write fails with EFBIG (the signal that would end the process is
            # ignored), as on a full disk: after the stub, inside the bundle's data.
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            limit = os.path.getsize(self.stub) + 100
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        self.assert_refused(["-o", self.output, self.stub, self.bundle],
                            f"cannot write output '{self.output}': File too large",
                            preexec_fn=limit_file_size)

    def test_output_that_is_an_input(self):
        with open(self.bundle, "rb") as stream:
            before = stream.read()
        result = self.run_pack(["-o", self.bundle, self.stub, self.bundle])
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr.decode(), f"setup-pack: output '{self.bundle}' is also "
                                                 f"the input '{self.bundle}'\n")
        with open(self.bundle, "rb") as stream:
            self.assertEqual(stream.read(), before)

    def test_malformed_source_date_epoch(self):
        for value in ("", "yesterday", "-1", "1.5", " 17", "99999999999999999999"):
            self.assert_refused(["-o", self.output, self.stub, self.bundle],
                                f"SOURCE_DATE_EPOCH is not a number of seconds: '{value}'",
                                epoch=value)

    def test_bad_usage(self):
        cases = [([], "no output file given (-o OUTPUT)"),
                 ([self.stub, self.bundle], "no output file given (-o OUTPUT)"),
                 (["-o"], "option -o needs a file name"),
                 (["--output"], "option --output needs a file name"),
                 (["-o", self.output], "no STUB and BUNDLE given"),
                 (["-o", self.output, self.stub], "no BUNDLE given"),
                 (["--output=", self.stub, self.bundle], "the output file name is empty"),
                 (["-o", self.output, "-o", self.output, self.stub, self.bundle],
                  "the output is given more than once"),
                 (["-o", self.output, "--compress", self.stub, self.bundle],
                  "unknown option --compress")]
        for args, text in cases:
            self.assert_refused(args, text + "; see 'setup-pack --help'", exit_status=2)

    def write_big_input(self, path, mib=256):
        chunk = os.urandom(1024 * 1024)
        with open(path, "wb") as stream:
            for _ in range(mib):
                stream.write(chunk)

    def race_the_copy(self, bundle, act):
        """Starts setup-pack on a big bundle, stops it (SIGSTOP) once its temporary output
        exists and, if it is still copying the bundle then, calls act(process) before letting
        it go on. Returns (exit status, standard error) after act(); None only when the copy
        was already over when it stopped, the one outcome that may be retried."""
        environment = dict(os.environ, SOURCE_DATE_EPOCH="1")
        process = subprocess.Popen([self.pack, "-o", self.output, self.stub, bundle],
                                   env=environment, stderr=subprocess.PIPE)
        copied_in_full = os.path.getsize(self.stub) + os.path.getsize(bundle)
        acted = False
        deadline = time.monotonic() + 30
        while process.poll() is None and time.monotonic() < deadline:
            temporary = [name for name in os.listdir(self.output_dir)
                         if name.startswith(".launcher.")]
            if not temporary:
                continue
            os.kill(process.pid, signal.SIGSTOP)
            state = os.waitid(os.P_PID, process.pid, os.WSTOPPED | os.WEXITED | os.WNOWAIT)
            if state.si_code == os.CLD_STOPPED:
                try:
                    written = os.path.getsize(os.path.join(self.output_dir, temporary[0]))
                except FileNotFoundError:
                    written = copied_in_full  # already renamed into place
                if written < copied_in_full:
                    act(process)
                    acted = True
                os.kill(process.pid, signal.SIGCONT)
            break
        _, errors = process.communicate(timeout=60)
        if acted:
            return process.returncode, errors.decode(errors="replace")
        self.assertEqual(process.returncode, 0, errors)  # it was done too soon: try again
        os.unlink(self.output)
        return None

    def test_interrupted_run_leaves_nothing_behind(self):
        big = self.path("big-bundle.zip")
        self.write_big_input(big)
        for _ in range(5):
            outcome = self.race_the_copy(big, lambda process: process.send_signal(signal.SIGTERM))
            if outcome is not None:
                self.assertEqual(outcome[0], -signal.SIGTERM, outcome[1])
                self.assertEqual(os.listdir(self.output_dir), [])
                return
        self.skipTest("setup-pack always finished before it could be interrupted")

    def test_input_that_shrinks_while_it_is_read(self):
        big = self.path("big-bundle.zip")
        for _ in range(5):
            self.write_big_input(big)
            outcome = self.race_the_copy(big, lambda process: os.truncate(big, 4096))
            if outcome is not None:
                status, message = outcome
                self.assertEqual(status, 1, message)
                self.assertEqual(message,
                                 f"setup-pack: input '{big}' changed while it was being packed\n")
                self.assertEqual(os.listdir(self.output_dir), [])
                return
        self.skipTest("setup-pack always finished before the input could be cut short")

    def test_input_rewritten_while_it_is_packed(self):
        pack_support.require_program("unzip")
        big = self.path("big-bundle.zip")
        self.write_big_input(big, mib=24)
        # 4 KiB blocks rewritten at random offsets, as by a build step or a sync tool; the
        # writer says so once it has written the first.
        writer = subprocess.Popen([sys.executable, "-c", REWRITER, big], stdout=subprocess.PIPE)
        try:
            self.assertEqual(writer.stdout.readline(), b"rewriting\n")
            for _ in range(2):  # at the lowest priority, so that the writer runs meanwhile
                self.assert_refused(["-o", self.output, self.stub, big],
                                    f"input '{big}' changed while it was being packed",
                                    preexec_fn=lambda: os.nice(19))
        finally:
            writer.kill()
            writer.wait()
        sparse = self.path("sparse.bin")
        with open(sparse, "wb") as stream:
            stream.seek(3 << 20)
            stream.write(os.urandom(2 << 20))
            stream.truncate(8 << 20)
        self.pack_ok(["-o", self.output, self.stub, big, sparse])  # both left alone now
        result = subprocess.run(["unzip", "-tqq", self.output], capture_output=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)


REWRITER = """
import os, sys
descriptor = os.open(sys.argv[1], os.O_WRONLY)
blocks = os.fstat(descriptor).st_size // 4096
rewrite = lambda: os.pwrite(descriptor, os.urandom(4096),
                            int.from_bytes(os.urandom(4), "little") % blocks * 4096)
rewrite()
print("rewriting", flush=True)
while True:
    rewrite()
"""

if __name__ == "__main__":
    sys.exit(pack_support.main(__name__))

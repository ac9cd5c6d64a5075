"""Shared pieces of the setup-pack tests: the binaries under test, a fresh directory per test,
a reader of launcher files that follows the ZIP records from the end of the file, and a runner
whose exit status CTest understands (77 when a case could not run here)."""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

SKIP_EXIT_STATUS = 77

LOCAL_HEADER = struct.Struct("<IHHHHHIIIHH")  # 30 bytes
CENTRAL_ENTRY = struct.Struct("<IHHHHHHIIIHHHHHII")  # 46 bytes
END_RECORD = struct.Struct("<IHHHHIIH")  # 22 bytes
ZIP64_END_RECORD = struct.Struct("<IQHHIIQQQQ")  # 56 bytes
ZIP64_LOCATOR = struct.Struct("<IIQI")  # 20 bytes

LOCAL_SIGNATURE = 0x04034B50
CENTRAL_SIGNATURE = 0x02014B50
END_SIGNATURE = 0x06054B50
ZIP64_END_SIGNATURE = 0x06064B50
ZIP64_LOCATOR_SIGNATURE = 0x07064B50
MARKER32 = 0xFFFFFFFF


def required_path(variable):
    path = os.environ.get(variable)
    if not path or not os.path.isfile(path):
        raise unittest.SkipTest(f"{variable} does not name a file (run the tests through ctest)")
    return path


def pack_binary():
    return required_path("SETUP_PACK_BIN")


def stub_binary():
    return required_path("SETUP_BIN")


def require_program(name):
    if shutil.which(name) is None:
        raise unittest.SkipTest(f"{name} is not installed")


class PackTestCase(unittest.TestCase):
    """Each test runs in a fresh directory of its own, removed afterwards."""

    def setUp(self):
        self.pack = pack_binary()
        self.stub_source = stub_binary()
        self.dir = tempfile.mkdtemp(prefix="setup-pack-test.")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.stub = self.path("setup")
        shutil.copyfile(self.stub_source, self.stub)
        os.chmod(self.stub, 0o755)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def write(self, name, data, mtime=None):
        path = self.path(name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as stream:
            stream.write(data)
        if mtime is not None:
            os.utime(path, (mtime, mtime))
        return path

    def run_pack(self, args, env=None, epoch="1700000000", **kwargs):
        """Runs setup-pack with SOURCE_DATE_EPOCH=epoch (None: unset) and returns the result."""
        environment = dict(os.environ)
        environment.pop("SOURCE_DATE_EPOCH", None)
        if epoch is not None:
            environment["SOURCE_DATE_EPOCH"] = epoch
        environment.update(env or {})
        return subprocess.run([self.pack] + list(args), env=environment, capture_output=True,
                              timeout=kwargs.pop("timeout", 120), **kwargs)

    def pack_ok(self, args, **kwargs):
        result = self.run_pack(args, **kwargs)
        self.assertEqual(result.returncode, 0, result.stderr.decode(errors="replace"))
        self.assertEqual(result.stderr, b"")
        return result


class Member:
    def __init__(self, entry, local, data_offset):
        self.entry = entry  # dict of the central directory entry
        self.local = local  # dict of the local header
        self.data_offset = data_offset


def parse_extra(blob):
    fields = {}
    position = 0
    while position < len(blob):
        header_id, size = struct.unpack_from("<HH", blob, position)
        fields[header_id] = blob[position + 4:position + 4 + size]
        position += 4 + size
    if position != len(blob):
        raise AssertionError(f"extra field overruns its length: {blob!r}")
    return fields


def field_order(blob):
    order = []
    position = 0
    while position < len(blob):
        header_id, size = struct.unpack_from("<HH", blob, position)
        order.append(header_id)
        position += 4 + size
    return order


def read_archive(path):
    """Follows the records from the end of the file as unzip does, without reading the data:
    returns (end, zip64_end or None, locator or None, [Member...])."""
    with open(path, "rb") as stream:
        size = os.fstat(stream.fileno()).st_size

        def read_at(offset, length):
            stream.seek(offset)
            data = stream.read(length)
            if len(data) != length:
                raise AssertionError(f"short read at {offset}")
            return data

        end_offset = size - END_RECORD.size
        values = END_RECORD.unpack(read_at(end_offset, END_RECORD.size))
        end = dict(zip(("signature", "disk", "directory_disk", "disk_entries", "entries",
                        "directory_size", "directory_offset", "comment_length"), values))
        end["offset"] = end_offset
        zip64_end = locator = None
        directory_offset = end["directory_offset"]
        directory_size = end["directory_size"]
        entries = end["entries"]
        locator_offset = end_offset - ZIP64_LOCATOR.size
        if locator_offset >= 0:
            values = ZIP64_LOCATOR.unpack(read_at(locator_offset, ZIP64_LOCATOR.size))
            if values[0] == ZIP64_LOCATOR_SIGNATURE:
                locator = dict(zip(("signature", "disk", "zip64_end_offset", "disks"), values))
                locator["offset"] = locator_offset
                values = ZIP64_END_RECORD.unpack(
                    read_at(locator["zip64_end_offset"], ZIP64_END_RECORD.size))
                zip64_end = dict(zip(
                    ("signature", "record_size", "made_by", "needed", "disk", "directory_disk",
                     "disk_entries", "entries", "directory_size", "directory_offset"), values))
                directory_offset = zip64_end["directory_offset"]
                directory_size = zip64_end["directory_size"]
                entries = zip64_end["entries"]

        directory = read_at(directory_offset, directory_size)
        members = []
        position = 0
        for _ in range(entries):
            values = CENTRAL_ENTRY.unpack_from(directory, position)
            entry = dict(zip(("signature", "made_by", "needed", "flags", "method", "time",
                              "date", "crc", "compressed", "uncompressed", "name_length",
                              "extra_length", "comment_length", "disk", "internal",
                              "external", "offset"), values))
            position += CENTRAL_ENTRY.size
            entry["name"] = directory[position:position + entry["name_length"]]
            position += entry["name_length"]
            entry["extra"] = directory[position:position + entry["extra_length"]]
            position += entry["extra_length"] + entry["comment_length"]
            entry["fields"] = parse_extra(entry["extra"])

            header_offset = entry["offset"]
            if header_offset == MARKER32:
                zip64 = entry["fields"][0x0001]
                skip = 16 if entry["uncompressed"] == MARKER32 else 0
                header_offset = struct.unpack_from("<Q", zip64, skip)[0]
            values = LOCAL_HEADER.unpack(read_at(header_offset, LOCAL_HEADER.size))
            local = dict(zip(("signature", "needed", "flags", "method", "time", "date", "crc",
                              "compressed", "uncompressed", "name_length", "extra_length"),
                             values))
            local["name"] = read_at(header_offset + LOCAL_HEADER.size, local["name_length"])
            local["extra"] = read_at(header_offset + LOCAL_HEADER.size + local["name_length"],
                                     local["extra_length"])
            local["fields"] = parse_extra(local["extra"])
            local["offset"] = header_offset
            data_offset = (header_offset + LOCAL_HEADER.size + local["name_length"] +
                           local["extra_length"])
            members.append(Member(entry, local, data_offset))
        if position != directory_size:
            raise AssertionError("central directory size does not match its entries")
        return end, zip64_end, locator, members


def dos_fields(unix_time):
    """The DOS time and date of a Unix time taken in UTC, computed independently of the tool."""
    import time
    moment = time.gmtime(unix_time)
    dos_time = (moment.tm_hour << 11) | (moment.tm_min << 5) | (moment.tm_sec // 2)
    dos_date = ((moment.tm_year - 1980) << 9) | (moment.tm_mon << 5) | moment.tm_mday
    return dos_time, dos_date


def main(module_name):
    """Runs the test classes named on the command line (all of the module's when none):
    exit 0 when all passed, 1 on any failure, 77 when some case could not run here."""
    module = sys.modules[module_name]
    loader = unittest.TestLoader()
    names = sys.argv[1:]
    suite = (loader.loadTestsFromNames(names, module) if names
             else loader.loadTestsFromModule(module))
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    if not result.wasSuccessful():
        return 1
    if result.testsRun == 0:
        print("no test ran")
        return 1
    if result.skipped:
        for test, reason in result.skipped:
            print(f"SKIPPED {test.id()}: {reason}")
        return SKIP_EXIT_STATUS
    return 0

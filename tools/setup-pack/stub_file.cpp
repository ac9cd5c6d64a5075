#include "stub_file.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <memory>

namespace pack {
namespace {

constexpr std::size_t kClassIndex = 4;
constexpr std::size_t kDataIndex = 5;
constexpr std::size_t kTypeOffset = 16;
constexpr std::size_t kMachineOffset = 18;
constexpr std::size_t kSectionTableOffset = 40;
constexpr std::size_t kSectionEntrySizeOffset = 58;
constexpr std::size_t kSectionCountOffset = 60;

constexpr unsigned char kClass64 = 2;
constexpr unsigned char kLittleEndian = 1;
constexpr std::uint16_t kTypeExecutable = 2;
constexpr std::uint16_t kTypeSharedObject = 3;  // position-independent executables
constexpr std::uint16_t kMachineX86_64 = 62;

std::uint16_t Little16(const unsigned char* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

std::uint64_t Little64(const unsigned char* bytes) {
  std::uint64_t value = 0;
  for (int index = 7; index >= 0; --index) {
    value = (value << 8) | bytes[index];
  }
  return value;
}

}  // namespace

std::string StubHeaderProblem(const unsigned char* header, std::size_t length) {
  if (length < 4 || header[0] != 0x7F || header[1] != 'E' || header[2] != 'L' || header[3] != 'F') {
    return "no ELF file";
  }
  if (length < kElf64HeaderSize) {
    return "a truncated ELF file";
  }
  if (header[kClassIndex] != kClass64) {
    return "not a 64-bit ELF file";
  }
  if (header[kDataIndex] != kLittleEndian) {
    return "not a little-endian ELF file";
  }
  const std::uint16_t machine = Little16(header + kMachineOffset);
  if (machine != kMachineX86_64) {
    return "built for ELF machine " + std::to_string(machine) + ", not x86-64";
  }
  const std::uint16_t type = Little16(header + kTypeOffset);
  if (type != kTypeExecutable && type != kTypeSharedObject) {
    return "not an executable (ELF type " + std::to_string(type) + ")";
  }
  return "";
}

std::uint64_t ElfImageEnd(const unsigned char* header) {
  const std::uint64_t table = Little64(header + kSectionTableOffset);
  const std::uint64_t count = Little16(header + kSectionCountOffset);
  if (table == 0 || count == 0) {
    return 0;  // no table, or more sections than e_shnum holds (the count is elsewhere)
  }
  const std::uint64_t length = count * Little16(header + kSectionEntrySizeOffset);
  if (table > std::numeric_limits<std::uint64_t>::max() - length) {
    return std::numeric_limits<std::uint64_t>::max();  // past any file's end
  }
  return table + length;
}

bool CheckStub(int descriptor, const std::string& path, std::uint64_t size, ErrorSink report) {
  unsigned char header[kElf64HeaderSize] = {};
  ssize_t length = 0;
  do {
    length = ::pread(descriptor, header, sizeof header, 0);
  } while (length < 0 && errno == EINTR);
  if (length < 0) {
    report(WithErrno("cannot read stub " + Quoted(path), errno));
    return false;
  }
  const std::string problem = StubHeaderProblem(header, static_cast<std::size_t>(length));
  if (!problem.empty()) {
    report("stub " + Quoted(path) + " is not an ELF64 x86-64 executable: " + problem);
    return false;
  }
  // A launcher file is a valid executable too; packing it again would give two archives.
  const std::uint64_t image_end = ElfImageEnd(header);
  if (image_end > size) {
    report("stub " + Quoted(path) + " is not an ELF64 x86-64 executable: a truncated ELF file");
    return false;
  }
  if (image_end != 0 && image_end < size) {
    report("stub " + Quoted(path) + " has " + std::to_string(size - image_end) +
           " bytes after the end of its ELF image; is it a launcher file already?");
    return false;
  }
  return true;
}

std::string InstalledStubPath() {
  char self[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) {
    return "";
  }
  std::string path(self, static_cast<std::size_t>(length));
  path = path.substr(0, path.rfind('/') + 1) + SETUP_PACK_STUB_FROM_EXECUTABLE;
  const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                             &std::free);
  struct stat status {};
  if (!resolved || ::stat(resolved.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      ::access(resolved.get(), X_OK) != 0) {
    return "";
  }
  return resolved.get();
}

}  // namespace pack

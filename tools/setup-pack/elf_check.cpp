#include "elf_check.h"

#include <cstdint>

namespace pack {
namespace {

constexpr std::size_t kClassIndex = 4;
constexpr std::size_t kDataIndex = 5;
constexpr std::size_t kTypeOffset = 16;
constexpr std::size_t kMachineOffset = 18;

constexpr unsigned char kClass64 = 2;
constexpr unsigned char kLittleEndian = 1;
constexpr std::uint16_t kTypeExecutable = 2;
constexpr std::uint16_t kTypeSharedObject = 3;  // position-independent executables
constexpr std::uint16_t kMachineX86_64 = 62;

std::uint16_t Little16(const unsigned char* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
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

}  // namespace pack

// Encodes the ZIP records of a launcher file: stored members with an extended-timestamp and a
// Unix-owner extra field, offsets counted from the first byte of the file, and the Zip64
// records only where a size, an offset or the entry count does not fit the classic fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pack {

using Bytes = std::vector<unsigned char>;

// A classic field holding this value means "see the Zip64 record", so the value itself needs
// Zip64 as well.
constexpr std::uint64_t kZip32Marker = 0xFFFFFFFF;
constexpr std::uint64_t kZip16Marker = 0xFFFF;

struct DosDateTime {
  std::uint16_t time = 0;
  std::uint16_t date = 0;
};

// The DOS time and date fields for a Unix time, taken in UTC so that the bytes do not depend on
// the packing machine's time zone. Times outside 1980..2107 are clamped to that range.
DosDateTime DosDateTimeFromUnix(std::int64_t unix_seconds);

// One stored member as its headers describe it.
struct MemberRecord {
  std::string name;
  std::uint64_t size = 0;  // stored: compressed and uncompressed sizes are equal
  std::uint32_t crc32 = 0;
  std::int64_t mtime = 0;  // Unix seconds, for the DOS fields and the extended timestamp
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::uint64_t local_header_offset = 0;  // from the first byte of the file
};

[[nodiscard]] bool NeedsZip64Sizes(const MemberRecord& member);
[[nodiscard]] bool NeedsZip64Offset(const MemberRecord& member);

// The local header depends on the name and on whether the sizes need Zip64, not on the CRC, so
// a header written before the data can be patched in place once the CRC is known.
[[nodiscard]] Bytes EncodeLocalHeader(const MemberRecord& member);
[[nodiscard]] Bytes EncodeCentralEntry(const MemberRecord& member);

// The end of the archive: the Zip64 end record and its locator when the entry count, the
// directory's size or its offset needs them, then the end of central directory record without
// a comment.
[[nodiscard]] Bytes EncodeDirectoryEnd(std::uint64_t entry_count, std::uint64_t directory_offset,
                                       std::uint64_t directory_size);

}  // namespace pack

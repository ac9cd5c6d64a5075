#include "zip_records.h"

#include <algorithm>
#include <ctime>

namespace pack {
namespace {

constexpr std::uint32_t kLocalHeaderSignature = 0x04034B50;
constexpr std::uint32_t kCentralEntrySignature = 0x02014B50;
constexpr std::uint32_t kEndSignature = 0x06054B50;
constexpr std::uint32_t kZip64EndSignature = 0x06064B50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064B50;

constexpr std::uint16_t kVersionNeededStored = 10;  // 1.0: stored data
constexpr std::uint16_t kVersionNeededZip64 = 45;   // 4.5: Zip64 extensions
constexpr std::uint16_t kVersionMadeBy = 0x031E;    // Unix, 3.0
constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint32_t kExternalAttributes = 0x81A40000;  // regular file, mode 0644

constexpr std::uint16_t kZip64ExtraId = 0x0001;
constexpr std::uint16_t kTimestampExtraId = 0x5455;
constexpr std::uint16_t kUnixOwnerExtraId = 0x7875;
constexpr std::uint8_t kTimestampHasMtimeAndAtime = 3;

// Appends little-endian fields, as every ZIP record is laid out.
class RecordWriter {
 public:
  void U8(std::uint8_t value) { bytes_.push_back(value); }
  void U16(std::uint16_t value) { Little(value, 2); }
  void U32(std::uint32_t value) { Little(value, 4); }
  void U64(std::uint64_t value) { Little(value, 8); }
  void Text(const std::string& text) { bytes_.insert(bytes_.end(), text.begin(), text.end()); }
  void Append(const Bytes& more) { bytes_.insert(bytes_.end(), more.begin(), more.end()); }
  [[nodiscard]] Bytes Take() { return std::move(bytes_); }

 private:
  void Little(std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
      bytes_.push_back(static_cast<unsigned char>(value >> (8 * i)));
    }
  }
  Bytes bytes_;
};

std::uint16_t Narrow16(std::size_t value) { return static_cast<std::uint16_t>(value); }

std::uint32_t Clamp32(std::uint64_t value) {
  return static_cast<std::uint32_t>(std::min(value, kZip32Marker));
}

// The extended timestamp holds a signed 32-bit Unix time; readers take it over the DOS fields.
std::uint32_t TimestampField(std::int64_t unix_seconds) {
  const std::int64_t latest = 0x7FFFFFFF;
  return static_cast<std::uint32_t>(std::clamp<std::int64_t>(unix_seconds, 0, latest));
}

Bytes TimestampExtra(const MemberRecord& member, bool with_atime) {
  RecordWriter extra;
  extra.U16(kTimestampExtraId);
  extra.U16(with_atime ? 9 : 5);
  extra.U8(kTimestampHasMtimeAndAtime);
  extra.U32(TimestampField(member.mtime));
  if (with_atime) {
    // The access time is the modification time too: the real one changes whenever the file is
    // read, which would make the output differ from run to run.
    extra.U32(TimestampField(member.mtime));
  }
  return extra.Take();
}

Bytes UnixOwnerExtra(const MemberRecord& member) {
  RecordWriter extra;
  extra.U16(kUnixOwnerExtraId);
  extra.U16(11);
  extra.U8(1);  // version
  extra.U8(4);
  extra.U32(member.uid);
  extra.U8(4);
  extra.U32(member.gid);
  return extra.Take();
}

// Local headers must carry both sizes in their Zip64 field. A central entry's Zip64 field holds
// both sizes as well, then the offset where that needs it. Info-ZIP's unzip reads the sizes from
// the field when the classic size fields hold the marker in this entry *or in the record it read
// before*; after a member of exactly 0xFFFFFFFF bytes those still do, so a field that held only
// the next member's offset would be read as its size, and its offset taken from the marker.
Bytes Zip64Extra(const MemberRecord& member, bool sizes, bool offset) {
  RecordWriter extra;
  if (!sizes && !offset) {
    return extra.Take();
  }
  extra.U16(kZip64ExtraId);
  extra.U16(static_cast<std::uint16_t>((sizes ? 16 : 0) + (offset ? 8 : 0)));
  if (sizes) {
    extra.U64(member.size);  // uncompressed
    extra.U64(member.size);  // compressed
  }
  if (offset) {
    extra.U64(member.local_header_offset);
  }
  return extra.Take();
}

std::uint16_t VersionNeeded(const MemberRecord& member) {
  return NeedsZip64Sizes(member) || NeedsZip64Offset(member) ? kVersionNeededZip64
                                                             : kVersionNeededStored;
}

}  // namespace

DosDateTime DosDateTimeFromUnix(std::int64_t unix_seconds) {
  constexpr std::int64_t kFirst = 315532800;  // 1980-01-01 00:00:00 UTC
  constexpr std::int64_t kLast = 4354819198;  // 2107-12-31 23:59:58 UTC
  const std::time_t clamped = static_cast<std::time_t>(std::clamp(unix_seconds, kFirst, kLast));
  std::tm utc{};
  gmtime_r(&clamped, &utc);
  DosDateTime result;
  result.time =
      static_cast<std::uint16_t>((utc.tm_hour << 11) | (utc.tm_min << 5) | (utc.tm_sec / 2));
  result.date =
      static_cast<std::uint16_t>(((utc.tm_year - 80) << 9) | ((utc.tm_mon + 1) << 5) | utc.tm_mday);
  return result;
}

bool NeedsZip64Sizes(const MemberRecord& member) { return member.size >= kZip32Marker; }

bool NeedsZip64Offset(const MemberRecord& member) {
  return member.local_header_offset >= kZip32Marker;
}

Bytes EncodeLocalHeader(const MemberRecord& member) {
  const bool zip64_sizes = NeedsZip64Sizes(member);
  const Bytes zip64 = Zip64Extra(member, zip64_sizes, false);
  const Bytes timestamp = TimestampExtra(member, true);
  const Bytes owner = UnixOwnerExtra(member);
  const DosDateTime when = DosDateTimeFromUnix(member.mtime);

  RecordWriter header;
  header.U32(kLocalHeaderSignature);
  header.U16(VersionNeeded(member));
  header.U16(0);  // flags: no data descriptor, no encryption
  header.U16(kMethodStored);
  header.U16(when.time);
  header.U16(when.date);
  header.U32(member.crc32);
  header.U32(Clamp32(member.size));
  header.U32(Clamp32(member.size));
  header.U16(Narrow16(member.name.size()));
  header.U16(Narrow16(zip64.size() + timestamp.size() + owner.size()));
  header.Text(member.name);
  header.Append(zip64);
  header.Append(timestamp);
  header.Append(owner);
  return header.Take();
}

Bytes EncodeCentralEntry(const MemberRecord& member) {
  const bool zip64_offset = NeedsZip64Offset(member);
  const bool zip64_sizes = NeedsZip64Sizes(member) || zip64_offset;
  const std::uint32_t classic_size = Clamp32(zip64_sizes ? kZip32Marker : member.size);
  const Bytes zip64 = Zip64Extra(member, zip64_sizes, zip64_offset);
  const Bytes timestamp = TimestampExtra(member, false);
  const Bytes owner = UnixOwnerExtra(member);
  const DosDateTime when = DosDateTimeFromUnix(member.mtime);

  RecordWriter entry;
  entry.U32(kCentralEntrySignature);
  entry.U16(kVersionMadeBy);
  entry.U16(VersionNeeded(member));
  entry.U16(0);  // flags
  entry.U16(kMethodStored);
  entry.U16(when.time);
  entry.U16(when.date);
  entry.U32(member.crc32);
  entry.U32(classic_size);
  entry.U32(classic_size);
  entry.U16(Narrow16(member.name.size()));
  entry.U16(Narrow16(zip64.size() + timestamp.size() + owner.size()));
  entry.U16(0);  // comment length
  entry.U16(0);  // disk number start
  entry.U16(0);  // internal attributes
  entry.U32(kExternalAttributes);
  entry.U32(Clamp32(member.local_header_offset));
  entry.Text(member.name);
  entry.Append(zip64);
  entry.Append(timestamp);
  entry.Append(owner);
  return entry.Take();
}

Bytes EncodeDirectoryEnd(std::uint64_t entry_count, std::uint64_t directory_offset,
                         std::uint64_t directory_size) {
  const bool zip64 = entry_count >= kZip16Marker || directory_offset >= kZip32Marker ||
                     directory_size >= kZip32Marker;
  RecordWriter end;
  if (zip64) {
    const std::uint64_t zip64_end_offset = directory_offset + directory_size;
    end.U32(kZip64EndSignature);
    end.U64(44);  // size of the rest of this record
    end.U16(kVersionMadeBy);
    end.U16(kVersionNeededZip64);
    end.U32(0);  // this disk
    end.U32(0);  // disk of the central directory
    end.U64(entry_count);
    end.U64(entry_count);
    end.U64(directory_size);
    end.U64(directory_offset);

    end.U32(kZip64LocatorSignature);
    end.U32(0);  // disk of the Zip64 end record
    end.U64(zip64_end_offset);
    end.U32(1);  // total number of disks
  }
  const auto count16 = static_cast<std::uint16_t>(std::min(entry_count, kZip16Marker));
  end.U32(kEndSignature);
  end.U16(0);  // this disk
  end.U16(0);  // disk of the central directory
  end.U16(count16);
  end.U16(count16);
  end.U32(Clamp32(directory_size));
  end.U32(Clamp32(directory_offset));
  end.U16(0);  // comment length
  return end.Take();
}

}  // namespace pack

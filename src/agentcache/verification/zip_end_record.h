// Finds a ZIP archive's end-of-central-directory record among the last bytes of the archive.
// The classic end record comes last in every archive, Zip64 ones too, followed only by the
// archive comment, so the last 22 + 65,535 bytes always hold it.
#pragma once

#include <cstddef>

namespace agentcache {

constexpr std::size_t kEndRecordSize = 22;
constexpr std::size_t kCommentLengthOffset = 20;  // within the end record
constexpr std::size_t kMaxCommentLength = 65535;
constexpr std::size_t kEndRecordSearchBytes = kEndRecordSize + kMaxCommentLength;

struct EndRecordLocation {
  enum class Status {
    kNoEndRecord,            // no end record signature at all
    kCommentLengthMismatch,  // signatures, but none whose comment length fits the bytes after it
    kFound,
  };
  Status status = Status::kNoEndRecord;
  std::size_t record_offset = 0;  // within `tail`
  std::size_t comment_length = 0;
};

// `tail` is the end of the archive: its last kEndRecordSearchBytes bytes, or all of it when it
// is shorter. The record found is the last one whose comment length equals the number of
// bytes after it.
[[nodiscard]] EndRecordLocation FindEndRecord(const unsigned char* tail, std::size_t length);

}  // namespace agentcache

#include "agentcache/verification/zip_end_record.h"

namespace agentcache {

EndRecordLocation FindEndRecord(const unsigned char* tail, std::size_t length) {
  EndRecordLocation location;
  if (length < kEndRecordSize) {
    return location;
  }
  for (std::size_t offset = length - kEndRecordSize + 1; offset-- > 0;) {
    if (tail[offset] != 'P' || tail[offset + 1] != 'K' || tail[offset + 2] != 5 ||
        tail[offset + 3] != 6) {
      continue;
    }
    const std::size_t comment_length =
        tail[offset + kCommentLengthOffset] |
        static_cast<std::size_t>(tail[offset + kCommentLengthOffset + 1]) << 8;
    if (comment_length == length - offset - kEndRecordSize) {
      location.status = EndRecordLocation::Status::kFound;
      location.record_offset = offset;
      location.comment_length = comment_length;
      return location;
    }
    location.status = EndRecordLocation::Status::kCommentLengthMismatch;
  }
  return location;
}

}  // namespace agentcache

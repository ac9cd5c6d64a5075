// Holds the end record search to a plain model for any tail of an archive: the record is
// the last "PK\5\6" with room for the 22-byte record after it whose comment length (2 bytes,
// little-endian, at offset 20) equals the number of bytes after the record; with none such,
// a signature anywhere makes the comment length the fault, and no signature leaves none.
// The search reads only the tail, as AddressSanitizer sees: the tail is a heap block of
// exactly its length.
//
// Input: the tail itself, up to 70,000 bytes, so that a comment of 65,535 bytes and
// signatures before the search's reach both turn up.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_check.h"
#include "verification/signed_bytes.h"

namespace {

using Location = verification::EndRecordLocation;

Location ModelEndRecord(const unsigned char* tail, std::size_t length) {
  // Every place where a whole record would fit and the signature is, first to last.
  std::vector<std::size_t> signatures;
  for (std::size_t offset = 0; offset + 22 <= length; ++offset) {
    if (std::memcmp(tail + offset, "PK\x05\x06", 4) == 0) signatures.push_back(offset);
  }
  Location model;
  if (!signatures.empty()) model.status = Location::Status::kCommentLengthMismatch;
  for (auto offset = signatures.rbegin(); offset != signatures.rend(); ++offset) {
    const std::size_t comment_length = tail[*offset + 20] + 256U * tail[*offset + 21];
    if (*offset + 22 + comment_length == length) {
      model.status = Location::Status::kFound;
      model.record_offset = *offset;
      model.comment_length = comment_length;
      break;
    }
  }
  return model;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::unique_ptr<unsigned char[]> tail = std::make_unique<unsigned char[]>(size);
  if (size > 0) std::memcpy(tail.get(), data, size);

  const Location found = verification::FindEndRecord(tail.get(), size);
  const Location model = ModelEndRecord(tail.get(), size);
  fuzz::Require(found.status == model.status,
                "the status is found, a comment length mismatch or none, as the model says");
  if (model.status == Location::Status::kFound) {
    fuzz::Require(found.record_offset == model.record_offset,
                  "the record found is the last whose comment length fits");
    fuzz::Require(found.comment_length == model.comment_length,
                  "the comment length is the record's own");
    fuzz::Require(found.record_offset + verification::kEndRecordSize + found.comment_length == size,
                  "the record and its comment end the tail");
  }
  return 0;
}

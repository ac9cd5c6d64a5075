// Hashes an agent archive's signed bytes while the archive streams past: the BLAKE2b-512 of
// every byte up to the end record's comment-length field, then two zero bytes in its place,
// and the archive comment that holds the signature. Only the last 65,557 bytes can hold the
// end record, so everything further back is hashed as it arrives and only that tail is kept.
// One instance is fed from one thread at a time; it may be a thread of its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "agentcache/verification/zip_end_record.h"

namespace agentcache {

struct SignedBytes {
  EndRecordLocation::Status end_record = EndRecordLocation::Status::kNoEndRecord;
  std::array<unsigned char, 64> digest{};  // meaningful for kFound only
  std::string comment;
  std::uint64_t archive_length = 0;     // every byte fed
  std::uint64_t end_record_offset = 0;  // from the archive's first byte; for kFound only
};

class SignedBytesHasher {
 public:
  SignedBytesHasher();
  ~SignedBytesHasher();
  SignedBytesHasher(const SignedBytesHasher&) = delete;
  SignedBytesHasher& operator=(const SignedBytesHasher&) = delete;

  void Feed(const void* data, std::size_t length);

  // false only when the digest itself failed; the archive's faults are in `result`.
  [[nodiscard]] bool Finish(SignedBytes& result);

 private:
  void Hash(const unsigned char* data, std::size_t length);

  struct DigestContext;
  std::unique_ptr<DigestContext> context_;
  std::vector<unsigned char> tail_;  // the last bytes fed, not hashed yet
  std::uint64_t fed_ = 0;
  bool failed_ = false;
};

// Hashes a whole file through a SignedBytesHasher; false, with errno set, when it cannot be
// read (or with errno 0 when the digest failed).
[[nodiscard]] bool HashSignedBytesOfFile(const std::string& path, SignedBytes& result);

// Makes the archive file exactly its signed bytes once they are verified: the comment length
// becomes zero and the file ends right after the end record, so that unzip cannot read
// anything the signature does not cover, whatever the comment held. false, with errno set
// (EBUSY when the file is no longer the one hashed), when that fails.
[[nodiscard]] bool CutToSignedBytes(const std::string& archive_path,
                                    const SignedBytes& signed_bytes);

}  // namespace agentcache

// The signed bytes of an agent archive: every byte up to the end record's comment-length
// field, then two zero bytes in its place. The end record is found among the last bytes of
// the archive (it comes last in every archive, Zip64 ones too, followed only by the comment,
// so the last 22 + 65,535 bytes always hold it); the bytes are hashed with BLAKE2b-512 while
// the archive streams past, keeping only that tail; and a verified archive is cut to them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace verification {

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

}  // namespace verification

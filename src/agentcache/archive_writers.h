// The writers of a GET's body into the archive file. For an archive to be verified, every
// piece of the body goes into the archive file as it arrives, and a thread of its own hashes the
// signed bytes from the file meanwhile, a little behind the writes, so that the digest is ready
// soon after the last byte rather than a whole pass over the archive later. The hash is thus of the
// very bytes that unzip will read. Where no thread can be started, the pieces are hashed in the
// callback. The thread is stopped and joined on every path by the destructor.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <thread>

#include "transfer/http_session.h"
#include "verification/signed_bytes.h"

namespace agentcache {

// The body of a GET that is not verified: straight from libcurl's buffers into the archive
// file's stream. A short write ends the transfer.
class FileBodyWriter final : public transfer::BodyWriter {
 public:
  explicit FileBodyWriter(std::FILE* archive_stream) : archive_stream_(archive_stream) {}
  bool Write(const char* data, std::size_t length) override {
    return std::fwrite(data, 1, length, archive_stream_) == length;
  }

 private:
  std::FILE* archive_stream_;
};

class HashingBodyWriter final : public transfer::BodyWriter {
 public:
  // archive_stream is open for reading as well as writing.
  explicit HashingBodyWriter(std::FILE* archive_stream);
  ~HashingBodyWriter() override;
  HashingBodyWriter(const HashingBodyWriter&) = delete;
  HashingBodyWriter& operator=(const HashingBodyWriter&) = delete;

  // A short write ends the transfer.
  bool Write(const char* data, std::size_t length) override;

  // After the last piece: flushes the stream and waits for the hash of everything written.
  // false when the digest failed or the file could not be read back.
  [[nodiscard]] bool Finish(verification::SignedBytes& result);

 private:
  void Publish(bool finishing);
  void HashFile();
  [[nodiscard]] bool HashRange(std::uint64_t offset, std::uint64_t length);

  std::FILE* archive_stream_;
  int descriptor_;
  verification::SignedBytesHasher hasher_;
  std::uint64_t written_ = 0;  // bytes handed to the stream, on the receiving thread

  // Shared with the hashing thread.
  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t in_file_ = 0;  // bytes flushed into the file, ready to be hashed
  bool finishing_ = false;     // no more bytes will come
  bool stopping_ = false;      // the transfer was abandoned: stop at once
  bool read_failed_ = false;
  std::thread hashing_thread_;  // not joinable: the pieces are hashed on the receiving thread
};

}  // namespace agentcache

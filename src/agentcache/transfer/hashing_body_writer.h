// The write callback of a GET whose archive is to be verified: every piece of the body goes
// into the archive file as it arrives, and a thread of its own hashes the signed bytes from
// the file meanwhile, a little behind the writes, so that the digest is ready soon after the
// last byte rather than a whole pass over the archive later. The hash is thus of the very
// bytes that unzip will read. Where no thread can be started, the pieces are hashed in the
// callback. The thread is stopped and joined on every path by the destructor.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <thread>

#include "verification/signed_bytes.h"

namespace agentcache {

class HashingBodyWriter {
 public:
  // archive_stream is open for reading as well as writing.
  explicit HashingBodyWriter(std::FILE* archive_stream);
  ~HashingBodyWriter();
  HashingBodyWriter(const HashingBodyWriter&) = delete;
  HashingBodyWriter& operator=(const HashingBodyWriter&) = delete;

  // The CURLOPT_WRITEFUNCTION; writer designates a HashingBodyWriter. Returns what fwrite
  // returns: a short count makes libcurl end the transfer with CURLE_WRITE_ERROR.
  static std::size_t Write(char* data, std::size_t size, std::size_t count, void* writer);

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

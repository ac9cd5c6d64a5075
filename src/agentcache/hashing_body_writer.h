// The write callback of a GET whose archive is to be verified: every piece of the body goes
// into the archive file as it arrives, and a thread of its own hashes the signed bytes
// meanwhile, so that the digest is ready soon after the last byte rather than a whole pass
// over the archive later. Where no thread can be started, the pieces are hashed in the
// callback. The thread is stopped and joined on every path by the destructor.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "agentcache/verification/signed_bytes_hasher.h"

namespace agentcache {

class HashingBodyWriter {
 public:
  explicit HashingBodyWriter(std::FILE* archive_stream);
  ~HashingBodyWriter();
  HashingBodyWriter(const HashingBodyWriter&) = delete;
  HashingBodyWriter& operator=(const HashingBodyWriter&) = delete;

  // The CURLOPT_WRITEFUNCTION; writer designates a HashingBodyWriter. Returns what fwrite
  // returns: a short count makes libcurl end the transfer with CURLE_WRITE_ERROR.
  static std::size_t Write(char* data, std::size_t size, std::size_t count, void* writer);

  // After the last piece: waits for the hash of everything written. false only when the
  // digest itself failed.
  [[nodiscard]] bool Finish(SignedBytes& result);

 private:
  using Chunk = std::vector<unsigned char>;

  void Hand(const unsigned char* data, std::size_t length);
  void HandOverFilling();
  void HashChunks();

  std::FILE* archive_stream_;
  SignedBytesHasher hasher_;
  std::unique_ptr<Chunk> filling_;  // collects pieces on the receiving thread

  // Shared with the hashing thread.
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::unique_ptr<Chunk>> full_;   // to be hashed, in order
  std::vector<std::unique_ptr<Chunk>> free_;  // hashed, to be filled again
  bool finishing_ = false;
  std::thread hashing_thread_;  // not joinable: the pieces are hashed on the receiving thread
};

}  // namespace agentcache

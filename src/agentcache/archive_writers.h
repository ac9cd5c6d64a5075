// The writers of a GET's body into the archive file. For an archive to be verified, every
// piece of the body goes into the archive file as it arrives, and a thread of its own hashes the
// signed bytes from the file meanwhile, a little behind the writes, so that the digest is ready
// soon after the last byte rather than a whole pass over the archive later. The hash is thus of the
// very bytes that unzip will read. Where no thread can be started, the pieces are hashed in the
// callback. The thread is stopped and joined on every path by the destructor.
// The archive file is the download's target over all its attempts: it can start again from
// its first byte (the hash with it) and tell whether its bytes end as an archive does.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "transfer/http_session.h"
#include "transfer/retries.h"
#include "verification/signed_bytes.h"

namespace agentcache {

class HashingBodyWriter final : public transfer::BodyWriter {
 public:
  // archive_stream is open for reading as well as writing.
  explicit HashingBodyWriter(std::FILE* archive_stream);
  ~HashingBodyWriter() override;
  HashingBodyWriter(const HashingBodyWriter&) = delete;
  HashingBodyWriter& operator=(const HashingBodyWriter&) = delete;

  // A short write ends the transfer.
  bool Write(const char* data, std::size_t length) override;

  // The file already holds length bytes, which the next Write follows: they are hashed too.
  void Adopt(std::uint64_t length);

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

// The archive file as a download fills it, hashed on the way for a launcher with keys.
class ArchiveTarget final : public transfer::DownloadTarget {
 public:
  // archive_stream is open for reading and writing and holds held bytes, at whose end it is
  // positioned; archive_path names it.
  ArchiveTarget(std::FILE* archive_stream, std::string archive_path, bool hashed,
                std::uint64_t held = 0);

  // Decides, from each response's headers, whether its body is wanted; all are by default.
  void DecideBodiesBy(std::function<bool(const transfer::Response&)> wanted) {
    wanted_ = std::move(wanted);
  }

  bool Begin(const transfer::Response& response) override;
  bool Write(const char* data, std::size_t length) override;
  [[nodiscard]] std::uint64_t length() const override { return length_; }
  [[nodiscard]] bool Restart() override;
  [[nodiscard]] bool EndsAsArchive() override;

  // After the last attempt, once the stream is flushed: the digest of a hashed archive in
  // result; false when it failed.
  [[nodiscard]] bool Finish(verification::SignedBytes& result);

  // Flushes what the stream still holds; false when the file cannot take it.
  [[nodiscard]] bool Flush();

  // "Details: No space left on device while writing PATH" after a write that failed, else "".
  [[nodiscard]] std::string WriteFailureDetails() const;

 private:
  std::FILE* archive_stream_;
  std::string archive_path_;
  bool hashed_;
  int write_error_ = 0;  // the errno of the write that failed
  std::unique_ptr<HashingBodyWriter> hashing_;
  std::function<bool(const transfer::Response&)> wanted_;
  std::uint64_t length_ = 0;
};

}  // namespace agentcache

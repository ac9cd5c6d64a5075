#include "agentcache/archive_writers.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <system_error>
#include <vector>

namespace agentcache {
namespace {

// The hashing thread maps the file a window at a time, so the bytes are hashed straight from
// the page cache, with no copy. A window is a multiple of the page size, so every mapping
// starts on a page.
constexpr std::uint64_t kWindow = 2 << 20;
constexpr std::size_t kReadPiece = 256 << 10;

}  // namespace

HashingBodyWriter::HashingBodyWriter(std::FILE* archive_stream)
    : archive_stream_(archive_stream), descriptor_(fileno(archive_stream)) {
  try {
    hashing_thread_ = std::thread([this] { HashFile(); });
  } catch (const std::system_error&) {
    // No second thread: the receiving thread hashes, which is only slower.
  }
}

HashingBodyWriter::~HashingBodyWriter() {
  if (!hashing_thread_.joinable()) return;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  hashing_thread_.join();
}

bool HashingBodyWriter::Write(const char* data, std::size_t length) {
  const std::size_t written = std::fwrite(data, 1, length, archive_stream_);
  if (!hashing_thread_.joinable()) {
    hasher_.Feed(data, written);
    return written == length;
  }
  written_ += written;
  if (written_ - in_file_ >= kWindow) {
    Publish(/*finishing=*/false);
  }
  return written == length;
}

void HashingBodyWriter::Adopt(std::uint64_t length) {
  if (!hashing_thread_.joinable()) {
    if (!HashRange(0, length)) read_failed_ = true;
    return;
  }
  written_ = length;
  Publish(/*finishing=*/false);
}

// in_file_ is read here without the lock: only this thread writes it.
void HashingBodyWriter::Publish(bool finishing) {
  // What the stream still buffers is not in the file yet. A flush that fails is the
  // download's failure, reported when it flushes after the transfer.
  if (std::fflush(archive_stream_) != 0 && !finishing) return;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    in_file_ = written_;
    finishing_ = finishing;
  }
  changed_.notify_all();
}

void HashingBodyWriter::HashFile() {
  // Stop signals are for the receiving thread, whose wait in libcurl they cut short.
  sigset_t all_signals;
  sigfillset(&all_signals);
  pthread_sigmask(SIG_BLOCK, &all_signals, nullptr);
  std::uint64_t hashed = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stopping_ || finishing_ || in_file_ - hashed >= kWindow; });
    if (stopping_) return;
    const std::uint64_t end = finishing_ ? in_file_ : in_file_ - (in_file_ - hashed) % kWindow;
    if (end == hashed) return;
    lock.unlock();
    const bool read = HashRange(hashed, end - hashed);
    lock.lock();
    if (!read) {
      read_failed_ = true;
      return;
    }
    hashed = end;
  }
}

bool HashingBodyWriter::HashRange(std::uint64_t offset, std::uint64_t length) {
  void* const mapping = ::mmap(nullptr, length, PROT_READ, MAP_SHARED | MAP_POPULATE, descriptor_,
                               static_cast<off_t>(offset));
  if (mapping != MAP_FAILED) {
    hasher_.Feed(mapping, length);
    ::munmap(mapping, length);
    return true;
  }
  // Where the file cannot be mapped, it is read back instead.
  const auto buffer = std::make_unique<unsigned char[]>(kReadPiece);
  while (length > 0) {
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(length, kReadPiece));
    const ssize_t got = ::pread(descriptor_, buffer.get(), wanted, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    hasher_.Feed(buffer.get(), static_cast<std::size_t>(got));
    offset += static_cast<std::uint64_t>(got);
    length -= static_cast<std::uint64_t>(got);
  }
  return true;
}

bool HashingBodyWriter::Finish(verification::SignedBytes& result) {
  if (hashing_thread_.joinable()) {
    Publish(/*finishing=*/true);
    // Joined here, so the hasher is this thread's again.
    hashing_thread_.join();
  }
  return !read_failed_ && hasher_.Finish(result);
}

ArchiveTarget::ArchiveTarget(std::FILE* archive_stream, std::string archive_path, bool hashed,
                             std::uint64_t held)
    : archive_stream_(archive_stream),
      archive_path_(std::move(archive_path)),
      hashed_(hashed),
      length_(held) {
  if (hashed_) hashing_ = std::make_unique<HashingBodyWriter>(archive_stream_);
  if (hashing_ && held > 0) hashing_->Adopt(held);
}

bool ArchiveTarget::Begin(const transfer::Response& response) {
  return !wanted_ || wanted_(response);
}

bool ArchiveTarget::Write(const char* data, std::size_t length) {
  errno = 0;
  const bool written = hashing_ ? hashing_->Write(data, length)
                                : std::fwrite(data, 1, length, archive_stream_) == length;
  if (written) {
    length_ += length;
  } else {
    write_error_ = errno != 0 ? errno : EIO;
  }
  return written;
}

bool ArchiveTarget::Restart() {
  hashing_.reset();  // its thread stopped before the file shrinks under it
  std::clearerr(archive_stream_);
  if (std::fflush(archive_stream_) != 0 || ::ftruncate(fileno(archive_stream_), 0) != 0 ||
      std::fseek(archive_stream_, 0, SEEK_SET) != 0) {
    write_error_ = errno;
    return false;
  }
  length_ = 0;
  if (hashed_) hashing_ = std::make_unique<HashingBodyWriter>(archive_stream_);
  return true;
}

bool ArchiveTarget::EndsAsArchive() {
  if (std::fflush(archive_stream_) != 0) return false;
  const std::uint64_t tail_length =
      std::min<std::uint64_t>(length_, verification::kEndRecordSearchBytes);
  std::vector<unsigned char> tail(static_cast<std::size_t>(tail_length));
  std::size_t got = 0;
  while (got < tail.size()) {
    const ssize_t piece = ::pread(fileno(archive_stream_), tail.data() + got, tail.size() - got,
                                  static_cast<off_t>(length_ - tail_length + got));
    if (piece < 0 && errno == EINTR) continue;
    if (piece <= 0) return false;
    got += static_cast<std::size_t>(piece);
  }
  return verification::FindEndRecord(tail.data(), tail.size()).status ==
         verification::EndRecordLocation::Status::kFound;
}

bool ArchiveTarget::Flush() {
  if (std::fflush(archive_stream_) == 0) return true;
  write_error_ = errno;
  return false;
}

std::string ArchiveTarget::WriteFailureDetails() const {
  if (write_error_ == 0) return "";
  return std::string("Details: ") + std::strerror(write_error_) + " while writing " + archive_path_;
}

bool ArchiveTarget::Finish(verification::SignedBytes& result) {
  return !hashing_ || hashing_->Finish(result);
}

}  // namespace agentcache

#include "agentcache/hashing_body_writer.h"

#include <algorithm>
#include <system_error>

namespace agentcache {
namespace {

// Small enough that a chunk is still in the processor's cache when the hashing thread reads
// it; enough of them that the receiving thread seldom waits for the hash.
constexpr std::size_t kChunkSize = 256 << 10;
constexpr std::size_t kChunkCount = 8;

}  // namespace

HashingBodyWriter::HashingBodyWriter(std::FILE* archive_stream) : archive_stream_(archive_stream) {
  filling_ = std::make_unique<Chunk>();
  filling_->reserve(kChunkSize);
  for (std::size_t index = 1; index < kChunkCount; ++index) {
    free_.push_back(std::make_unique<Chunk>());
    free_.back()->reserve(kChunkSize);
  }
  try {
    hashing_thread_ = std::thread([this] { HashChunks(); });
  } catch (const std::system_error&) {
    // No second thread: the receiving thread hashes, which is only slower.
  }
}

HashingBodyWriter::~HashingBodyWriter() {
  if (!hashing_thread_.joinable()) return;
  {
    // An abandoned transfer: what is still queued is of no use.
    const std::lock_guard<std::mutex> lock(mutex_);
    full_.clear();
    finishing_ = true;
  }
  changed_.notify_all();
  hashing_thread_.join();
}

std::size_t HashingBodyWriter::Write(char* data, std::size_t size, std::size_t count,
                                     void* writer) {
  auto* const self = static_cast<HashingBodyWriter*>(writer);
  const std::size_t written = std::fwrite(data, size, count, self->archive_stream_);
  self->Hand(reinterpret_cast<const unsigned char*>(data), written * size);
  return written;
}

void HashingBodyWriter::Hand(const unsigned char* data, std::size_t length) {
  if (!hashing_thread_.joinable()) {
    hasher_.Feed(data, length);
    return;
  }
  while (length > 0) {
    const std::size_t taken = std::min(length, kChunkSize - filling_->size());
    filling_->insert(filling_->end(), data, data + taken);
    data += taken;
    length -= taken;
    if (filling_->size() == kChunkSize) {
      HandOverFilling();
    }
  }
}

void HashingBodyWriter::HandOverFilling() {
  std::unique_lock<std::mutex> lock(mutex_);
  full_.push_back(std::move(filling_));
  changed_.notify_all();
  changed_.wait(lock, [this] { return !free_.empty(); });
  filling_ = std::move(free_.back());
  free_.pop_back();
  filling_->clear();
}

void HashingBodyWriter::HashChunks() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return !full_.empty() || finishing_; });
    if (full_.empty()) {
      return;
    }
    std::unique_ptr<Chunk> chunk = std::move(full_.front());
    full_.pop_front();
    lock.unlock();
    hasher_.Feed(chunk->data(), chunk->size());
    lock.lock();
    free_.push_back(std::move(chunk));
    changed_.notify_all();
  }
}

bool HashingBodyWriter::Finish(SignedBytes& result) {
  if (hashing_thread_.joinable()) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (!filling_->empty()) {
        full_.push_back(std::move(filling_));
      }
      finishing_ = true;
    }
    changed_.notify_all();
    // Joined here, so the hasher is the receiving thread's again.
    hashing_thread_.join();
  }
  return hasher_.Finish(result);
}

}  // namespace agentcache

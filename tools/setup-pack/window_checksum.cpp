#include "window_checksum.h"

#include <system_error>

#include "crc32.h"

namespace pack {

WindowChecksum::WindowChecksum() {
  try {
    worker_ = std::thread([this] { Work(); });
  } catch (const std::system_error&) {
    // No second thread: Start then checksums on the caller's thread, which is only slower.
  }
}

WindowChecksum::~WindowChecksum() {
  if (worker_.joinable()) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    worker_.join();
  }
}

void WindowChecksum::Start(std::uint32_t crc, const unsigned char* data, std::size_t length) {
  if (!worker_.joinable()) {
    crc_ = Crc32Update(crc, data, length);
    return;
  }
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    crc_ = crc;
    data_ = data;
    length_ = length;
    pending_ = true;
  }
  changed_.notify_all();
}

std::uint32_t WindowChecksum::Finish() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !pending_; });
  return crc_;
}

void WindowChecksum::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return pending_ || stopping_; });
    if (!pending_) {
      return;
    }
    const unsigned char* data = data_;
    const std::size_t length = length_;
    const std::uint32_t crc = crc_;
    lock.unlock();
    const std::uint32_t result = Crc32Update(crc, data, length);
    lock.lock();
    crc_ = result;
    pending_ = false;
    changed_.notify_all();
  }
}

}  // namespace pack

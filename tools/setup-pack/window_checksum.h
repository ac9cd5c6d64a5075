// Computes the CRC-32 of one mapped window of an input on a second thread while the caller
// writes the same window out, so the checksum adds no time to the copy. Where no thread can
// be started, the checksum runs on the caller's thread instead.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <tuple>

namespace pack {

class WindowChecksum {
 public:
  WindowChecksum();
  ~WindowChecksum();
  WindowChecksum(const WindowChecksum&) = delete;
  WindowChecksum& operator=(const WindowChecksum&) = delete;

  // Starts continuing `crc` over the bytes, which must stay mapped until Finish returns.
  void Start(std::uint32_t crc, const unsigned char* data, std::size_t length);
  // Waits for the window started last and returns its CRC. Must follow every Start.
  [[nodiscard]] std::uint32_t Finish();

 private:
  void Work();

  std::mutex mutex_;
  std::condition_variable changed_;
  const unsigned char* data_ = nullptr;
  std::size_t length_ = 0;
  std::uint32_t crc_ = 0;
  bool pending_ = false;
  bool stopping_ = false;
  std::thread worker_;
};

// Finishes the checksum of a window on every way out of the scope that mapped it, so the
// worker never reads a window that is already unmapped.
class PendingChecksum {
 public:
  PendingChecksum(WindowChecksum& checksum, std::uint32_t crc, const unsigned char* data,
                  std::size_t length)
      : checksum_(checksum) {
    checksum_.Start(crc, data, length);
  }
  ~PendingChecksum() {
    if (!finished_) {
      std::ignore = checksum_.Finish();
    }
  }
  PendingChecksum(const PendingChecksum&) = delete;
  PendingChecksum& operator=(const PendingChecksum&) = delete;

  [[nodiscard]] std::uint32_t Finish() {
    finished_ = true;
    return checksum_.Finish();
  }

 private:
  WindowChecksum& checksum_;
  bool finished_ = false;
};

}  // namespace pack

// Bytes placed at the very end of a readable, writable page that is followed by an
// inaccessible one, so any access past them faults at once.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <string>

namespace agentcache_test {

class GuardedBytes {
 public:
  explicit GuardedBytes(std::size_t size) : size_(size) {
    page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    if (size_ > page_) throw std::runtime_error("guarded region larger than a page");
    void* mapping =
        mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) throw std::runtime_error("mmap failed");
    mapping_ = static_cast<char*>(mapping);
    if (mprotect(mapping_ + page_, page_, PROT_NONE) != 0) throw std::runtime_error("mprotect");
    std::memset(mapping_, 0x5A, page_);
    data_ = mapping_ + page_ - size_;
  }
  explicit GuardedBytes(const std::string& content) : GuardedBytes(content.size()) {
    std::memcpy(data_, content.data(), content.size());
  }
  ~GuardedBytes() { munmap(mapping_, 2 * page_); }
  GuardedBytes(const GuardedBytes&) = delete;
  GuardedBytes& operator=(const GuardedBytes&) = delete;

  [[nodiscard]] char* data() const { return data_; }
  [[nodiscard]] std::size_t size() const { return size_; }
  // The bytes just before the region: they must keep their fill.
  [[nodiscard]] bool FrontUntouched() const {
    for (const char* byte = mapping_; byte < data_; ++byte) {
      if (*byte != 0x5A) return false;
    }
    return true;
  }

 private:
  std::size_t size_;
  std::size_t page_ = 0;
  char* mapping_ = nullptr;
  char* data_ = nullptr;
};

}  // namespace agentcache_test

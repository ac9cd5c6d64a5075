// Maps a stretch of an input file read-only while it is copied, and unmaps it when destroyed.
// The copy then reads the page cache in place instead of copying it into a buffer first.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pack {

class MappedWindow {
 public:
  // `offset` must be a multiple of the page size. The pages are mapped at once (MAP_POPULATE),
  // so the copy does not fault on each of them.
  MappedWindow(int descriptor, std::uint64_t offset, std::size_t length);
  ~MappedWindow();
  MappedWindow(const MappedWindow&) = delete;
  MappedWindow& operator=(const MappedWindow&) = delete;

  // False when the file system cannot map the file; the caller then reads it instead.
  [[nodiscard]] bool valid() const { return mapping_ != nullptr; }
  [[nodiscard]] const unsigned char* data() const {
    return static_cast<const unsigned char*>(mapping_);
  }

 private:
  void* mapping_ = nullptr;
  std::size_t length_ = 0;
};

}  // namespace pack

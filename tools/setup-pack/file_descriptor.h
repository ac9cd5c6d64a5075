// Owns one open file descriptor and closes it when destroyed.
#pragma once

#include <unistd.h>

#include <tuple>
#include <utility>

namespace pack {

class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int descriptor) : descriptor_(descriptor) {}
  ~FileDescriptor() {
    // Inputs are only read; the output is closed with Close() before it is renamed into place,
    // which does look at the result. Nothing is left to report here.
    std::ignore = Close();
  }
  FileDescriptor(FileDescriptor&& other) noexcept
      : descriptor_(std::exchange(other.descriptor_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      std::ignore = Close();
      descriptor_ = std::exchange(other.descriptor_, -1);
    }
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  [[nodiscard]] int get() const { return descriptor_; }
  [[nodiscard]] bool valid() const { return descriptor_ >= 0; }

  // 0, or -1 with errno set; the descriptor is gone either way.
  [[nodiscard]] int Close() {
    const int result = descriptor_ >= 0 ? ::close(descriptor_) : 0;
    descriptor_ = -1;
    return result;
  }

 private:
  int descriptor_ = -1;
};

}  // namespace pack

#include "mapped_window.h"

#include <sys/mman.h>

namespace pack {

MappedWindow::MappedWindow(int descriptor, std::uint64_t offset, std::size_t length) {
  if (length == 0) {
    return;
  }
  void* mapping = ::mmap(nullptr, length, PROT_READ, MAP_SHARED | MAP_POPULATE, descriptor,
                         static_cast<off_t>(offset));
  if (mapping != MAP_FAILED) {
    mapping_ = mapping;
    length_ = length;
  }
}

MappedWindow::~MappedWindow() {
  if (mapping_ != nullptr) {
    ::munmap(mapping_, length_);
  }
}

}  // namespace pack

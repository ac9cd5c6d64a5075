#include "agentcache/verification/record_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace agentcache {
namespace {

constexpr off_t kMaxRecordSize = 4096;

// Owns a temporary file until it is renamed into place; removes it on every other way out.
class PendingRecord {
 public:
  explicit PendingRecord(std::string path_template) : path_(std::move(path_template)) {
    descriptor_ = ::mkostemp(path_.data(), O_CLOEXEC);
    if (descriptor_ < 0) path_.clear();
  }
  ~PendingRecord() {
    if (descriptor_ >= 0) ::close(descriptor_);
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  PendingRecord(const PendingRecord&) = delete;
  PendingRecord& operator=(const PendingRecord&) = delete;

  // On the disk before it is renamed into place, so that a crash leaves the old text or the
  // new one, never an empty file.
  [[nodiscard]] bool Write(const std::string& text) {
    return descriptor_ >= 0 && ::fchmod(descriptor_, 0600) == 0 && WriteWhole(descriptor_, text) &&
           ::fsync(descriptor_) == 0;
  }

  [[nodiscard]] bool RenameTo(const std::string& path) {
    const int descriptor = descriptor_;
    descriptor_ = -1;
    if (::close(descriptor) != 0 || ::rename(path_.c_str(), path.c_str()) != 0) return false;
    path_.clear();
    return true;
  }

 private:
  std::string path_;
  int descriptor_ = -1;
};

// The rename itself lasts only once the directory is on the disk too.
bool SyncDirectory(const std::string& directory) {
  const int descriptor =
      ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) return false;
  const bool synced = ::fsync(descriptor) == 0;
  ::close(descriptor);
  return synced;
}

}  // namespace

bool WriteWhole(int descriptor, const std::string& text) {
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t length = ::write(descriptor, text.data() + written, text.size() - written);
    if (length < 0 && errno == EINTR) continue;
    if (length <= 0) return false;
    written += static_cast<std::size_t>(length);
  }
  return true;
}

std::string PathInDirectory(const std::string& directory, const std::string& name) {
  if (directory.empty() || directory.back() == '/') return directory + name;
  return directory + "/" + name;
}

bool WriteRecordFile(const std::string& directory, const std::string& name,
                     const std::string& text) {
  const std::string path = PathInDirectory(directory, name);
  PendingRecord pending(path + ".XXXXXX");
  return pending.Write(text) && pending.RenameTo(path) && SyncDirectory(directory);
}

RecordRead ReadRecordFile(const std::string& directory, const std::string& name,
                          std::string& text) {
  text.clear();
  const std::string path = PathInDirectory(directory, name);
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (descriptor < 0) {
    return errno == ENOENT ? RecordRead::kAbsent : RecordRead::kUnreadable;
  }
  struct stat status {};
  bool read = ::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) &&
              status.st_uid == ::geteuid() && status.st_size <= kMaxRecordSize;
  std::vector<char> buffer(static_cast<std::size_t>(kMaxRecordSize) + 1);
  ssize_t length = 0;
  while (read && (length = ::read(descriptor, buffer.data(), buffer.size())) < 0 &&
         errno == EINTR) {
  }
  ::close(descriptor);
  // One read of a regular file this small returns all of it; more than the limit is a fault.
  read = read && length >= 0 && length <= kMaxRecordSize;
  if (!read) return RecordRead::kUnreadable;
  text.assign(buffer.data(), static_cast<std::size_t>(length));
  return RecordRead::kRead;
}

}  // namespace agentcache

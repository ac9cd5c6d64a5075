#include "base/files.h"

#include <fcntl.h>
#include <stdlib.h>

#include <cerrno>

namespace base {
namespace {

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The rename itself lasts only once the directory is on the disk too.
bool SyncDirectory(const std::string& directory) {
  const FileDescriptor descriptor(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return descriptor.valid() && ::fsync(descriptor.get()) == 0;
}

}  // namespace

bool WriteWhole(int descriptor, const void* data, std::size_t length, std::uint64_t offset) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::size_t written = 0;
  while (written < length) {
    const ssize_t count = offset == kAtFilePosition
                              ? ::write(descriptor, bytes + written, length - written)
                              : ::pwrite(descriptor, bytes + written, length - written,
                                         static_cast<off_t>(offset + written));
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return false;
    if (count == 0) {
      errno = EIO;
      return false;
    }
    written += static_cast<std::size_t>(count);
  }
  return true;
}

std::string PathInDirectory(const std::string& directory, const std::string& name) {
  if (directory.empty() || directory.back() == '/') return directory + name;
  return directory + "/" + name;
}

ReplacementFile::ReplacementFile(std::string target, std::string temporary_template)
    : target_(std::move(target)), temporary_path_(std::move(temporary_template)) {
  descriptor_ = FileDescriptor(::mkostemp(temporary_path_.data(), O_CLOEXEC));
  if (!descriptor_.valid()) temporary_path_.clear();
}

ReplacementFile::~ReplacementFile() {
  if (!temporary_path_.empty()) ::unlink(temporary_path_.c_str());
}

bool ReplacementFile::Commit(Durability durability) {
  CommitStep failed_step{};
  return Commit(durability, failed_step);
}

bool ReplacementFile::Commit(Durability durability, CommitStep& failed_step) {
  failed_step = CommitStep::kWrite;
  if (!descriptor_.valid()) return false;
  if (durability == Durability::kDurable && ::fsync(descriptor_.get()) != 0) return false;
  if (descriptor_.Close() != 0) return false;
  failed_step = CommitStep::kRename;
  if (::rename(temporary_path_.c_str(), target_.c_str()) != 0) return false;
  temporary_path_.clear();
  failed_step = CommitStep::kSyncDirectory;
  return durability == Durability::kAtomic || SyncDirectory(DirectoryOf(target_));
}

}  // namespace base

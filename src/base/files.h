// The owners of open files shared by the launcher and setup-pack, the one loop that writes
// everything it is given, and the one way to replace a file whole: a temporary file beside
// it, renamed over it once complete, removed on every other way out.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

namespace base {

// Owns one open file descriptor and closes it when destroyed.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int descriptor) : descriptor_(descriptor) {}
  ~FileDescriptor() {
    // Callers that care about the result call Close() themselves first.
    static_cast<void>(Close());
  }
  FileDescriptor(FileDescriptor&& other) noexcept
      : descriptor_(std::exchange(other.descriptor_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      static_cast<void>(Close());
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

struct FileCloser {
  // The result of closing is not a verdict here: callers that care about the written
  // bytes flush and check before they let go of the stream.
  void operator()(std::FILE* stream) const { std::fclose(stream); }
};

// A FILE stream that closes itself.
using OwnedFile = std::unique_ptr<std::FILE, FileCloser>;

// Writes all `length` bytes, resuming after interruptions and short writes: at the file
// position, or from `offset` on with pwrite when one is given. false, with errno set, when
// the descriptor takes no more (EIO when it takes nothing and says no more).
inline constexpr std::uint64_t kAtFilePosition = ~std::uint64_t{0};
[[nodiscard]] bool WriteWhole(int descriptor, const void* data, std::size_t length,
                              std::uint64_t offset = kAtFilePosition);
[[nodiscard]] inline bool WriteWhole(int descriptor, const std::string& text) {
  return WriteWhole(descriptor, text.data(), text.size());
}

// Joins a directory and a name with exactly one separator between them.
[[nodiscard]] std::string PathInDirectory(const std::string& directory, const std::string& name);

// A file that replaces `target` whole: created close-on-exec (mode 0600) from
// `temporary_template` (a path ending in XXXXXX, in the target's directory), written through
// descriptor(), then renamed over the target by Commit. Destroyed uncommitted, it is removed,
// so the target's name never holds a half-written file.
class ReplacementFile {
 public:
  ReplacementFile(std::string target, std::string temporary_template);
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  // false, with errno set, when the temporary file could not be made.
  [[nodiscard]] bool valid() const { return descriptor_.valid(); }
  [[nodiscard]] int descriptor() const { return descriptor_.get(); }
  [[nodiscard]] const std::string& temporary_path() const { return temporary_path_; }

  enum class Durability {
    kAtomic,   // the rename alone: after a crash the target may hold the old text
    kDurable,  // the file synced before the rename and the directory after it
  };
  // false, with errno set, when any step failed; the target then holds what it held.
  [[nodiscard]] bool Commit(Durability durability);

  // The step a Commit failed at: writing the file out (its sync, or its close, where some file
  // systems report a write that failed late), renaming it, or syncing the directory.
  enum class CommitStep { kWrite, kRename, kSyncDirectory };
  // The same, naming the failed step for callers whose messages tell a write from a rename.
  [[nodiscard]] bool Commit(Durability durability, CommitStep& failed_step);

 private:
  std::string target_;
  std::string temporary_path_;
  FileDescriptor descriptor_;
};

}  // namespace base

#include "localfs/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <deque>
#include <tuple>
#include <vector>

#include "base/release_constants.h"

namespace localfs {

namespace {

// The kernel's own limit on links in one resolution.
constexpr int kMaxLinks = 40;
constexpr mode_t kWritableByOthers = S_IWGRP | S_IWOTH;

// Owns a descriptor that names one entry without opening it (O_PATH), so that its status and,
// for a link, its target are read from the same entry.
class EntryHandle {
 public:
  explicit EntryHandle(const std::string& path)
      : fd_(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC)) {}
  ~EntryHandle() {
    if (fd_ >= 0) ::close(fd_);
  }
  EntryHandle(const EntryHandle&) = delete;
  EntryHandle& operator=(const EntryHandle&) = delete;

  [[nodiscard]] bool Status(struct stat& entry) const {
    return fd_ >= 0 && ::fstat(fd_, &entry) == 0;
  }
  [[nodiscard]] bool LinkTarget(std::string& target) const {
    std::vector<char> buffer(PATH_MAX);
    const ssize_t length = ::readlinkat(fd_, "", buffer.data(), buffer.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) return false;
    target.assign(buffer.data(), static_cast<std::size_t>(length));
    return true;
  }

 private:
  int fd_;
};

void AppendComponents(const std::string& path, std::deque<std::string>& components) {
  std::deque<std::string> found;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) found.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  components.insert(components.begin(), found.begin(), found.end());
}

std::string Joined(const std::vector<std::string>& components) {
  if (components.empty()) return "/";
  std::string path;
  for (const std::string& component : components) path += "/" + component;
  return path;
}

}  // namespace

Resolution ResolvePath(const std::string& path, std::string& resolved) {
  resolved.clear();
  if (path.empty() || path[0] != '/') return Resolution::kFailed;
  std::vector<std::string> done;
  std::deque<std::string> pending;
  AppendComponents(path, pending);
  int links = 0;
  while (!pending.empty()) {
    const std::string name = pending.front();
    pending.pop_front();
    if (name == ".") continue;
    if (name == "..") {
      // Lexically right: everything resolved so far is a real directory.
      if (!done.empty()) done.pop_back();
      continue;
    }
    done.push_back(name);
    const EntryHandle handle(Joined(done));
    struct stat entry {};
    if (!handle.Status(entry)) return errno == ENOENT ? Resolution::kMissing : Resolution::kFailed;
    if (!S_ISLNK(entry.st_mode)) continue;
    if (entry.st_uid != ::geteuid() && entry.st_uid != 0) return Resolution::kForeignLink;
    std::string target;
    if (++links > kMaxLinks || !handle.LinkTarget(target)) return Resolution::kFailed;
    done.pop_back();
    if (target[0] == '/') done.clear();
    AppendComponents(target, pending);
  }
  resolved = Joined(done);
  return Resolution::kResolved;
}

bool OnlyOwnersChangeEntries(const struct stat& directory) {
  if (!S_ISDIR(directory.st_mode)) return false;
  if (directory.st_uid != ::geteuid() && directory.st_uid != 0) return false;
  return (directory.st_mode & S_ISVTX) != 0 || (directory.st_mode & kWritableByOthers) == 0;
}

bool DirectoriesGuarded(const std::string& resolved) {
  if (resolved.empty() || resolved[0] != '/') return false;
  struct stat directory {};
  if (::lstat("/", &directory) != 0 || !OnlyOwnersChangeEntries(directory)) return false;
  // Then each prefix that ends before a separator, and the whole path.
  for (std::size_t end = 2; end <= resolved.size(); ++end) {
    if (end < resolved.size() && resolved[end] != '/') continue;
    if (::lstat(resolved.substr(0, end).c_str(), &directory) != 0 ||
        !OnlyOwnersChangeEntries(directory)) {
      return false;
    }
  }
  return true;
}

bool OwnAndClosed(const struct stat& entry) {
  return entry.st_uid == ::geteuid() && (entry.st_mode & kWritableByOthers) == 0;
}

int EnsureDirectory(const std::string& path, mode_t mode) {
  struct stat entry {};
  if (stat(path.c_str(), &entry) != 0) {
    // A directory that could not be made shows up later, when it is used.
    std::ignore = mkdir(path.c_str(), mode);
    return 0;
  }
  if (S_ISDIR(entry.st_mode)) return 0;
  errno = ENOTDIR;
  return -1;
}

int MakeDirectories(std::string path, mode_t mode) {
  const char separator = base::PathSeparator[0];
  for (std::string::size_type position = 0; position < path.size(); ++position) {
    if (path[position] != separator) continue;
    // A leading separator, or one that directly follows another, ends no component.
    if (position == 0 || path[position - 1] == separator) continue;
    const int result = EnsureDirectory(path.substr(0, position), mode);
    if (result != 0) return result;
  }
  return EnsureDirectory(path, mode);
}

}  // namespace localfs

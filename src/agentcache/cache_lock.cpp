#include "agentcache/cache_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <tuple>
#include <utility>

#include "agentcache/cache_directory.h"
#include "base/files.h"
#include "base/release_constants.h"
#include "base/trace.h"
#include "localfs/interruption.h"

namespace agentcache {

namespace {

constexpr mode_t kLockFileMode = 0600;

// A blocking F_OFD_SETLKW would be restarted after the interruption handler ran, and could
// not show the waiting line; so the wait tries without blocking, sleeping in between. The
// steps grow, so a short wait ends soon after the other run lets go and a long one costs
// little.
constexpr std::chrono::milliseconds kFirstPollInterval{5};
constexpr std::chrono::milliseconds kLongestPollInterval{100};

}  // namespace

CacheLock CacheLock::ForCacheDirectory(const std::string& cache_directory) {
  const std::string lock_path = cache_directory + base::CacheLockName;
  // Read and write access: an exclusive lock needs a descriptor open for writing, though
  // nothing is ever written.
  const int fd =
      open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, kLockFileMode);
  if (fd < 0) {
    return CacheLock();
  }
  CacheLock lock(fd);
  struct stat lock_file {};
  if (fstat(fd, &lock_file) != 0 || !agentcache::OwnRegularFile(lock_file)) {
    lock.Close();
  }
  return lock;
}

std::string CacheLock::FileIdentity() const {
  struct stat lock_file {};
  if (fd_ < 0 || fstat(fd_, &lock_file) != 0) {
    return "";
  }
  return std::to_string(lock_file.st_dev) + ":" + std::to_string(lock_file.st_ino);
}

CacheLock::~CacheLock() { Close(); }

CacheLock::CacheLock(CacheLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

CacheLock& CacheLock::operator=(CacheLock&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

bool CacheLock::WaitShared() { return Wait(F_RDLCK); }

bool CacheLock::WaitExclusive() {
  std::ignore = Try(F_UNLCK);
  return Wait(F_WRLCK);
}

void CacheLock::KeepShared() {
  // Converting a lock this descriptor holds alone never conflicts with another run.
  std::ignore = Try(F_RDLCK);
}

bool CacheLock::Wait(short lock_type) {
  if (localfs::InterruptRequested()) {
    return false;
  }
  if (Try(lock_type) == Attempt::kTaken) {
    return true;
  }
  const char* const kind = lock_type == F_WRLCK ? "exclusive" : "shared";
  base::Trace(std::string("cache lock: waiting for the ") + kind + " lock");
  WaitNotice notice(WaitNotice::Clock::now());
  std::chrono::milliseconds interval = kFirstPollInterval;
  do {
    notice.Update(WaitNotice::Clock::now());
    localfs::SleepUnlessInterrupted(interval);
    if (localfs::InterruptRequested()) {
      base::Trace("cache lock: the wait was interrupted");
      return false;
    }
    interval = std::min(interval * 2, kLongestPollInterval);
  } while (Try(lock_type) == Attempt::kBusy);
  base::Trace(std::string("cache lock: the ") + kind + " lock is taken");
  return true;
}

CacheLock::Attempt CacheLock::Try(short lock_type) {
  if (fd_ < 0) {
    return Attempt::kTaken;
  }
  struct flock whole_file {};
  whole_file.l_type = lock_type;
  whole_file.l_whence = SEEK_SET;
  whole_file.l_start = 0;
  whole_file.l_len = 0;
  if (fcntl(fd_, F_OFD_SETLK, &whole_file) == 0) {
    return Attempt::kTaken;
  }
  if (errno == EAGAIN || errno == EACCES || errno == EINTR) {
    return Attempt::kBusy;
  }
  // ENOLCK, EINVAL, EOPNOTSUPP: this file system keeps no such locks. The cache is used
  // unlocked from here on, as it was before the lock existed.
  Close();
  return Attempt::kTaken;
}

void CacheLock::Close() {
  if (fd_ >= 0) {
    // Nothing was written, so the result of closing tells nothing.
    std::ignore = close(fd_);
    fd_ = -1;
  }
}

namespace {

constexpr char kHeldLocksVariable[] = "QX_HELD_AGENT_CACHE_LOCKS";
constexpr char kEntrySeparator = ',';

std::string InheritedList() {
  const char* const list = std::getenv(kHeldLocksVariable);
  return list != nullptr ? list : "";
}

}  // namespace

bool HeldByAncestor(const std::string& lock_identity) {
  if (lock_identity.empty()) return false;
  const std::string list = InheritedList();
  std::string::size_type start = 0;
  while (start <= list.size()) {
    std::string::size_type end = list.find(kEntrySeparator, start);
    if (end == std::string::npos) end = list.size();
    if (list.compare(start, end - start, lock_identity) == 0) return true;
    start = end + 1;
  }
  return false;
}

void AnnounceHeldLock(const std::string& lock_identity) {
  std::string list = InheritedList();
  if (!list.empty()) list += kEntrySeparator;
  list += lock_identity;
  // Without the entry a nested launcher of this release whose agent is stale waits for
  // this run; that is all a failed setenv (out of memory) costs.
  std::ignore = setenv(kHeldLocksVariable, list.c_str(), 1);
}

WaitNotice::WaitNotice(Clock::time_point start)
    : enabled_(isatty(STDERR_FILENO) == 1), start_(start) {}

WaitNotice::~WaitNotice() {
  if (drawn_) {
    // A line that the terminal did not take is lost, nothing more.
    std::ignore = base::WriteWhole(STDERR_FILENO, "\n");
  }
}

void WaitNotice::Update(Clock::time_point now) {
  if (!enabled_ || drawn_ || now - start_ < kDelay) {
    return;
  }
  // A line that the terminal did not take is lost, nothing more.
  std::ignore = base::WriteWhole(STDERR_FILENO, kText);
  drawn_ = true;
}

}  // namespace agentcache

// The lock of the per-user agent cache, the file ".lock" in the cache directory: shared
// while a run examines the cached agent and until the agent's command has ended, exclusive
// while a run replaces the agent. Open-file-description locks over the whole file, which
// the kernel releases however the launcher ends; the descriptor is close-on-exec, so no
// child holds the lock. Where no lock can be had, the cache is used unlocked.
// Also here: QX_HELD_AGENT_CACHE_LOCKS, the locks that the launchers which started this one
// hold until their agents end (a launcher run by such an agent never waits for one), and the
// line that tells a user on a terminal that the run waits for another run.
#pragma once

#include <chrono>
#include <string>

namespace agentcache {

class CacheLock {
 public:
  // No lock: every wait succeeds at once. A run with a local agent archive keeps this.
  CacheLock() = default;

  // Opens the lock file of the cache directory (which ends in a separator), creating it
  // empty with mode 0600. A lock file that cannot be opened, or that is no regular file of
  // this user's, gives no lock, without a message.
  [[nodiscard]] static CacheLock ForCacheDirectory(const std::string& cache_directory);

  // Closing the descriptor releases whatever lock it holds.
  ~CacheLock();
  CacheLock(CacheLock&& other) noexcept;
  CacheLock& operator=(CacheLock&& other) noexcept;
  CacheLock(const CacheLock&) = delete;
  CacheLock& operator=(const CacheLock&) = delete;

  // Waits without a time limit for the shared lock. false: the run has been interrupted
  // (before or during the wait), and nothing is held that was not held before.
  [[nodiscard]] bool WaitShared();

  // Gives up the shared lock, then waits without a time limit for the exclusive one.
  // Never an upgrade in place: two runs that both did that would wait for each other
  // forever. So once this returns, the cached agent may have changed. false as above.
  [[nodiscard]] bool WaitExclusive();

  // Whether a lock file is open: then every lock this run holds is on it.
  [[nodiscard]] bool HasFile() const { return fd_ >= 0; }

  // "<st_dev>:<st_ino>" of the open lock file in decimal, "" without one.
  [[nodiscard]] std::string FileIdentity() const;

  // Turns the exclusive lock into the shared one in place, atomically: no other run can
  // replace the agent between this run's look at it and the agent's end.
  void KeepShared();

 private:
  enum class Attempt { kTaken, kBusy };

  explicit CacheLock(int fd) : fd_(fd) {}
  [[nodiscard]] bool Wait(short lock_type);
  Attempt Try(short lock_type);
  void Close();

  int fd_ = -1;
};

// true when the lock file of this identity is in the inherited list.
[[nodiscard]] bool HeldByAncestor(const std::string& lock_identity);

// Appends the lock this run holds to the list, which the agent inherits with the entries of
// launchers of other releases further up kept.
void AnnounceHeldLock(const std::string& lock_identity);

class WaitNotice {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kDelay{1};
  static constexpr char kText[] =
      "Waiting for another run of the installer to finish with the install agent...";

  // On standard error, only when that is a terminal.
  explicit WaitNotice(Clock::time_point start);
  // Ends the line when it was drawn: the wait is over.
  ~WaitNotice();
  WaitNotice(const WaitNotice&) = delete;
  WaitNotice& operator=(const WaitNotice&) = delete;

  // Draws the line once, as soon as the wait has lasted kDelay.
  void Update(Clock::time_point now);

 private:
  bool enabled_;
  bool drawn_ = false;
  Clock::time_point start_;
};

}  // namespace agentcache

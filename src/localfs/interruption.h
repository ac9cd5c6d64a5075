// Turns SIGINT, SIGTERM and SIGHUP into a request to stop at the next safe point, so a
// run that is interrupted still removes its work directory. While a child command runs,
// such a signal is passed on to the child at once, unless it has reached the child by
// itself (see PassOn). A signal that was ignored when the launcher started stays ignored
// and is never passed on.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>

namespace localfs {

// Installs the handlers for the lifetime of the object and restores the dispositions
// the launcher received when it is destroyed.
class InterruptionGuard {
 public:
  InterruptionGuard();
  ~InterruptionGuard();
  InterruptionGuard(const InterruptionGuard&) = delete;
  InterruptionGuard& operator=(const InterruptionGuard&) = delete;
};

// true once one of the signals has arrived.
[[nodiscard]] bool InterruptRequested();

// The first of the signals that arrived, or 0.
[[nodiscard]] int PendingInterruption();

// Sleeps for the interval, or only until one of the signals arrives; returns at once when
// one already has. The handlers restart interrupted system calls, so a wait that must end
// on an interruption sleeps here in short steps rather than blocking elsewhere.
void SleepUnlessInterrupted(std::chrono::milliseconds interval);

// Ends the process by the given signal with its default action.
[[noreturn]] void EndBySignal(int signal_number);

// Blocks SIGINT, SIGTERM and SIGHUP for its lifetime, so that a child can be started and
// named as the target of passed-on signals without one slipping through in between. A
// signal that arrives meanwhile stays pending and is handled when the hold ends.
class StopSignalHold {
 public:
  StopSignalHold();
  ~StopSignalHold();
  StopSignalHold(const StopSignalHold&) = delete;
  StopSignalHold& operator=(const StopSignalHold&) = delete;

  // The interruption recorded so far, or else one that is being held back; 0 for none.
  [[nodiscard]] int Interruption() const;

  // The signal mask from before the hold: the one a child is to start with.
  [[nodiscard]] const sigset_t& outer_mask() const { return outer_mask_; }

 private:
  sigset_t outer_mask_{};
  bool held_ = false;
};

// Which of the stop signals the launcher receives are passed on to a child.
enum class PassOn {
  // All of them: the child has a session of its own, so no terminal reaches it.
  kEverySignal,
  // Those that did not reach it by themselves, for a child in the launcher's process group:
  // one sent by another process, or a hang-up that the terminal sent to the launcher alone
  // as the leader of its session. The kernel sent any other (a ^C) to the whole group.
  kThoseThatMissedTheGroup,
};

// Names the child process that stop signals are passed on to, and which ones; 0 names
// none. Only while a StopSignalHold is in force, so the handler never signals a process
// id that has been reaped (and may be reused) meanwhile.
void SetForwardingTarget(const StopSignalHold& hold, pid_t child, PassOn which);

}  // namespace localfs

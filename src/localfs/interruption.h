// Turns SIGINT, SIGTERM and SIGHUP into a request to stop at the next safe point, so a
// run that is interrupted still removes its work directory. A signal that was ignored
// when the launcher started stays ignored.
#pragma once

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

}  // namespace localfs

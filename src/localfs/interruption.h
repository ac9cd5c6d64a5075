// Turns SIGINT, SIGTERM and SIGHUP into a request to stop at the next safe point, so a
// run that is interrupted still removes its work directory. A signal that was ignored
// when the launcher started stays ignored.
#pragma once

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

// Ends the process by the given signal with its default action.
[[noreturn]] void EndBySignal(int signal_number);

}  // namespace localfs

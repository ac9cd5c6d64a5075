#include "localfs/interruption.h"

#include <poll.h>
#include <unistd.h>
#include <csignal>

namespace localfs {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kStopSignalCount = static_cast<int>(sizeof(kStopSignals) / sizeof(kStopSignals[0]));

volatile std::sig_atomic_t pending_signal = 0;

struct SavedDisposition {
  bool caught = false;
  struct sigaction received {};
};
SavedDisposition saved[kStopSignalCount];

extern "C" void RecordInterruption(int signal_number) {
  if (pending_signal == 0) pending_signal = signal_number;
}

}  // namespace

InterruptionGuard::InterruptionGuard() {
  for (int index = 0; index < kStopSignalCount; ++index) {
    SavedDisposition& slot = saved[index];
    if (sigaction(kStopSignals[index], nullptr, &slot.received) != 0) continue;
    // Ignored at start (nohup, a shell's background job): it stays ignored, for us and
    // for every child.
    if (slot.received.sa_handler == SIG_IGN) continue;
    struct sigaction catcher {};
    catcher.sa_handler = RecordInterruption;
    sigemptyset(&catcher.sa_mask);
    catcher.sa_flags = SA_RESTART;
    slot.caught = sigaction(kStopSignals[index], &catcher, nullptr) == 0;
  }
}

InterruptionGuard::~InterruptionGuard() {
  for (int index = 0; index < kStopSignalCount; ++index) {
    if (saved[index].caught) {
      (void)sigaction(kStopSignals[index], &saved[index].received, nullptr);
      saved[index].caught = false;
    }
  }
}

bool InterruptRequested() { return pending_signal != 0; }

int PendingInterruption() { return pending_signal; }

void SleepUnlessInterrupted(std::chrono::milliseconds interval) {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  for (const int signal_number : kStopSignals) sigaddset(&stop_signals, signal_number);
  // Blocked from the check until ppoll opens the mask again, so a signal that arrives in
  // between ends the sleep instead of being recorded just before it.
  sigset_t previous;
  if (sigprocmask(SIG_BLOCK, &stop_signals, &previous) != 0) return;
  if (!InterruptRequested()) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(interval);
    const auto nanoseconds =
        std::chrono::duration_cast<std::chrono::nanoseconds>(interval - seconds);
    const timespec duration{static_cast<time_t>(seconds.count()),
                            static_cast<long>(nanoseconds.count())};
    (void)ppoll(nullptr, 0, &duration, &previous);
  }
  (void)sigprocmask(SIG_SETMASK, &previous, nullptr);
}

void EndBySignal(int signal_number) {
  std::signal(signal_number, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal_number);
  (void)sigprocmask(SIG_UNBLOCK, &only, nullptr);
  (void)raise(signal_number);
  _exit(128 + signal_number);
}

}  // namespace localfs

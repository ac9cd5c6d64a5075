#include "localfs/interruption.h"

#include <poll.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>

namespace localfs {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kStopSignalCount = static_cast<int>(sizeof(kStopSignals) / sizeof(kStopSignals[0]));

volatile std::sig_atomic_t pending_signal = 0;

// The child that stop signals are passed on to, or 0.
static_assert(sizeof(pid_t) <= sizeof(std::sig_atomic_t), "a process id fits a sig_atomic_t");
volatile std::sig_atomic_t forwarding_target = 0;
// Set with the target: whether every stop signal is passed on, and whether a hang-up from
// the terminal is (the launcher leads its session).
volatile std::sig_atomic_t pass_every_signal = 0;
volatile std::sig_atomic_t pass_terminal_hangup = 0;

struct SavedDisposition {
  bool caught = false;
  struct sigaction received {};
};
SavedDisposition saved[kStopSignalCount];

sigset_t StopSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal_number : kStopSignals) sigaddset(&set, signal_number);
  return set;
}

// kill(2), sigqueue(3) and tgkill(2) from another process. A signal the kernel generated
// (si_code SI_KERNEL or above 0: a terminal's ^C or ^\, the hang-up sent to the foreground
// process group when its session leader ends) went to the child's process group as well,
// so it is not sent twice.
bool SentByAProcess(const siginfo_t* info) {
  return info != nullptr &&
         (info->si_code == SI_USER || info->si_code == SI_QUEUE || info->si_code == SI_TKILL);
}

bool MissedTheChild(int signal_number, const siginfo_t* info) {
  if (pass_every_signal != 0 || SentByAProcess(info)) return true;
  // A terminal that hangs up signals its session leader alone, not the leader's group:
  // when the launcher leads its session (setsid, ssh -t), the agent would never know.
  return signal_number == SIGHUP && pass_terminal_hangup != 0;
}

extern "C" void RecordInterruption(int signal_number, siginfo_t* info, void* /*context*/) {
  const int saved_errno = errno;
  if (pending_signal == 0) pending_signal = signal_number;
  const pid_t child = static_cast<pid_t>(forwarding_target);
  // To the child's process only: without job control the launcher shares its process
  // group with the script that called it.
  if (child > 0 && MissedTheChild(signal_number, info)) (void)kill(child, signal_number);
  errno = saved_errno;
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
    catcher.sa_sigaction = RecordInterruption;
    // The handlers do not interrupt one another; system calls resume after them.
    catcher.sa_mask = StopSignalSet();
    catcher.sa_flags = SA_SIGINFO | SA_RESTART;
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
  // Held from the check until ppoll opens the mask again, so a signal that arrives in
  // between ends the sleep instead of being recorded just before it.
  const StopSignalHold hold;
  if (InterruptRequested()) return;
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(interval);
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(interval - seconds);
  const timespec duration{static_cast<time_t>(seconds.count()),
                          static_cast<long>(nanoseconds.count())};
  (void)ppoll(nullptr, 0, &duration, &hold.outer_mask());
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

StopSignalHold::StopSignalHold() {
  const sigset_t stop_signals = StopSignalSet();
  held_ = sigprocmask(SIG_BLOCK, &stop_signals, &outer_mask_) == 0;
  if (!held_) sigemptyset(&outer_mask_);
}

StopSignalHold::~StopSignalHold() {
  if (held_) (void)sigprocmask(SIG_SETMASK, &outer_mask_, nullptr);
}

int StopSignalHold::Interruption() const {
  if (pending_signal != 0) return pending_signal;
  sigset_t waiting;
  if (sigpending(&waiting) != 0) return 0;
  for (int index = 0; index < kStopSignalCount; ++index) {
    // A signal ignored at start may be pending too, and means nothing.
    if (saved[index].caught && sigismember(&waiting, kStopSignals[index]) == 1) {
      return kStopSignals[index];
    }
  }
  return 0;
}

void SetForwardingTarget(const StopSignalHold& /*hold*/, pid_t child, PassOn which) {
  pass_every_signal = which == PassOn::kEverySignal ? 1 : 0;
  pass_terminal_hangup = getsid(0) == getpid() ? 1 : 0;
  forwarding_target = static_cast<std::sig_atomic_t>(child);
}

}  // namespace localfs

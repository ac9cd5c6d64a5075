#include "signal_cleanup.h"

#include <unistd.h>

#include <array>
#include <atomic>
#include <csignal>
#include <cstring>

namespace pack {
namespace {

constexpr std::array<int, 3> kSignals = {SIGINT, SIGTERM, SIGHUP};

std::array<char, 4096> armed_path{};
volatile std::sig_atomic_t armed = 0;

// Only async-signal-safe calls here: unlink, signal, raise.
extern "C" void RemoveTemporaryAndStop(int signal_number) {
  if (armed != 0) {
    ::unlink(armed_path.data());
  }
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

sigset_t CleanupSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal_number : kSignals) {
    sigaddset(&signals, signal_number);
  }
  return signals;
}

}  // namespace

SignalsHeld::SignalsHeld() {
  const sigset_t signals = CleanupSignals();
  ::sigprocmask(SIG_BLOCK, &signals, &previous_);
}

SignalsHeld::~SignalsHeld() { ::sigprocmask(SIG_SETMASK, &previous_, nullptr); }

void ArmSignalCleanup(const std::string& temporary_path) {
  if (temporary_path.size() >= armed_path.size()) {
    return;
  }
  armed = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  std::memcpy(armed_path.data(), temporary_path.c_str(), temporary_path.size() + 1);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  armed = 1;
  struct sigaction action {};
  action.sa_handler = RemoveTemporaryAndStop;
  action.sa_mask = CleanupSignals();
  for (const int signal_number : kSignals) {
    // A signal the caller chose to ignore (nohup, a background job) stays ignored.
    struct sigaction previous {};
    if (::sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
      ::sigaction(signal_number, &action, nullptr);
    }
  }
}

void DisarmSignalCleanup() {
  armed = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

}  // namespace pack

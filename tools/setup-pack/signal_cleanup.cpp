#include "signal_cleanup.h"

#include <unistd.h>

#include <array>
#include <atomic>
#include <csignal>
#include <cstring>
#include <tuple>

#include "error_sink.h"

namespace pack {
namespace {

constexpr std::array<int, 4> kSignals = {SIGINT, SIGTERM, SIGHUP, SIGBUS};

std::array<char, 4096> armed_path{};
volatile std::sig_atomic_t armed = 0;
std::atomic_flag input_loss_reported = ATOMIC_FLAG_INIT;  // lock-free, so safe in a handler

// Only async-signal-safe calls here: unlink, write, _exit, signal, raise.
extern "C" void RemoveTemporaryAndStop(int signal_number) {
  if (armed != 0) {
    ::unlink(armed_path.data());
  }
  if (signal_number == SIGBUS) {
    if (!ClaimInputLossReport()) {
      ::_exit(1);
    }
    std::ignore = ::write(STDERR_FILENO, kMessagePrefix, sizeof kMessagePrefix - 1);
    std::ignore = ::write(STDERR_FILENO, kInputLostMessage, sizeof kInputLostMessage - 1);
    std::ignore = ::write(STDERR_FILENO, "\n", 1);
    ::_exit(1);
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

bool ClaimInputLossReport() { return !input_loss_reported.test_and_set(); }

void DisarmSignalCleanup() {
  armed = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

}  // namespace pack

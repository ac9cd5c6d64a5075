#include "interrupt_cleanup.h"

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

extern "C" void RemoveTemporaryAndDie(int signal_number) {
  if (armed != 0) {
    ::unlink(armed_path.data());  // async-signal-safe
  }
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

}  // namespace

void ArmInterruptCleanup(const std::string& temporary_path) {
  if (temporary_path.size() >= armed_path.size()) {
    return;
  }
  armed = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  std::memcpy(armed_path.data(), temporary_path.c_str(), temporary_path.size() + 1);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  armed = 1;
  struct sigaction action {};
  action.sa_handler = RemoveTemporaryAndDie;
  sigemptyset(&action.sa_mask);
  for (const int signal_number : kSignals) {
    sigaddset(&action.sa_mask, signal_number);
  }
  for (const int signal_number : kSignals) {
    // A signal the caller chose to ignore (nohup, a background job) stays ignored.
    struct sigaction previous {};
    if (::sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
      ::sigaction(signal_number, &action, nullptr);
    }
  }
}

void DisarmInterruptCleanup() {
  armed = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

}  // namespace pack

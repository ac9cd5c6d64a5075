#include "agentcache/wait_notice.h"

#include <unistd.h>

#include <tuple>

#include <string>

#include "base/files.h"

namespace agentcache {

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

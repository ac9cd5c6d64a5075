#include "agentcache/wait_notice.h"

#include <unistd.h>

#include <string>

#include "agentcache/transfer/display_write.h"

namespace agentcache {

WaitNotice::WaitNotice(Clock::time_point start)
    : enabled_(isatty(STDERR_FILENO) == 1), start_(start) {}

WaitNotice::~WaitNotice() {
  if (drawn_) {
    WriteDisplay(STDERR_FILENO, "\n");
  }
}

void WaitNotice::Update(Clock::time_point now) {
  if (!enabled_ || drawn_ || now - start_ < kDelay) {
    return;
  }
  WriteDisplay(STDERR_FILENO, kText);
  drawn_ = true;
}

}  // namespace agentcache

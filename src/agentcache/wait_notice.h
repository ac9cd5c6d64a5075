// The line that tells a user on a terminal that the run waits for another run of the
// installer: drawn once the wait has lasted kDelay, and ended with a newline when the wait
// ends, as the progress line is, so messages that follow start on a line of their own.
// Writes nothing at all when its output is not a terminal.
#pragma once

#include <chrono>

namespace agentcache {

class WaitNotice {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kDelay{1};
  static constexpr char kText[] =
      "Waiting for another run of the installer to finish with the install agent...";

  // On standard error, only when that is a terminal.
  explicit WaitNotice(Clock::time_point start);
  // Ends the line when it was drawn: the wait is over.
  ~WaitNotice();
  WaitNotice(const WaitNotice&) = delete;
  WaitNotice& operator=(const WaitNotice&) = delete;

  // Draws the line once, as soon as the wait has lasted kDelay.
  void Update(Clock::time_point now);

 private:
  bool enabled_;
  bool drawn_ = false;
  Clock::time_point start_;
};

}  // namespace agentcache

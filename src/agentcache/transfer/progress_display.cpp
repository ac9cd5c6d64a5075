#include "agentcache/transfer/progress_display.h"

#include <unistd.h>

#include <tuple>

#include <string>

#include "base/files.h"
#include "agentcache/transfer/progress_format.h"

namespace agentcache {

ProgressDisplay ProgressDisplay::ForStandardError(Clock::time_point start) {
  return ProgressDisplay(STDERR_FILENO, isatty(STDERR_FILENO) == 1, start);
}

ProgressDisplay::ProgressDisplay(int output_fd, bool enabled, Clock::time_point start)
    : output_fd_(output_fd), enabled_(enabled), start_(start) {}

ProgressDisplay::ProgressDisplay(ProgressDisplay&& other) noexcept
    : output_fd_(other.output_fd_),
      enabled_(other.enabled_),
      finished_(other.finished_),
      drawn_(other.drawn_),
      start_(other.start_),
      last_draw_(other.last_draw_),
      received_bytes_(other.received_bytes_),
      total_bytes_(other.total_bytes_),
      drawn_length_(other.drawn_length_) {
  other.finished_ = true;
}

ProgressDisplay::~ProgressDisplay() { Finish(Clock::now()); }

void ProgressDisplay::Update(std::uint64_t received_bytes, std::uint64_t total_bytes,
                             Clock::time_point now) {
  if (!enabled_ || finished_) {
    return;
  }
  received_bytes_ = received_bytes;
  total_bytes_ = total_bytes;
  if (!drawn_ || now - last_draw_ >= kRedrawInterval) {
    Draw(now);
  }
}

void ProgressDisplay::Finish(Clock::time_point now) {
  if (!enabled_ || finished_) {
    return;
  }
  Draw(now);
  finished_ = true;
  // A line that the terminal did not take is lost, nothing more.
  std::ignore = base::WriteWhole(output_fd_, "\n");
}

void ProgressDisplay::Draw(Clock::time_point now) {
  const std::chrono::duration<double> elapsed = now - start_;
  std::string line = FormatProgressLine({received_bytes_, total_bytes_, elapsed.count()});
  const std::size_t line_length = line.size();
  // Blank out what a longer previous line left on the terminal.
  if (line_length < drawn_length_) {
    line.append(drawn_length_ - line_length, ' ');
  }
  // A line that the terminal did not take is lost, nothing more.
  std::ignore = base::WriteWhole(output_fd_, "\r" + line);
  drawn_ = true;
  last_draw_ = now;
  drawn_length_ = line_length;
}

}  // namespace agentcache

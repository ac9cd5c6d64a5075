#include "transfer/progress_line.h"

#include <unistd.h>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <tuple>

#include "base/files.h"

namespace transfer {

namespace {

constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB"};

std::string FormatRate(const TransferProgress& progress) {
  if (!(progress.elapsed_seconds > 0.0)) {
    return "-- B/s";
  }
  const double bytes_per_second =
      static_cast<double>(progress.received_bytes) / progress.elapsed_seconds;
  return FormatByteCount(static_cast<std::uint64_t>(std::llround(bytes_per_second))) + "/s";
}

}  // namespace

std::string FormatByteCount(std::uint64_t bytes) {
  if (bytes < 1024) {
    return std::to_string(bytes) + " B";
  }
  double scaled = static_cast<double>(bytes) / 1024.0;
  std::size_t unit = 0;
  // Move up a unit before the value would print as 1024.0 of the smaller one.
  while (scaled >= 1023.95 && unit + 1 < std::size(kUnits)) {
    scaled /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", scaled, kUnits[unit]);
  return text;
}

std::string FormatProgressLine(const TransferProgress& progress) {
  std::string line = "Downloading install agent: " + FormatByteCount(progress.received_bytes);
  if (progress.total_bytes > 0) {
    std::uint64_t percent = 100;
    if (progress.received_bytes < progress.total_bytes) {
      const long double fraction = static_cast<long double>(progress.received_bytes) /
                                   static_cast<long double>(progress.total_bytes);
      // 100% only once everything has arrived, however close the count comes.
      percent = std::min<std::uint64_t>(99, static_cast<std::uint64_t>(fraction * 100.0L));
    }
    line += " of " + FormatByteCount(progress.total_bytes) + " (" + std::to_string(percent) + "%)";
  }
  line += ", " + FormatRate(progress);
  return line;
}

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

}  // namespace transfer

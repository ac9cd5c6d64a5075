// The progress line of the agent archive transfer on a terminal: bytes so far, the total and a
// percentage when the length is known, and the average rate; redrawn in place with "\r" at
// most every kRedrawInterval, and ended with a newline when the transfer ends. Writes nothing
// at all when its output is not a terminal.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace transfer {

struct TransferProgress {
  std::uint64_t received_bytes = 0;
  std::uint64_t total_bytes = 0;  // 0 when the server did not announce a length
  double elapsed_seconds = 0.0;   // since the transfer started; no rate before time passes
};

// "512 B", "1.5 KiB", "12.3 MiB", "2.0 GiB": binary units, one decimal above bytes.
[[nodiscard]] std::string FormatByteCount(std::uint64_t bytes);

// For example "Downloading install agent: 12.3 MiB of 512.0 MiB (2%), 45.6 MiB/s", or
// without a known total "Downloading install agent: 12.3 MiB, 45.6 MiB/s". The
// percentage never exceeds 100, even when more arrives than was announced.
[[nodiscard]] std::string FormatProgressLine(const TransferProgress& progress);

class ProgressDisplay {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kRedrawInterval{250};

  // Shows the line on standard error only when that is a terminal.
  static ProgressDisplay ForStandardError(Clock::time_point start);

  ProgressDisplay(int output_fd, bool enabled, Clock::time_point start);
  // Ends the line if Finish was not called, so no path leaves the cursor mid-line.
  ~ProgressDisplay();
  ProgressDisplay(ProgressDisplay&& other) noexcept;
  ProgressDisplay(const ProgressDisplay&) = delete;
  ProgressDisplay& operator=(const ProgressDisplay&) = delete;
  ProgressDisplay& operator=(ProgressDisplay&&) = delete;

  [[nodiscard]] bool enabled() const { return enabled_; }

  // total_bytes 0: length unknown. Redraws only when the interval has passed.
  void Update(std::uint64_t received_bytes, std::uint64_t total_bytes, Clock::time_point now);

  // Draws the final state and ends the line. Later calls do nothing.
  void Finish(Clock::time_point now);

 private:
  void Draw(Clock::time_point now);

  int output_fd_;
  bool enabled_;
  bool finished_ = false;
  bool drawn_ = false;
  Clock::time_point start_;
  Clock::time_point last_draw_{};
  std::uint64_t received_bytes_ = 0;
  std::uint64_t total_bytes_ = 0;
  std::size_t drawn_length_ = 0;
};

}  // namespace transfer

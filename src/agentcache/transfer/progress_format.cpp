#include "agentcache/transfer/progress_format.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace agentcache {
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

}  // namespace agentcache

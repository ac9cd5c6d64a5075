// The text of the download progress line: bytes so far, the total and a percentage when
// the length is known, and the average rate. Pure formatting, no output.
#pragma once

#include <cstdint>
#include <string>

namespace agentcache {

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

}  // namespace agentcache

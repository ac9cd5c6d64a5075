#include "agentcache/transfer/transfer_monitor.h"

#include <cstdint>

#include "agentcache/transfer/progress_display.h"
#include "localfs/interruption.h"

namespace agentcache {
namespace {

std::uint64_t ByteCount(curl_off_t value) {
  return value > 0 ? static_cast<std::uint64_t>(value) : 0;
}

}  // namespace

int MonitorTransfer(void* monitor, curl_off_t download_total, curl_off_t download_now,
                    curl_off_t /*upload_total*/, curl_off_t /*upload_now*/) {
  if (localfs::InterruptRequested()) {
    return 1;
  }
  ProgressDisplay* const progress = static_cast<TransferMonitor*>(monitor)->progress;
  if (progress != nullptr && progress->enabled()) {
    progress->Update(ByteCount(download_now), ByteCount(download_total),
                     ProgressDisplay::Clock::now());
  }
  return 0;
}

}  // namespace agentcache

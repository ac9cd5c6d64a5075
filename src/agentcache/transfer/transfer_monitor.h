// The transfer-info callback of both requests: abandons a transfer as soon as the run is
// interrupted (libcurl calls it at least once a second, even while nothing arrives), and
// feeds the progress display of the GET.
#pragma once

#include <curl/curl.h>

namespace agentcache {

class ProgressDisplay;

struct TransferMonitor {
  ProgressDisplay* progress = nullptr;  // attached while the agent archive is fetched
};

// monitor designates a TransferMonitor. Non-zero aborts the transfer with
// CURLE_ABORTED_BY_CALLBACK.
int MonitorTransfer(void* monitor, curl_off_t download_total, curl_off_t download_now,
                    curl_off_t upload_total, curl_off_t upload_now);

}  // namespace agentcache

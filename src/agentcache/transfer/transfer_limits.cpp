#include "agentcache/transfer/transfer_limits.h"

namespace agentcache {

CURLcode ApplyTransferLimits(CURL* handle) {
  CURLcode code = curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  if (code == CURLE_OK) {
    code = curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedBytesPerSecond);
  }
  if (code == CURLE_OK) {
    code = curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, kLowSpeedSeconds);
  }
  return code;
}

}  // namespace agentcache

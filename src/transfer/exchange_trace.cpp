#include "transfer/exchange_trace.h"

#include <string>
#include <tuple>

#include "base/trace.h"
#include "transfer/failure_details.h"

namespace transfer {

namespace {

void TraceHeaderValue(std::string& line, const char* name, const std::string& value) {
  if (!value.empty()) line += std::string(", ") + name + ": " + value;
}

}  // namespace

// The request as a support engineer needs it: never the URL's credentials or query, and of a
// proxy only its origin.
void TraceRequest(CURL* handle, const char* method, std::uint64_t first_byte) {
  if (!base::TraceEnabled()) return;
  char* url = nullptr;
  std::ignore = curl_easy_getinfo(handle, CURLINFO_EFFECTIVE_URL, &url);
  std::string line = std::string("request: ") + method + " " + UrlOriginAndPath(url);
  if (first_byte > 0) line += " from byte " + std::to_string(first_byte);
  const std::string proxy = ProxyFromEnvironment(url);
  if (!proxy.empty()) line += " via proxy " + ProxyOrigin(proxy);
  base::Trace(line);
}

// The status and the few headers a download decides by, of the last response.
void TraceResponse(CURL* handle, CURLcode code, const Response& response) {
  if (!base::TraceEnabled()) return;
  char* url = nullptr;
  std::ignore = curl_easy_getinfo(handle, CURLINFO_EFFECTIVE_URL, &url);
  std::string line =
      "response: " + std::to_string(response.status) + " from " + UrlOriginAndPath(url);
  if (code != CURLE_OK) line += " (libcurl: " + std::string(curl_easy_strerror(code)) + ")";
  TraceHeaderValue(line, "ETag", response.headers.etag);
  if (response.content_length >= 0) {
    TraceHeaderValue(line, "Content-Length", std::to_string(response.content_length));
  }
  TraceHeaderValue(line, "Content-Range", response.headers.content_range);
  TraceHeaderValue(line, "Content-Type", response.headers.content_type);
  TraceHeaderValue(line, "Retry-After", response.headers.retry_after);
  base::Trace(line);
}

}  // namespace transfer

#include "agentcache/transfer/proxy_options.h"

namespace agentcache {
namespace {

CURLcode Tolerated(CURLcode code) {
  return code == CURLE_UNKNOWN_OPTION || code == CURLE_NOT_BUILT_IN ? CURLE_OK : code;
}

}  // namespace

CURLcode ApplyProxyOptions(CURL* handle, const TrustedCertificates& trusted) {
  CURLcode code = CURLE_OK;
  if (!trusted.bundle_file.empty()) {
    code = Tolerated(curl_easy_setopt(handle, CURLOPT_PROXY_CAINFO, trusted.bundle_file.c_str()));
  }
  if (code == CURLE_OK && !trusted.directory.empty()) {
    code = Tolerated(curl_easy_setopt(handle, CURLOPT_PROXY_CAPATH, trusted.directory.c_str()));
  }
  if (code == CURLE_OK) {
    // Basic alone is libcurl's default; the schemes this libcurl lacks are left out.
    code = Tolerated(curl_easy_setopt(handle, CURLOPT_PROXYAUTH, CURLAUTH_ANY));
  }
  return code;
}

}  // namespace agentcache

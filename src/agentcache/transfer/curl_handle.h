// The libcurl easy handle of one download, released with curl_easy_cleanup on every path.
#pragma once

#include <curl/curl.h>

#include <memory>

namespace agentcache {

struct EasyHandleCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

using EasyHandle = std::unique_ptr<CURL, EasyHandleCleanup>;

}  // namespace agentcache

// What the support trace says of each request and its response: the method, the origin and
// path (never the URL's credentials or query), the proxy's origin, the status and the few
// headers a download decides by (ETag, Content-Length, Content-Range, Content-Type,
// Retry-After), and no other header.
#pragma once

#include <curl/curl.h>

#include <cstdint>

#include "transfer/http_session.h"

namespace transfer {

// Before a request on handle; first_byte above 0 for a range.
void TraceRequest(CURL* handle, const char* method, std::uint64_t first_byte);

// After it, with libcurl's code and the response as the caller sees it.
void TraceResponse(CURL* handle, CURLcode code, const Response& response);

}  // namespace transfer

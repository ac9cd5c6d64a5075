// The options for a proxy on the way to the download server: a proxy reached over TLS is
// vouched for by the same certificates as the server, and credentials given in the proxy
// URL go out in whichever scheme the proxy asks for.
#pragma once

#include <curl/curl.h>

#include "agentcache/transfer/trusted_certificates.h"

namespace agentcache {

// CURLE_OK, or the code of the option that libcurl refused. A libcurl built without
// proxies, or without a CA directory for them, refuses as unknown or not built in: it
// reaches no proxy such an option could be for, so that is no failure.
[[nodiscard]] CURLcode ApplyProxyOptions(CURL* handle, const TrustedCertificates& trusted);

}  // namespace agentcache

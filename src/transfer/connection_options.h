// The options of every connection to the download server: when a transfer is given up (a
// connection not made in time, a server that goes nearly silent; a slow transfer that keeps
// moving is never cut off), the certificates that vouch for the server on the machine the
// launcher runs on (the distributions keep their CA bundle in different places, and a static
// libcurl knows none of them), and a proxy on the way, vouched for by the same certificates.
#pragma once

#include <curl/curl.h>
#include <string>

namespace transfer {

// A connection attempt (TCP and TLS handshake) is given up after this many seconds.
inline constexpr long kConnectTimeoutSeconds = 30;

// A transfer that receives fewer than kLowSpeedBytesPerSecond bytes a second over
// kLowSpeedSeconds seconds is given up. There is no limit on the total time.
inline constexpr long kLowSpeedBytesPerSecond = 10;
inline constexpr long kLowSpeedSeconds = 30;

// Sets the limits on the handle; they hold for every request made with it and for every
// redirect it follows. A transfer given up fails with CURLE_OPERATION_TIMEDOUT.
[[nodiscard]] CURLcode ApplyTransferLimits(CURL* handle);

struct TrustedCertificates {
  std::string bundle_file;  // for CURLOPT_CAINFO; "" leaves libcurl's default
  std::string directory;    // for CURLOPT_CAPATH; "" leaves libcurl's default
};

// SSL_CERT_FILE and SSL_CERT_DIR win when set and not empty; otherwise the bundle is the
// first readable file of the places the common distributions use. Where none is found,
// nothing is trusted beyond libcurl's default, and verification fails: it is never
// turned off.
[[nodiscard]] TrustedCertificates ChooseTrustedCertificates();

// CURLE_OK, or the code of the option that libcurl refused. A libcurl built without
// proxies, or without a CA directory for them, refuses as unknown or not built in: it
// reaches no proxy such an option could be for, so that is no failure.
[[nodiscard]] CURLcode ApplyProxyOptions(CURL* handle, const TrustedCertificates& trusted);

}  // namespace transfer

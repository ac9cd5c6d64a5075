// When a transfer is given up: a connection that is not made in time, or a server that
// goes (nearly) silent. A slow transfer that keeps moving is never cut off.
#pragma once

#include <curl/curl.h>

namespace agentcache {

// A connection attempt (TCP and TLS handshake) is given up after this many seconds.
inline constexpr long kConnectTimeoutSeconds = 30;

// A transfer that receives fewer than kLowSpeedBytesPerSecond bytes a second over
// kLowSpeedSeconds seconds is given up. There is no limit on the total time.
inline constexpr long kLowSpeedBytesPerSecond = 10;
inline constexpr long kLowSpeedSeconds = 30;

// Sets the limits on the handle; they hold for every request made with it and for every
// redirect it follows. A transfer given up fails with CURLE_OPERATION_TIMEDOUT.
[[nodiscard]] CURLcode ApplyTransferLimits(CURL* handle);

}  // namespace agentcache

// libcurl's own account of a failed transfer: the text of its error buffer, where the
// transfer went, and what a proxy answered to CONNECT: one line that the caller reports after
// the failure's message, which carries only the general text of the result code. The line
// says what to do where the user can: which certificates were trusted, which proxy failed and
// how to give it credentials. No line holds a credential, a path or a query.
#pragma once

#include <curl/curl.h>
#include <array>
#include <string>
#include <string_view>

namespace transfer {

// Owns the error buffer of one easy handle; it must outlive that handle.
class FailureDetails {
 public:
  FailureDetails() = default;
  FailureDetails(const FailureDetails&) = delete;
  FailureDetails& operator=(const FailureDetails&) = delete;

  // libcurl writes its text of each failed transfer on handle into this object's buffer.
  void Attach(CURL* handle);

  // The details line of the transfer that just failed with code; "" when there is none.
  [[nodiscard]] std::string Line(CURLcode code) const;

  // The error text of that transfer with its control characters replaced as in the details
  // line, or curl_easy_strerror of code when libcurl wrote none.
  [[nodiscard]] std::string Reason(CURLcode code) const;

 private:
  CURL* handle_ = nullptr;
  std::array<char, CURL_ERROR_SIZE> buffer_{};
};

struct FailureContext {
  const char* url = nullptr;         // where the transfer went
  long connect_code = 0;             // what a proxy answered to CONNECT
  std::string proxy;                 // the proxy the request went through; "" for none
  std::string trusted_certificates;  // the CA file or directory that vouched, or ""
};

// "Details: " + the error text + " (" + the origin of the URL + ")". A failure of the proxy
// (a refused CONNECT, a proxy that cannot be reached) names the proxy instead:
// " (proxy " + its origin + ")", with the way to give credentials for a 407. A certificate
// or host name that fails verification adds where the trusted certificates came from. A
// CONNECT answered with 400 or more that the text does not name adds " (proxy answered N)".
// Empty when the text is empty or says no more than curl_easy_strerror of code.
[[nodiscard]] std::string FailureDetailsLine(CURLcode code, std::string_view error_text,
                                             const FailureContext& context);

// "Details: the server answered N (ORIGIN)"; for a 407 through a proxy, the proxy's line.
[[nodiscard]] std::string StatusDetailsLine(long status, const std::string& origin,
                                            const std::string& proxy);

// The proxy that libcurl takes from the environment for the URL (<scheme>_proxy, then the
// upper-case name but HTTP_PROXY, then all_proxy and ALL_PROXY, unless no_proxy or NO_PROXY
// names the host or is "*"); "" for none.
[[nodiscard]] std::string ProxyFromEnvironment(const char* url);

// scheme://host:port/path of the URL, never its user name, password, query or fragment; for
// a trace. Empty when the URL cannot be parsed.
[[nodiscard]] std::string UrlOriginAndPath(const char* url);

// The origin of a proxy as libcurl takes it from a variable: one given without a scheme is
// an http:// one.
[[nodiscard]] std::string ProxyOrigin(const std::string& proxy);

// scheme://host:port of the URL, the port being the scheme's default where the URL names
// none; never its user name or password. Empty when the URL cannot be parsed.
[[nodiscard]] std::string UrlOrigin(const char* url);

}  // namespace transfer

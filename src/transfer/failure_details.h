// libcurl's own account of a failed transfer: the text of its error buffer, where the
// transfer went, and what a proxy answered to CONNECT: one line that the caller reports after
// the failure's message, which carries only the general text of the result code.
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

// "Details: " + the error text + " (" + the origin of the URL + ")", with " (proxy answered
// N)" for a CONNECT answered with 400 or more that the text does not name. Empty when the
// text is empty or says no more than curl_easy_strerror of code.
[[nodiscard]] std::string FailureDetailsLine(CURLcode code, std::string_view error_text,
                                             const char* url, long connect_code);

// scheme://host:port of the URL, the port being the scheme's default where the URL names
// none; never its user name or password. Empty when the URL cannot be parsed.
[[nodiscard]] std::string UrlOrigin(const char* url);

}  // namespace transfer

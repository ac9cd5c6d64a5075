#include "transfer/failure_details.h"

#include <memory>
#include <tuple>

namespace transfer {

namespace {

struct UrlCleanup {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

struct CurlStringFree {
  void operator()(char* text) const { curl_free(text); }
};

using UrlHandle = std::unique_ptr<CURLU, UrlCleanup>;
using CurlString = std::unique_ptr<char, CurlStringFree>;

CurlString UrlPart(CURLU* url, CURLUPart part, unsigned int flags) {
  char* text = nullptr;
  if (curl_url_get(url, part, &text, flags) != CURLUE_OK) {
    return nullptr;
  }
  return CurlString(text);
}

// The text may quote a server, a certificate's names for one: no control character of
// it reaches the terminal. A trailing line end is dropped.
std::string PrintableText(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.remove_suffix(1);
  }
  std::string printable(text);
  for (char& byte : printable) {
    const auto value = static_cast<unsigned char>(byte);
    if (value < 0x20 || value == 0x7f) {
      byte = '?';
    }
  }
  return printable;
}

// Whether the text holds the number as a word of its own, not inside a longer one.
bool NamesNumber(const std::string& text, long number) {
  const std::string digits = std::to_string(number);
  for (auto at = text.find(digits); at != std::string::npos; at = text.find(digits, at + 1)) {
    const auto end = at + digits.size();
    const bool digit_before = at > 0 && text[at - 1] >= '0' && text[at - 1] <= '9';
    const bool digit_after = end < text.size() && text[end] >= '0' && text[end] <= '9';
    if (!digit_before && !digit_after) {
      return true;
    }
  }
  return false;
}

}  // namespace

void FailureDetails::Attach(CURL* handle) {
  handle_ = handle;
  // Without the buffer the failure is still reported, only with less to say.
  std::ignore = curl_easy_setopt(handle_, CURLOPT_ERRORBUFFER, buffer_.data());
}

std::string FailureDetails::Line(CURLcode code) const {
  if (handle_ == nullptr) {
    return "";
  }
  char* url = nullptr;
  if (curl_easy_getinfo(handle_, CURLINFO_EFFECTIVE_URL, &url) != CURLE_OK) {
    url = nullptr;
  }
  long connect_code = 0;
  if (curl_easy_getinfo(handle_, CURLINFO_HTTP_CONNECTCODE, &connect_code) != CURLE_OK) {
    connect_code = 0;
  }
  const std::string_view text(buffer_.data(), std::char_traits<char>::length(buffer_.data()));
  return FailureDetailsLine(code, text, url, connect_code);
}

std::string FailureDetails::Reason(CURLcode code) const {
  const std::string text = PrintableText(buffer_.data());
  return text.empty() ? curl_easy_strerror(code) : text;
}

std::string FailureDetailsLine(CURLcode code, std::string_view error_text, const char* url,
                               long connect_code) {
  const std::string text = PrintableText(error_text);
  if (text.empty() || text == curl_easy_strerror(code)) {
    return "";
  }
  std::string line = "Details: " + text;
  const std::string origin = UrlOrigin(url);
  if (!origin.empty()) {
    line += " (" + origin + ")";
  }
  if (connect_code >= 400 && !NamesNumber(text, connect_code)) {
    line += " (proxy answered " + std::to_string(connect_code) + ")";
  }
  return line;
}

std::string UrlOrigin(const char* url) {
  if (url == nullptr || *url == '\0') {
    return "";
  }
  const UrlHandle parsed(curl_url());
  if (!parsed ||
      curl_url_set(parsed.get(), CURLUPART_URL, url, CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
    return "";
  }
  const CurlString scheme = UrlPart(parsed.get(), CURLUPART_SCHEME, 0);
  const CurlString host = UrlPart(parsed.get(), CURLUPART_HOST, 0);
  if (!scheme || !host) {
    return "";
  }
  std::string origin = std::string(scheme.get()) + "://" + host.get();
  if (const CurlString port = UrlPart(parsed.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT)) {
    origin += std::string(":") + port.get();
  }
  return PrintableText(origin);
}

}  // namespace transfer

#include "transfer/failure_details.h"

#include <strings.h>

#include <cctype>
#include <cstdlib>
#include <memory>
#include <tuple>

#include "transfer/connection_options.h"

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

// The URL's parts, or null when libcurl cannot parse it.
UrlHandle ParsedUrl(const char* url) {
  UrlHandle parsed(curl_url());
  if (parsed &&
      curl_url_set(parsed.get(), CURLUPART_URL, url, CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
    parsed.reset();
  }
  return parsed;
}

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

// "http://proxy:3128" for a proxy given without a scheme, as libcurl takes it.
std::string ProxyUrl(const std::string& proxy) {
  return proxy.find("://") == std::string::npos ? "http://" + proxy : proxy;
}

std::string ProxyScheme(const std::string& proxy) {
  const std::string url = ProxyUrl(proxy);
  return url.substr(0, url.find("://"));
}

std::string ProxyLine(const std::string& text, const std::string& proxy, long answer) {
  std::string line = "Details: " + text + " (proxy " + ProxyOrigin(proxy) + ")";
  if (answer == 407) {
    line += "; the proxy asks for credentials: give them as " + ProxyScheme(proxy) +
            "://USER:PASSWORD@HOST:PORT in the proxy variable";
  }
  return line;
}

bool NoProxyNames(const std::string& host, const std::string& list) {
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find_first_of(", ", start);
    if (end == std::string::npos) end = list.size();
    std::string entry = list.substr(start, end - start);
    start = end + 1;
    if (entry == "*") return true;
    if (!entry.empty() && entry.front() == '.') entry.erase(0, 1);
    if (entry.empty() || entry.size() > host.size()) continue;
    const std::size_t at = host.size() - entry.size();
    if (strcasecmp(host.c_str() + at, entry.c_str()) == 0 && (at == 0 || host[at - 1] == '.')) {
      return true;
    }
  }
  return false;
}

std::string Variable(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value != nullptr ? value : "";
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
  FailureContext context;
  char* url = nullptr;
  if (curl_easy_getinfo(handle_, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK) context.url = url;
  if (curl_easy_getinfo(handle_, CURLINFO_HTTP_CONNECTCODE, &context.connect_code) != CURLE_OK) {
    context.connect_code = 0;
  }
  context.proxy = ProxyFromEnvironment(context.url);
  const TrustedCertificates trusted = ChooseTrustedCertificates();
  context.trusted_certificates =
      !trusted.bundle_file.empty() ? trusted.bundle_file : trusted.directory;
  char* built_in = nullptr;
  if (context.trusted_certificates.empty() &&
      curl_easy_getinfo(handle_, CURLINFO_CAINFO, &built_in) == CURLE_OK && built_in != nullptr) {
    context.trusted_certificates = built_in;
  }
  const std::string_view text(buffer_.data(), std::char_traits<char>::length(buffer_.data()));
  return FailureDetailsLine(code, text, context);
}

std::string FailureDetails::Reason(CURLcode code) const {
  const std::string text = PrintableText(buffer_.data());
  return text.empty() ? curl_easy_strerror(code) : text;
}

std::string FailureDetailsLine(CURLcode code, std::string_view error_text,
                               const FailureContext& context) {
  const std::string text = PrintableText(error_text);
  if (text.empty() || text == curl_easy_strerror(code)) {
    return "";
  }
  const long answer = context.connect_code;
  const bool proxy_failed =
      !context.proxy.empty() && (answer >= 400 || code == CURLE_COULDNT_RESOLVE_PROXY ||
                                 code == CURLE_COULDNT_CONNECT || code == CURLE_PROXY);
  std::string line;
  if (proxy_failed) {
    line = ProxyLine(text, context.proxy, answer);
  } else {
    line = "Details: " + text;
    const std::string origin = UrlOrigin(context.url);
    if (!origin.empty()) {
      line += " (" + origin + ")";
    }
  }
  if (answer >= 400 && !NamesNumber(text, answer)) {
    line += " (proxy answered " + std::to_string(answer) + ")";
  }
  if (code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_CACERT_BADFILE) {
    line += "; the trusted certificates are those in " +
            (context.trusted_certificates.empty() ? std::string("libcurl's default bundle")
                                                  : context.trusted_certificates) +
            ", and SSL_CERT_FILE selects another bundle";
  }
  return line;
}

std::string StatusDetailsLine(long status, const std::string& origin, const std::string& proxy) {
  if (status == 407 && !proxy.empty()) {
    return ProxyLine("the proxy answered 407", proxy, status);
  }
  std::string line = "Details: the server answered " + std::to_string(status);
  if (!origin.empty()) line += " (" + origin + ")";
  return line;
}

std::string ProxyFromEnvironment(const char* url) {
  if (url == nullptr || *url == '\0') return "";
  const UrlHandle parsed = ParsedUrl(url);
  if (!parsed) return "";
  const CurlString scheme = UrlPart(parsed.get(), CURLUPART_SCHEME, 0);
  const CurlString host = UrlPart(parsed.get(), CURLUPART_HOST, 0);
  if (!scheme || !host) return "";
  std::string no_proxy = Variable("no_proxy");
  if (no_proxy.empty()) no_proxy = Variable("NO_PROXY");
  std::string name = host.get();
  if (name.size() > 2 && name.front() == '[') name = name.substr(1, name.size() - 2);
  if (NoProxyNames(name, no_proxy)) return "";
  std::string lower = scheme.get();
  for (char& letter : lower) letter = static_cast<char>(std::tolower(letter));
  std::string proxy = Variable(lower + "_proxy");
  if (proxy.empty() && lower != "http") {
    std::string upper = lower + "_PROXY";
    for (char& letter : upper) letter = static_cast<char>(std::toupper(letter));
    proxy = Variable(upper);
  }
  if (proxy.empty()) proxy = Variable("all_proxy");
  if (proxy.empty()) proxy = Variable("ALL_PROXY");
  return proxy;
}

std::string UrlOriginAndPath(const char* url) {
  const std::string origin = UrlOrigin(url);
  if (origin.empty()) return "";
  const UrlHandle parsed = ParsedUrl(url);
  if (!parsed) return origin;
  const CurlString path = UrlPart(parsed.get(), CURLUPART_PATH, 0);
  return origin + (path ? PrintableText(path.get()) : "");
}

std::string ProxyOrigin(const std::string& proxy) { return UrlOrigin(ProxyUrl(proxy).c_str()); }

std::string UrlOrigin(const char* url) {
  if (url == nullptr || *url == '\0') {
    return "";
  }
  const UrlHandle parsed = ParsedUrl(url);
  if (!parsed) return "";
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

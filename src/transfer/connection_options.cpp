#include "transfer/connection_options.h"

#include <unistd.h>
#include <cstdlib>

namespace transfer {

CURLcode ApplyTransferLimits(CURL* handle) {
  CURLcode code = curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  if (code == CURLE_OK) {
    code = curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedBytesPerSecond);
  }
  if (code == CURLE_OK) {
    code = curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, kLowSpeedSeconds);
  }
  return code;
}

namespace {

// Debian and Ubuntu, Fedora and RHEL, CentOS and RHEL's extracted bundle, openSUSE,
// Alpine and Arch, and older RHEL: the first one that can be read wins.
constexpr const char* kBundleLocations[] = {
    "/etc/ssl/certs/ca-certificates.crt",
    "/etc/pki/tls/certs/ca-bundle.crt",
    "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",
    "/etc/ssl/ca-bundle.pem",
    "/etc/ssl/cert.pem",
    "/etc/pki/tls/cacert.pem",
};

std::string NonEmptyVariable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace

TrustedCertificates ChooseTrustedCertificates() {
  TrustedCertificates chosen{NonEmptyVariable("SSL_CERT_FILE"), NonEmptyVariable("SSL_CERT_DIR")};
  if (!chosen.bundle_file.empty()) return chosen;
  for (const char* location : kBundleLocations) {
    if (access(location, R_OK) == 0) {
      chosen.bundle_file = location;
      break;
    }
  }
  return chosen;
}

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

}  // namespace transfer

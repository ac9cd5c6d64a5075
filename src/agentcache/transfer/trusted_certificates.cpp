#include "agentcache/transfer/trusted_certificates.h"

#include <unistd.h>

#include <cstdlib>

namespace agentcache {
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

}  // namespace agentcache

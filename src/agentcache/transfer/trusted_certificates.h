// Chooses the certificates that vouch for the download server on the machine the launcher
// runs on, not on the one it was built on: the distributions keep their CA bundle in
// different places, and a static libcurl knows none of them.
#pragma once

#include <string>

namespace agentcache {

struct TrustedCertificates {
  std::string bundle_file;  // for CURLOPT_CAINFO; "" leaves libcurl's default
  std::string directory;    // for CURLOPT_CAPATH; "" leaves libcurl's default
};

// SSL_CERT_FILE and SSL_CERT_DIR win when set and not empty; otherwise the bundle is the
// first readable file of the places the common distributions use. Where none is found,
// nothing is trusted beyond libcurl's default, and verification fails: it is never
// turned off.
[[nodiscard]] TrustedCertificates ChooseTrustedCertificates();

}  // namespace agentcache

// OpenSSL as verification uses it: readied without reading any OpenSSL configuration file,
// so that no file on the machine can load an engine or provider module into the process, and
// the owners of the objects verification makes, each freed on every path.
#pragma once

#include <openssl/evp.h>
#include <memory>

namespace verification {

// Safe to call any number of times, from any thread; false when OpenSSL cannot start.
[[nodiscard]] bool InitializeCryptoWithoutConfig();

struct DigestContextFree {
  void operator()(EVP_MD_CTX* digest) const { EVP_MD_CTX_free(digest); }
};
struct PublicKeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

using OwnedDigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;
using OwnedPublicKey = std::unique_ptr<EVP_PKEY, PublicKeyFree>;

}  // namespace verification

// Owners of the OpenSSL objects that verification makes: each is freed on every path.
#pragma once

#include <openssl/evp.h>

#include <memory>

namespace agentcache {

struct DigestContextFree {
  void operator()(EVP_MD_CTX* digest) const { EVP_MD_CTX_free(digest); }
};
struct PublicKeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

using OwnedDigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;
using OwnedPublicKey = std::unique_ptr<EVP_PKEY, PublicKeyFree>;

}  // namespace agentcache

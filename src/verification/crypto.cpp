#include "verification/crypto.h"

#include <openssl/crypto.h>

namespace verification {

// The first initialization decides: once it has said "no configuration", no later use of the
// library reads one, whoever makes it (libcurl is built to say the same).
bool InitializeCryptoWithoutConfig() {
  return OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) == 1;
}

}  // namespace verification

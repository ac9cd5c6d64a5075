// Readies OpenSSL's digests and signatures without reading any OpenSSL configuration file, so
// that no file on the machine can load an engine or provider module into the process.
#pragma once

namespace agentcache {

// Safe to call any number of times, from any thread; false when OpenSSL cannot start.
[[nodiscard]] bool InitializeCryptoWithoutConfig();

}  // namespace agentcache

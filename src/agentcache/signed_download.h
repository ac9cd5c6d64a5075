// What a download hands back to a launcher with publisher keys: the signed bytes of the
// archive it fetched, hashed while the body arrived, and the server's ETag line, which is
// recorded only once an agent made from that archive is installed. It comes in with the
// keys, so that a cached agent counts only when one of them vouched for it.
#pragma once

#include <string>

#include <vector>

#include "verification/publisher_keys.h"
#include "verification/signed_bytes.h"

namespace agentcache {

struct SignedDownload {
  std::vector<verification::PublisherKey> keys;  // the launcher's, never empty
  verification::SignedBytes signed_bytes;
  bool hashed = false;  // false: the digest failed, and the archive cannot be vouched for
  std::string etag_line;
};

}  // namespace agentcache

// For a launcher with publisher keys: whether a downloaded agent archive may be used (its
// signature, then its version against the highest this cache has accepted under the keys the
// launcher trusts), and what the cache remembers of an agent once a verified archive is
// unpacked into it. An admitted archive is cut to its signed bytes, so unzip reads exactly
// what was verified.
// A download hands the fetched archive to it as a SignedDownload.
#pragma once

#include <string>
#include <vector>

#include "agentcache/verification_records.h"
#include "base/message_sink.h"
#include "verification/publisher_keys.h"
#include "verification/signed_bytes.h"

namespace agentcache {

struct SignedDownload {
  std::vector<verification::PublisherKey> keys;  // the launcher's, never empty
  verification::SignedBytes signed_bytes;
  bool hashed = false;  // false: the digest failed, and the archive cannot be vouched for
};

enum class AdmissionVerdict {
  kRefused,        // reported; nothing may be unpacked
  kAccepted,       // the archive may replace the cached agent or serve this run
  kKeepInstalled,  // the archive is older than the agent last accepted, which is installed:
                   // it runs instead, and the note that says so has been printed
};

struct Admission {
  AdmissionVerdict verdict = AdmissionVerdict::kRefused;
  VerificationRecord record;  // kAccepted: the key and version that vouch for the archive
};

// cache_directory: the resolved cache directory when the cache is this user's, so that its
// version floors count; empty for a cache that another user could have prepared, which is
// not read at all. A floors record that cannot be read refuses the archive.
[[nodiscard]] Admission AdmitDownloadedAgent(const std::string& archive_path,
                                             const SignedDownload& download,
                                             const std::vector<verification::PublisherKey>& keys,
                                             const std::string& cache_directory,
                                             base::MessageSink sink);

// The cached agent is verified (below) and at or above the floor of `keys`, with floors that
// can be read: it may run while the server cannot be reached.
[[nodiscard]] bool CachedAgentMayRunOffline(const std::string& cache_directory,
                                            const std::vector<verification::PublisherKey>& keys);

// The cached agent is complete, is the very installation its verification record speaks
// for, and was vouched for by one of `keys`: an agent that another publisher's key, or a key
// this launcher file no longer carries, let in does not count. `record` then holds the record.
[[nodiscard]] bool CachedAgentVerified(const std::string& cache_directory,
                                       const std::vector<verification::PublisherKey>& keys,
                                       VerificationRecord& record);

// Under the exclusive lock, right after an archive was admitted and before the cached agent
// is removed: the floor of the key that vouched for it is raised, durably. A run killed later
// may leave the installed agent below the floor, which then refuses it rather than letting an
// older one in. false when the floor could not be written.
[[nodiscard]] bool RaiseFloorForAdmittedAgent(const std::string& cache_directory,
                                              const VerificationRecord& record);

// After a verified archive was unpacked into the cache, under the exclusive lock: a fresh
// token and the record, and only when both were written the marker, so that a cache that
// could not record everything fetches and verifies again.
void RememberVerifiedAgent(const std::string& cache_directory, const VerificationRecord& record,
                           const std::string& etag_line);

}  // namespace agentcache

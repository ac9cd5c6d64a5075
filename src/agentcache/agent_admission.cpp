#include "agentcache/agent_admission.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "agentcache/cache_directory.h"
#include "agentcache/download_messages.h"
#include "base/release_constants.h"
#include "base/trace.h"
#include "verification/agent_verification.h"

namespace agentcache {
namespace {

std::string CachedAgentDirectory(const std::string& cache_directory) {
  return cache_directory + base::AgentProgramName;
}

Admission Refuse(const std::string& reason, base::MessageSink sink) {
  base::Trace("verification: refused (" + reason + ")");
  sink(verification::VerificationFailureMessage(reason), true);
  return {};
}

}  // namespace

Admission AdmitDownloadedAgent(const std::string& archive_path, const SignedDownload& download,
                               const std::vector<verification::PublisherKey>& keys,
                               const std::string& cache_directory, base::MessageSink sink) {
  // Without its digest the signature cannot be matched against the archive.
  if (!download.hashed) {
    return Refuse("its signature does not match its contents", sink);
  }
  const verification::AgentVerification verification = verification::VerifyAgentSignature(
      download.signed_bytes, keys, verification::LauncherRelease());
  if (!verification.verified) {
    return Refuse(verification.failure_reason, sink);
  }
  std::vector<KeyFloor> floors;
  if (!cache_directory.empty() &&
      ReadVersionFloors(cache_directory, floors) == RecordRead::kUnreadable) {
    // Never taken for no floor: that would let any older agent in.
    return Refuse(verification::UnreadableFloorsReason(cache_directory + kVersionFloorsName), sink);
  }
  const std::uint64_t floor = FloorForKeys(floors, keys);
  if (verification.version < floor) {
    // A lagging server or a rollback: neither replaces the newer agent, and neither stops
    // the user while that agent is there.
    VerificationRecord installed;
    if (CachedAgentVerified(cache_directory, keys, installed) && installed.version >= floor) {
      sink(verification::OlderAgentNote(verification.version, installed.version), true);
      return {AdmissionVerdict::kKeepInstalled, installed};
    }
    return Refuse(verification::OlderAgentReason(verification.version, floor), sink);
  }
  if (!verification::CutToSignedBytes(archive_path, download.signed_bytes)) {
    sink(ArchiveFileFailedMessage(errno), true);
    return {};
  }
  base::Trace("verification: accepted under key " + verification::KeyIdText(verification.key_id) +
              " at version " + std::to_string(verification.version));
  return {AdmissionVerdict::kAccepted, {verification.key_id, verification.version}};
}

bool CachedAgentVerified(const std::string& cache_directory,
                         const std::vector<verification::PublisherKey>& keys,
                         VerificationRecord& record) {
  return !agentcache::InstalledAgentDirectory(cache_directory).empty() &&
         InstalledAgentRecord(cache_directory, CachedAgentDirectory(cache_directory), record) &&
         std::any_of(keys.begin(), keys.end(), [&](const verification::PublisherKey& key) {
           return key.key_id == record.key_id;
         });
}

bool CachedAgentMayRunOffline(const std::string& cache_directory,
                              const std::vector<verification::PublisherKey>& keys) {
  VerificationRecord record;
  std::vector<KeyFloor> floors;
  return CachedAgentVerified(cache_directory, keys, record) &&
         ReadVersionFloors(cache_directory, floors) != RecordRead::kUnreadable &&
         record.version >= FloorForKeys(floors, keys);
}

bool RaiseFloorForAdmittedAgent(const std::string& cache_directory,
                                const VerificationRecord& record) {
  return RaiseVersionFloor(cache_directory, record.key_id, record.version);
}

void RememberVerifiedAgent(const std::string& cache_directory, const VerificationRecord& record,
                           const std::string& etag_line) {
  if (RecordVerifiedAgent(cache_directory, CachedAgentDirectory(cache_directory), record)) {
    WriteValidationMarker(cache_directory, etag_line);
  }
}

}  // namespace agentcache

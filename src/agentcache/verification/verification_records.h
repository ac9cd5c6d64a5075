// What the agent cache remembers of verified agents, for launchers with publisher keys:
// - the version floor ".agentversionfloor", the highest agent version this cache accepted;
//   it is only ever raised;
// - the verification record ".agentverification", the key and version that vouched for the
//   agent now installed, bound to that installation by a random token that is written both
//   into the record and into ".agentverificationtoken" inside the agent directory.
// An archive may carry a token file of its own, but it cannot know the record's token, and
// every removal of the agent directory takes the token with it.
// Each file is a few lines of text, written whole under the cache lock; see record_file.h.
#pragma once

#include <cstdint>
#include <string>

#include "agentcache/verification/publisher_keys.h"
#include "agentcache/verification/record_file.h"

namespace agentcache {

extern const char kVersionFloorName[];
extern const char kVerificationRecordName[];
extern const char kAgentTokenName[];

// kAbsent when no version was ever accepted here; kUnreadable when the file is not a floor
// record of this user's.
[[nodiscard]] RecordRead ReadVersionFloor(const std::string& cache_directory, std::uint64_t& floor);

// Makes the floor `version` unless a higher one is recorded; a floor that cannot be read is
// replaced. false when it could not be written.
[[nodiscard]] bool RaiseVersionFloor(const std::string& cache_directory, std::uint64_t version);

struct VerificationRecord {
  KeyId key_id{};
  std::uint64_t version = 0;
};

// After a verified unpack into `agent_directory`: a fresh token there, then the record.
[[nodiscard]] bool RecordVerifiedAgent(const std::string& cache_directory,
                                       const std::string& agent_directory,
                                       const VerificationRecord& record);

// true, with `record` filled, when the record reads and its token is the one inside
// `agent_directory`: the agent installed there is the one the record speaks for.
[[nodiscard]] bool InstalledAgentRecord(const std::string& cache_directory,
                                        const std::string& agent_directory,
                                        VerificationRecord& record);

}  // namespace agentcache

// What the agent cache remembers of verified agents, for launchers with publisher keys:
// - the version floors ".agentversionfloors", one line "key=KEYID version=N" per key: the
//   highest agent version this cache accepted under that key. A floor is only ever raised,
//   and a launcher applies only the floors of the keys it trusts, so a key that it never
//   trusted (or no longer does) cannot lock it out;
// - the verification record ".agentverification", the key and version that vouched for the
//   agent now installed, bound to that installation by a random token that is written both
//   into the record and into ".agentverificationtoken" inside the agent directory.
// An archive may carry a token file of its own, but it cannot know the record's token, and
// every removal of the agent directory takes the token with it.
// Each file is a few lines of text, written whole and durably under the cache lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "agentcache/cache_directory.h"
#include "verification/publisher_keys.h"

namespace agentcache {

// The record files: written whole and durably (a temporary file beside the name, mode 0600,
// synced, then a rename and a sync of the directory) and read back only from a regular file
// of this user's that is no symbolic link.

// `directory` ends with a separator or is joined with one. false when any step failed; the
// name then still holds what it held before.
[[nodiscard]] bool WriteRecordFile(const std::string& directory, const std::string& name,
                                   const std::string& text);

enum class RecordRead { kAbsent, kRead, kUnreadable };

[[nodiscard]] RecordRead ReadRecordFile(const std::string& directory, const std::string& name,
                                        std::string& text);

struct KeyFloor {
  verification::KeyId key_id{};
  std::uint64_t version = 0;
};

// The lines of a floors record, each key once; false for anything else.
[[nodiscard]] bool ParseVersionFloors(const std::string& text, std::vector<KeyFloor>& floors);

// The floors this cache keeps. Where it has no floors record yet (a cache that an older
// launcher filled), the key of the verification record starts at that record's version.
// kUnreadable when the record exists but is not a floors record of this user's.
[[nodiscard]] RecordRead ReadVersionFloors(const std::string& cache_directory,
                                           std::vector<KeyFloor>& floors);

// The highest floor among `keys`; 0 when none of them has one.
[[nodiscard]] std::uint64_t FloorForKeys(const std::vector<KeyFloor>& floors,
                                         const std::vector<verification::PublisherKey>& keys);

// Makes the floor of `key_id` `version` unless a higher one is recorded. false when the
// floors cannot be read or written.
[[nodiscard]] bool RaiseVersionFloor(const std::string& cache_directory,
                                     const verification::KeyId& key_id, std::uint64_t version);

struct VerificationRecord {
  verification::KeyId key_id{};
  std::uint64_t version = 0;
};

// The three lines of a verification record; false for anything else.
[[nodiscard]] bool ParseVerificationRecord(const std::string& text, VerificationRecord& record,
                                           std::string& token);

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

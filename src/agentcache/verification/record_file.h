// The small text files in which the agent cache remembers what it verified: written whole and
// durably (a temporary file beside the name, mode 0600, synced, then a rename and a sync of
// the directory) and read back only from a regular file of this user's that is no symbolic
// link.
#pragma once

#include <string>

namespace agentcache {

// `directory` ends with a separator or is joined with one. false when any step failed; the
// name then still holds what it held before.
[[nodiscard]] bool WriteRecordFile(const std::string& directory, const std::string& name,
                                   const std::string& text);

enum class RecordRead { kAbsent, kRead, kUnreadable };

[[nodiscard]] RecordRead ReadRecordFile(const std::string& directory, const std::string& name,
                                        std::string& text);

// Writes all of the text to the descriptor, resuming after interruptions and short writes.
[[nodiscard]] bool WriteWhole(int descriptor, const std::string& text);

// Joins a directory and a name with exactly one separator between them.
[[nodiscard]] std::string PathInDirectory(const std::string& directory, const std::string& name);

}  // namespace agentcache

// The validation marker ".validatestring" in the agent cache directory: the ETag line of
// the archive the cached agent was last filled from, stored without a line end.
#pragma once

#include <string>

namespace agentcache {

// Rewrites the marker with the value; does nothing for an empty directory or value and
// reports nothing when the file cannot be written.
void WriteValidationMarker(const std::string& directory, const std::string& value);

// true exactly when the marker's text before its first LF equals the non-empty value.
[[nodiscard]] bool ValidationMarkerMatches(const std::string& directory, const std::string& value);

}  // namespace agentcache

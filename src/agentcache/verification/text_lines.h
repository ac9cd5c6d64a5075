// Splits the small texts of signatures, keys and cache records into lines.
#pragma once

#include <string>
#include <vector>

namespace agentcache {

// The lines of `text`, split at LF, each without a CR at its end; a final LF ends the last
// line rather than starting an empty one.
[[nodiscard]] std::vector<std::string> SplitLines(const std::string& text);

}  // namespace agentcache

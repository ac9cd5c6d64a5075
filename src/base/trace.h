// The trace for support: with QX_TRACE set to exactly "1", every decision of a run is one
// line on standard error, "trace: " and the words, written whole with one write so that no
// message is ever cut by it. Any other value, or none, writes nothing and costs a flag test.
// Standard output is never touched. The callers hand over only what may be shown: never a
// credential, a query string, the user's arguments to the agent or another header value.
#pragma once

#include <string>
#include <string_view>

namespace base {

// Read once, at the first call.
[[nodiscard]] bool TraceEnabled();

// Writes "trace: " + line + "\n" when tracing; control characters in line become '?'.
void Trace(std::string_view line);

}  // namespace base

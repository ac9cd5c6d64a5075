// Writes the launcher's displays (the progress line, the waiting line) to a terminal.
// A display is no message: a failed write is simply dropped.
#pragma once

#include <string>

namespace agentcache {

// Writes all of the text to the descriptor, resuming after interrupted writes.
void WriteDisplay(int fd, const std::string& text);

}  // namespace agentcache

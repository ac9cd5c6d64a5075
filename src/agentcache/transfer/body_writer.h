// The write callback of the GET: the body goes from libcurl's buffers straight into the
// archive file's stream.
#pragma once

#include <cstddef>

namespace agentcache {

// stream is the archive file's FILE*. Returns what fwrite returns; a short count makes
// libcurl end the transfer with CURLE_WRITE_ERROR.
std::size_t WriteBodyToFile(char* data, std::size_t size, std::size_t count, void* stream);

}  // namespace agentcache

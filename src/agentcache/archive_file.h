// The archive file a download writes: created or emptied, close-on-exec, with a large
// stream buffer so that the body reaches the disk in big writes.
#pragma once

#include <cstdio>
#include <memory>

#include "agentcache/owned_file.h"

namespace agentcache {

struct ArchiveFile {
  // Declared before the stream so that the stream is closed (and flushed) before the
  // buffer it writes from is freed.
  std::unique_ptr<char[]> buffer;
  OwnedFile stream;
  int open_error = 0;  // errno of a failed open, taken at once
};

[[nodiscard]] ArchiveFile OpenArchiveFile(const char* archive_path);

}  // namespace agentcache

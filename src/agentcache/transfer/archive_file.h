// The archive file a download writes: created or emptied, close-on-exec, released on every
// path by its owner.
#pragma once

#include "base/files.h"

namespace agentcache {

struct ArchiveFile {
  base::OwnedFile stream;
  int open_error = 0;  // errno of a failed open, taken at once
};

[[nodiscard]] ArchiveFile OpenArchiveFile(const char* archive_path);

}  // namespace agentcache

#include "agentcache/transfer/archive_file.h"

#include <cerrno>
#include <cstdio>

namespace agentcache {

// The stream keeps its default buffer. libcurl hands over pieces of up to 1 MiB, which
// glibc writes straight through; a large stream buffer would copy every byte once more
// and measurably slows the write of a 512 MiB archive to disk. Open for reading too, so that
// a download to be verified can hash the archive from the file while it is written.
ArchiveFile OpenArchiveFile(const char* archive_path) {
  ArchiveFile archive;
  archive.stream.reset(std::fopen(archive_path, "w+be"));
  if (!archive.stream) {
    archive.open_error = errno;
  }
  return archive;
}

}  // namespace agentcache

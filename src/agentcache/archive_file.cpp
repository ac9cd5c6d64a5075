#include "agentcache/archive_file.h"

#include <cerrno>
#include <new>

namespace agentcache {
namespace {

constexpr std::size_t kStreamBufferSize = std::size_t{1} << 20;

}  // namespace

ArchiveFile OpenArchiveFile(const char* archive_path) {
  ArchiveFile archive;
  archive.stream.reset(std::fopen(archive_path, "wbe"));
  if (!archive.stream) {
    archive.open_error = errno;
    return archive;
  }
  // Without the large buffer the stream keeps its default one; the download still works.
  archive.buffer.reset(new (std::nothrow) char[kStreamBufferSize]);
  if (archive.buffer) {
    std::setvbuf(archive.stream.get(), archive.buffer.get(), _IOFBF, kStreamBufferSize);
  }
  return archive;
}

}  // namespace agentcache

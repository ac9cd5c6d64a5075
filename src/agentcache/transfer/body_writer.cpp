#include "agentcache/transfer/body_writer.h"

#include <cstdio>

namespace agentcache {

std::size_t WriteBodyToFile(char* data, std::size_t size, std::size_t count, void* stream) {
  return std::fwrite(data, size, count, static_cast<std::FILE*>(stream));
}

}  // namespace agentcache

// A FILE stream that closes itself: the one owner of every file this subsystem opens.
#pragma once

#include <cstdio>
#include <memory>

namespace agentcache {

struct FileCloser {
  // The result of closing is not a verdict here: callers that care about the written
  // bytes flush and check before they let go of the stream.
  void operator()(std::FILE* stream) const { std::fclose(stream); }
};

using OwnedFile = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace agentcache

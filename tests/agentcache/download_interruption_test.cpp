#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "agentcache/isolated_home.h"
#include "agentcache/loopback_http_server.h"
#include "agentcache/refresh.h"
#include "localfs/interruption.h"
#include "localfs/paths.h"

namespace {

using agentcache_test::HttpReply;
using agentcache_test::HttpRequest;
using agentcache_test::IsolatedHome;
using agentcache_test::LoopbackHttpServer;
using agentcache_test::RecordedMessages;
using agentcache_test::RecordMessage;
using agentcache_test::Reply;

// Runs in a child process, since an interruption cannot be taken back. Exits 0 when the
// download was abandoned silently and left the stalled connection by itself.
[[noreturn]] void DownloadFromAStallingServerAndGetInterrupted() {
  const localfs::InterruptionGuard guard;
  const IsolatedHome env;
  if (localfs::MakeDirectories(env.cache() + "installagent", 0700) != 0) std::exit(3);
  // The GET's body starts, then nothing more arrives; the server itself gives up only at
  // the end of its lifetime.
  const LoopbackHttpServer server(
      [](const HttpRequest& request) {
        HttpReply reply = Reply("200 OK", "ETag: \"v1\"\r\n", std::string(1 << 20, 'z'));
        if (request.method == "GET") {
          reply.body.resize(1000);
          reply.then = HttpReply::Then::kStall;
          kill(getpid(), SIGTERM);
        }
        return reply;
      },
      std::chrono::seconds(15));
  const std::string archive = env.scratch() / "InstallAgent.zip";
  agentcache::CacheLock no_lock;
  const agentcache::CacheAccess access{agentcache::CacheUse::kRefresh,
                                       agentcache::CacheRefusal::kNone, env.cache()};
  agentcache::FetchedArchive fetched;
  const bool result = agentcache::DownloadAgentArchive(
                          server.Url("/agent").c_str(), archive.c_str(), access, no_lock, nullptr,
                          fetched, RecordMessage) != agentcache::DownloadOutcome::kFailed;
  const bool interrupted = localfs::InterruptRequested();
  const bool messages_empty = RecordedMessages().empty();
  for (const std::string& message : RecordedMessages())
    std::fprintf(stderr, "message: %s\n", message.c_str());
  struct stat marker {};
  const bool marker_written = stat((env.cache() + ".validatestring").c_str(), &marker) == 0;
  const bool left_by_client = server.ClientLeftStalledConnection();
  std::fprintf(stderr, "result=%d interrupted=%d left=%d marker=%d\n", result, interrupted,
               left_by_client, marker_written);
  std::exit(!result && interrupted && messages_empty && left_by_client && !marker_written ? 0 : 1);
}

TEST(DownloadInterruption, ATransferInProgressIsAbandonedWithoutAnyMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(DownloadFromAStallingServerAndGetInterrupted(), ::testing::ExitedWithCode(0), "");
}

}  // namespace

// The cache's side of a download over a stand-in for the server: what is fetched, when the
// old agent goes, when the marker is written, and what the user is told, with no HTTP at all.
#include "agentcache/refresh.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "agentcache/isolated_home.h"
#include "localfs/paths.h"

namespace {

using agentcache::CacheRefusal;
using agentcache::CacheUse;
using agentcache::DownloadOutcome;
using agentcache_test::RecordedMessages;
using agentcache_test::RecordMessage;
using testing_support::Exists;
using testing_support::ReadFile;
using testing_support::WriteFile;
using transfer::Failure;
using Lines = std::vector<std::string>;

const std::string kAdvice =
    ". Check your internet connectivity, proxy server, firewall, and virus scanner settings and "
    "rerun the installer.";

// Answers the HEAD with a tag, and the GET with a body or a failure; says what it was asked.
class FakeExchange final : public transfer::Exchange {
 public:
  std::string etag_line = "ETag: \"v2\"\r";
  Failure head_failure;
  Failure get_failure;
  std::string body = "PK\x03\x04 the new archive";
  std::function<void()> during_get = [] {};
  Lines requests;

  Failure Head(transfer::Response& response) override {
    requests.push_back("HEAD");
    response.etag_line = etag_line;
    return head_failure;
  }
  Failure Get(transfer::BodyWriter& writer, transfer::Response& response,
              const transfer::RangeRequest& /*range*/) override {
    requests.push_back("GET");
    during_get();
    if (get_failure.failed()) return get_failure;
    response.status = 200;
    response.content_length = static_cast<std::int64_t>(body.size());
    EXPECT_TRUE(writer.Begin(response));
    EXPECT_TRUE(writer.Write(body.data(), body.size()));
    return Failure();
  }
};

Failure FailureOf(Failure::Kind kind, CURLcode code, long status = 0, std::string details = "") {
  Failure failure;
  failure.kind = kind;
  failure.code = code;
  failure.status = status;
  failure.details = std::move(details);
  return failure;
}

class RefreshTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(localfs::MakeDirectories(env_.cache() + "installagent", 0700), 0);
    WriteFile(env_.cache() + "installagent/install", "#!/bin/sh\n");
    WriteFile(env_.cache() + ".validatestring", "ETag: \"v1\"\r");
  }

  static constexpr transfer::RetryPolicy kNoRetries{0, 0};

  DownloadOutcome Refresh(CacheUse use = CacheUse::kRefresh,
                          agentcache::SignedDownload* signed_download = nullptr) {
    const agentcache::CacheAccess access{use, agentcache::CacheRefusal::kNone, env_.cache()};
    return agentcache::RefreshAgentArchive(exchange_, kNoRetries, archive().c_str(), access,
                                           no_lock_, signed_download, fetched_, RecordMessage);
  }
  std::string archive() const { return env_.scratch() / "InstallAgent.zip"; }
  std::string marker() const { return ReadFile(env_.cache() + ".validatestring"); }
  bool AgentThere() const { return Exists(env_.cache() + "installagent/install"); }

  agentcache_test::IsolatedHome env_;
  agentcache::CacheLock no_lock_;
  agentcache::FetchedArchive fetched_;  // the tag for the marker, and where the archive lies
  FakeExchange exchange_;
};

TEST_F(RefreshTest, AnUnchangedTagFetchesNothingAndLeavesTheAgent) {
  exchange_.etag_line = "ETag: \"v1\"\r";
  EXPECT_EQ(Refresh(), DownloadOutcome::kCachedAgentCurrent);
  EXPECT_EQ(exchange_.requests, (Lines{"HEAD"}));
  EXPECT_TRUE(AgentThere());
  EXPECT_EQ(RecordedMessages(), Lines{});
}

TEST_F(RefreshTest, ANewTagLeavesTheAgentAndItsMarkerAndHandsBackTheTag) {
  bool agent_there_during_get = true;
  std::string marker_during_get;
  exchange_.during_get = [&] {
    agent_there_during_get = AgentThere();
    marker_during_get = marker();
  };
  EXPECT_EQ(Refresh(), DownloadOutcome::kFetchedToReplaceCachedAgent);
  EXPECT_EQ(exchange_.requests, (Lines{"HEAD", "GET"}));
  EXPECT_TRUE(agent_there_during_get);
  EXPECT_EQ(marker_during_get, "ETag: \"v1\"\r");
  EXPECT_TRUE(AgentThere());
  EXPECT_EQ(marker(), "ETag: \"v1\"\r");
  EXPECT_EQ(fetched_.etag_line, "ETag: \"v2\"\r");
  EXPECT_EQ(ReadFile(fetched_.path), exchange_.body);
}

TEST_F(RefreshTest, WithKeysTheAgentAndMarkerStayAndTheArchiveComesBackHashed) {
  agentcache::SignedDownload signed_download;
  signed_download.keys.emplace_back();
  EXPECT_EQ(Refresh(CacheUse::kRefresh, &signed_download),
            DownloadOutcome::kFetchedToReplaceCachedAgent);
  EXPECT_TRUE(AgentThere());
  EXPECT_EQ(marker(), "ETag: \"v1\"\r");
  EXPECT_TRUE(signed_download.hashed);
  EXPECT_EQ(fetched_.etag_line, "ETag: \"v2\"\r");
  EXPECT_EQ(signed_download.signed_bytes.archive_length, exchange_.body.size());
}

TEST_F(RefreshTest, ACacheThatIsNotRefreshedIsLeftAsItWas) {
  EXPECT_EQ(Refresh(CacheUse::kUseIfCurrent), DownloadOutcome::kFetchedForThisRun);
  EXPECT_TRUE(AgentThere());
  EXPECT_EQ(marker(), "ETag: \"v1\"\r");
  EXPECT_EQ(ReadFile(archive()), exchange_.body);
}

TEST_F(RefreshTest, EachFailureIsToldOnceByItsClass) {
  struct Case {
    Failure head;
    Failure get;
    Lines messages;
  };
  const std::string download_failed = "Error: Download process failed - ";
  const std::vector<Case> cases = {
      {FailureOf(Failure::Kind::kStatus, CURLE_OK, 404),
       {},
       {"Could not reach the download server" + kAdvice}},
      {FailureOf(Failure::Kind::kStatus, CURLE_OK, 503),
       {},
       {"Error: Download process failed. Received an HTTP code: 503" + kAdvice}},
      {{},
       FailureOf(Failure::Kind::kTransfer, CURLE_RECV_ERROR, 0, "Details: reset (http://h:1)"),
       {download_failed + curl_easy_strerror(CURLE_RECV_ERROR) + "\n\n" + kAdvice,
        "Details: reset (http://h:1)"}},
      {FailureOf(Failure::Kind::kRequestRefused, CURLE_URL_MALFORMAT),
       {},
       {std::string("Error: Failed to initialize the installer - ") +
        curl_easy_strerror(CURLE_URL_MALFORMAT) + "\n\n" + kAdvice}},
      {{}, FailureOf(Failure::Kind::kInterrupted, CURLE_ABORTED_BY_CALLBACK), {}},
  };
  // Without an agent to fall back on, every failure ends the run.
  ASSERT_EQ(std::remove((env_.cache() + "installagent/install").c_str()), 0);
  for (const Case& each : cases) {
    RecordedMessages().clear();
    exchange_.head_failure = each.head;
    exchange_.get_failure = each.get;
    EXPECT_EQ(Refresh(), DownloadOutcome::kFailed);
    EXPECT_EQ(RecordedMessages(), each.messages);
    EXPECT_EQ(marker(), "ETag: \"v1\"\r") << "a failed download records no tag";
  }
}

// The installed agent runs when the network fails the download, never when the server's
// answer is the user's to act on, and never from a cache that another run holds.
TEST_F(RefreshTest, AnUnreachableServerLeavesTheInstalledAgentToRun) {
  Failure busy = FailureOf(Failure::Kind::kStatus, CURLE_OK, 503);
  busy.reason = "the server answered 503";
  exchange_.head_failure = busy;
  EXPECT_EQ(Refresh(), DownloadOutcome::kCachedAgentCurrent);
  EXPECT_EQ(RecordedMessages(), Lines{agentcache::OfflineAgentNote("the server answered 503")});
  RecordedMessages().clear();
  exchange_.head_failure = {};
  exchange_.get_failure = FailureOf(Failure::Kind::kTransfer, CURLE_RECV_ERROR);
  exchange_.get_failure.reason = "reset";
  EXPECT_EQ(Refresh(), DownloadOutcome::kCachedAgentCurrent);
  EXPECT_EQ(RecordedMessages(), Lines{agentcache::OfflineAgentNote("reset")});
  EXPECT_EQ(marker(), "ETag: \"v1\"\r");
  RecordedMessages().clear();
  const agentcache::CacheAccess held{CacheUse::kUseIfCurrent, CacheRefusal::kHeldByAncestor,
                                     env_.cache()};
  EXPECT_EQ(agentcache::RefreshAgentArchive(exchange_, kNoRetries, archive().c_str(), held,
                                            no_lock_, nullptr, fetched_, RecordMessage),
            DownloadOutcome::kFailed);
  exchange_.get_failure = {};
  exchange_.head_failure = FailureOf(Failure::Kind::kStatus, CURLE_OK, 404);
  EXPECT_EQ(Refresh(), DownloadOutcome::kFailed);
}

// Where libcurl cannot start, a cache that may be used goes on with what it holds.
TEST_F(RefreshTest, WithoutLibcurlTheCacheIsUsedWhereItMayBe) {
  exchange_.head_failure = FailureOf(Failure::Kind::kNoHandle, CURLE_FAILED_INIT);
  EXPECT_EQ(Refresh(CacheUse::kUseIfCurrent), DownloadOutcome::kCachedAgentCurrent);
  EXPECT_EQ(RecordedMessages(), Lines{});
  EXPECT_EQ(Refresh(CacheUse::kIgnore), DownloadOutcome::kFailed);
  EXPECT_EQ(RecordedMessages(),
            Lines{std::string("Internal Error: Failed to initialize the download process - ") +
                  curl_easy_strerror(CURLE_FAILED_INIT)});
}

}  // namespace

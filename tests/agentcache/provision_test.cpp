#include "agentcache/provision.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "agentcache/isolated_home.h"
#include "agentcache/loopback_http_server.h"

namespace {

using agentcache::ProvisionInstallAgent;
using agentcache_test::HttpRequest;
using agentcache_test::IsolatedHome;
using agentcache_test::LoopbackHttpServer;
using agentcache_test::RecordedMessages;
using agentcache_test::RecordMessage;
using agentcache_test::Reply;
using testing_support::Exists;
using testing_support::ReadFile;
using testing_support::ScopedEnvironment;
using testing_support::ScratchDirectory;
using testing_support::WriteFile;
using Lines = std::vector<std::string>;

const char kUnzipFailed[] = "Failed to unzip the install agent";
const char kInitializationFailed[] = "Failed to initialize the install agent.";

class ProvisionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(env_.home().c_str(), 0700), 0);
    ASSERT_EQ(mkdir(work().c_str(), 0700), 0);
    WriteFile(work() + "/bundle.zip", "the bundle");
  }

  std::string work() const { return env_.scratch() / "work"; }

  // A real agent archive, made by the zip tool, whose entry script prints the marker.
  std::string AgentArchive(const std::string& marker) {
    const std::string source = sources_ / marker;
    const std::string archive = sources_ / (marker + ".zip");
    if (mkdir(source.c_str(), 0700) != 0) return "";
    WriteFile(source + "/install", "#!/bin/sh\necho " + marker + "\n", 0755);
    const std::string command = "cd '" + source + "' && zip -q '" + archive + "' install";
    return std::system(command.c_str()) == 0 ? ReadFile(archive) : "";
  }

  std::string Provision() {
    agentcache::CacheLock cache_lock;
    return ProvisionInstallAgent(work(), {}, cache_lock, RecordMessage);
  }

  // Each run has a fresh work directory: the archive the last one downloaded is gone.
  void StartNextRun() { std::remove((work() + "/InstallAgent.zip").c_str()); }

  IsolatedHome env_;
  ScratchDirectory sources_;
};

TEST_F(ProvisionTest, ALocalArchiveServesThisRunWithoutCacheOrNetwork) {
  const LoopbackHttpServer server([](const HttpRequest&) { return Reply("200 OK", ""); });
  const ScopedEnvironment url("QX_INTERNAL_INSTALL_AGENT_URL", server.Url("/agent"));
  for (const char* name : {"InstallAgent.zip", "InstallAgent_7.zip"}) {
    SCOPED_TRACE(name);
    const std::string archive = AgentArchive(std::string("local") + name[12]);
    ASSERT_FALSE(archive.empty());
    std::remove((work() + "/InstallAgent.zip").c_str());
    WriteFile(work() + "/" + name, archive);
    EXPECT_EQ(Provision(), work() + "/install");
    EXPECT_EQ(ReadFile(work() + "/install"),
              std::string("#!/bin/sh\necho local") + name[12] + "\n");
  }
  EXPECT_EQ(RecordedMessages(), Lines{});
  EXPECT_EQ(server.RequestLines(), Lines{});
  EXPECT_FALSE(Exists(env_.home() + "/.quenth"));
}

TEST_F(ProvisionTest, ALocalArchiveThatDoesNotUnpackFailsWithoutFallingBackToTheCache) {
  const LoopbackHttpServer server([](const HttpRequest&) { return Reply("200 OK", ""); });
  const ScopedEnvironment url("QX_INTERNAL_INSTALL_AGENT_URL", server.Url("/agent"));
  WriteFile(work() + "/InstallAgent_1.zip", "PK\x03\x04 not an archive");
  EXPECT_EQ(Provision(), "");
  EXPECT_EQ(RecordedMessages(), (Lines{kUnzipFailed, kInitializationFailed}));

  RecordedMessages().clear();
  std::remove((work() + "/InstallAgent_1.zip").c_str());
  ASSERT_EQ(symlink("nowhere", (work() + "/InstallAgent_2.zip").c_str()), 0);
  EXPECT_EQ(Provision(), "");
  EXPECT_EQ(RecordedMessages(), Lines{kInitializationFailed}) << "nothing to unzip: one message";
  EXPECT_EQ(server.RequestLines(), Lines{});
}

TEST_F(ProvisionTest, TheCacheIsFilledOnceAndReusedWhileTheETagStays) {
  const std::string archive = AgentArchive("cached");
  ASSERT_FALSE(archive.empty());
  const LoopbackHttpServer server(
      [archive](const HttpRequest&) { return Reply("200 OK", "ETag: \"a1\"\r\n", archive); });
  const ScopedEnvironment url("QX_INTERNAL_INSTALL_AGENT_URL", server.Url("/agent"));
  const std::string entry_script = env_.cache() + "installagent/install";

  EXPECT_EQ(Provision(), entry_script);
  EXPECT_EQ(ReadFile(entry_script), "#!/bin/sh\necho cached\n");
  EXPECT_EQ(ReadFile(env_.cache() + ".validatestring"), "ETag: \"a1\"\r");
  struct stat cache_status {};
  ASSERT_EQ(stat(env_.cache().c_str(), &cache_status), 0);
  EXPECT_EQ(cache_status.st_mode & 0777, 0700u);

  // The second run must not even start unzip.
  const ScratchDirectory tools;
  const testing_support::FakeTool unzip(tools, "unzip", "touch '" + (tools / "ran") + "'");
  StartNextRun();
  EXPECT_EQ(Provision(), entry_script);
  EXPECT_FALSE(Exists(tools / "ran"));
  EXPECT_EQ(ReadFile(work() + "/InstallAgent.zip"), "");
  EXPECT_EQ(RecordedMessages(), Lines{});
  EXPECT_EQ(server.RequestLines(), (Lines{"HEAD /agent", "GET /agent", "HEAD /agent"}));
}

TEST_F(ProvisionTest, ADownloadThatDoesNotUnpackIsFetchedAgainByTheNextRun) {
  const LoopbackHttpServer server([](const HttpRequest&) {
    return Reply("200 OK", "ETag: \"bad\"\r\n", "PK\x03\x04 truncated");
  });
  const ScopedEnvironment url("QX_INTERNAL_INSTALL_AGENT_URL", server.Url("/agent"));
  EXPECT_EQ(Provision(), "");
  EXPECT_EQ(RecordedMessages(), (Lines{kUnzipFailed, kInitializationFailed}));
  StartNextRun();
  EXPECT_EQ(Provision(), "");
  EXPECT_EQ(server.RequestLines(),
            (Lines{"HEAD /agent", "GET /agent", "HEAD /agent", "GET /agent"}));
}

TEST_F(ProvisionTest, AFailedDownloadAddsNoMessageOfItsOwn) {
  const LoopbackHttpServer server([](const HttpRequest&) { return Reply("404 Not Found", ""); });
  const ScopedEnvironment url("QX_INTERNAL_INSTALL_AGENT_URL", server.Url("/agent"));
  EXPECT_EQ(Provision(), "");
  const Lines messages = RecordedMessages();
  ASSERT_EQ(messages.size(), 2U);
  EXPECT_EQ(messages[0],
            "Could not reach the download server. Check your internet connectivity, proxy "
            "server, firewall, and virus scanner settings and rerun the installer.");
  EXPECT_EQ(messages[1].rfind("Details: the server answered 404 (http://127.0.0.1:", 0), 0U);
}

}  // namespace

#include "agentcache/provision.h"

#include <sys/stat.h>

#include <tuple>

#include "agentcache/download.h"
#include "agentcache/local_agent_archive.h"
#include "bootstrap/release_constants.h"
#include "localfs/agent_unpack.h"
#include "localfs/cache_paths.h"
#include "localfs/directories.h"
#include "localfs/interruption.h"

namespace agentcache {
namespace {

constexpr char kUnzipProgram[] = "unzip";
constexpr mode_t kCacheDirectoryMode = 0700;

// An unpack stopped by the user's interruption is no failure of the agent: the run ends
// quietly and main ends it by the signal.
std::string ReportInitializationFailure(bootstrap::MessageSink sink) {
  if (!localfs::InterruptRequested()) {
    sink("Failed to initialize the install agent.", true);
  }
  return "";
}

// A body arrived in this run, so the cache was not current. An entry script found now
// belongs to an old agent that could not be removed (a read-only cache, say) and must
// not pass for the new one.
bool FetchedInThisRun(const std::string& archive_path) {
  struct stat archive {};
  return stat(archive_path.c_str(), &archive) == 0 && archive.st_size > 0;
}

// An agent shipped beside the bundle serves this run only: unpacked into the work
// directory, with the cache and the network left alone.
std::string UseLocalAgentArchive(const std::string& archive, const std::string& work_directory,
                                 bootstrap::MessageSink sink) {
  if (!localfs::UnpackInstallAgent(archive, work_directory, kUnzipProgram, sink)) {
    return ReportInitializationFailure(sink);
  }
  return localfs::InstallEntryPath(work_directory);
}

// The per-user cache: refreshed by the download when the server's tag changed, reused
// as it is otherwise. Every look at the cached agent happens under its lock, and a ready
// agent is handed over with the shared lock held.
std::string UseCachedAgent(const std::string& work_directory, CacheLock& cache_lock,
                           bootstrap::MessageSink sink) {
  const std::string cache_directory = localfs::AgentCacheDirectory();
  const std::string agent_directory = cache_directory + bootstrap::AgentProgramName;
  // Not examined: a directory that could not be made shows up in the steps that use it.
  std::ignore = localfs::MakeDirectories(agent_directory, kCacheDirectoryMode);
  cache_lock = CacheLock::ForCacheDirectory(cache_directory);
  if (!cache_lock.WaitShared()) {
    return "";
  }

  const std::string archive_path =
      work_directory + bootstrap::PathSeparator + bootstrap::AgentArchiveName;
  if (!DownloadInstallAgent(archive_path.c_str(), cache_lock, sink)) {
    return "";
  }
  const std::string installed_agent = localfs::InstalledAgentDirectory();
  if (!installed_agent.empty() && !FetchedInThisRun(archive_path)) {
    cache_lock.KeepShared();
    return localfs::InstallEntryPath(installed_agent);
  }
  // An interrupted run stops before it starts unzip; the next run finds no entry script
  // and downloads again.
  if (localfs::InterruptRequested()) {
    return "";
  }
  if (!localfs::UnpackInstallAgent(archive_path, agent_directory, kUnzipProgram, sink)) {
    // unzip may have written the entry script before it failed or was stopped, and the
    // marker already names the new archive: a half-unpacked agent would pass for current.
    localfs::RemoveTree(agent_directory);
    return ReportInitializationFailure(sink);
  }
  cache_lock.KeepShared();
  return localfs::InstallEntryPath(agent_directory);
}

}  // namespace

std::string ProvisionInstallAgent(const std::string& work_directory, CacheLock& cache_lock,
                                  bootstrap::MessageSink sink) {
  const std::string local_archive = FindLocalAgentArchive(work_directory);
  if (!local_archive.empty()) {
    return UseLocalAgentArchive(local_archive, work_directory, sink);
  }
  return UseCachedAgent(work_directory, cache_lock, sink);
}

}  // namespace agentcache

#include "agentcache/agent_replacement.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <tuple>

#include "agentcache/cache_directory.h"
#include "base/release_constants.h"
#include "localfs/interruption.h"
#include "localfs/paths.h"
#include "localfs/self_extraction.h"
#include "localfs/shell_command.h"

namespace agentcache {

namespace {

constexpr char kUnzipProgram[] = "unzip";
constexpr mode_t kAgentDirectoryMode = 0700;

// A fresh directory of this user's alone: whatever an earlier run left under the name goes.
// On failure errno tells why.
bool MakeStagingDirectory(const std::string& staging) {
  localfs::RemoveTree(staging);
  if (::mkdir(staging.c_str(), kAgentDirectoryMode) != 0) return false;
  struct stat entry {};
  if (::lstat(staging.c_str(), &entry) == 0 && S_ISDIR(entry.st_mode) &&
      localfs::OwnAndClosed(entry)) {
    return true;
  }
  errno = EPERM;
  return false;
}

// Removes a directory of this user's even when its mode was taken away (chmod 0), which
// would otherwise keep rm out of it and the name taken for every later update.
void RemoveOwnTree(const std::string& path) {
  struct stat entry {};
  if (::lstat(path.c_str(), &entry) == 0 && S_ISDIR(entry.st_mode) &&
      localfs::OwnAndClosed(entry)) {
    std::ignore = ::chmod(path.c_str(), kAgentDirectoryMode);
  }
  localfs::RemoveTree(path);
}

bool Unpack(const std::string& archive_path, const std::string& directory, base::MessageSink sink) {
  if (!localfs::UnpackInstallAgent(archive_path, directory, kUnzipProgram, sink) ||
      localfs::InterruptRequested()) {
    // unzip may have written the entry script before it failed or was stopped: a
    // half-unpacked agent would pass for a whole one.
    localfs::RemoveTree(directory);
    return ReportAgentNotReady(sink);
  }
  return true;
}

bool MoveStagedAgentIntoPlace(const std::string& cache_directory, base::MessageSink sink) {
  const std::string installed = cache_directory + base::AgentProgramName;
  const std::string staging = StagingAgentDirectory(cache_directory);
  const std::string retired = RetiredAgentDirectory(cache_directory);
  RemoveOwnTree(retired);
  if (std::rename(installed.c_str(), retired.c_str()) != 0 && errno != ENOENT) {
    localfs::RemoveTree(staging);
    return ReportAgentNotReady(sink);
  }
  if (std::rename(staging.c_str(), installed.c_str()) != 0) {
    // The installed agent goes back where it was.
    std::ignore = std::rename(retired.c_str(), installed.c_str());
    localfs::RemoveTree(staging);
    return ReportAgentNotReady(sink);
  }
  RemoveOwnTree(retired);
  return true;
}

// A cache directory whose mode lets no entry be made in it cannot hold a second agent beside
// the first: there the old agent's files go and the new one is unpacked in their place, as
// it always was.
bool ReplaceInPlace(const std::string& archive_path, const std::string& installed,
                    base::MessageSink sink) {
  localfs::RemoveTree(installed);
  // unzip would make the directory with the umask's mode. Not examined: unzip reports a
  // directory that is not there.
  std::ignore = localfs::EnsureDirectory(installed, kAgentDirectoryMode);
  return Unpack(archive_path, installed, sink);
}

}  // namespace

bool ReportAgentNotReady(base::MessageSink sink) {
  if (!localfs::InterruptRequested()) {
    sink("Failed to initialize the install agent.", true);
  }
  return false;
}

bool ReplaceCachedAgent(const std::string& archive_path, const std::string& cache_directory,
                        const std::function<void()>& before_moves, base::MessageSink sink) {
  // An interrupted run stops before it starts unzip.
  if (localfs::InterruptRequested()) return false;
  const std::string staging = StagingAgentDirectory(cache_directory);
  if (!MakeStagingDirectory(staging)) {
    const int error_number = errno;
    localfs::RemoveTree(staging);
    if (error_number != EACCES && error_number != EROFS) return ReportAgentNotReady(sink);
    before_moves();
    return ReplaceInPlace(archive_path, cache_directory + base::AgentProgramName, sink);
  }
  if (!Unpack(archive_path, staging, sink)) return false;
  before_moves();
  return MoveStagedAgentIntoPlace(cache_directory, sink);
}

}  // namespace agentcache

#include "agentcache/provision.h"

#include <dirent.h>
#include <sys/stat.h>
#include <memory>
#include <tuple>

#include "agentcache/agent_admission.h"
#include "agentcache/cache_access.h"
#include "agentcache/cache_directory.h"
#include "agentcache/cache_lock.h"
#include "agentcache/refresh.h"
#include "base/release_constants.h"
#include "localfs/interruption.h"
#include "localfs/paths.h"
#include "localfs/self_extraction.h"
#include "localfs/shell_command.h"

namespace agentcache {

namespace {

constexpr char kVersionedArchivePrefix[] = "InstallAgent_";
constexpr char kVersionedArchiveSuffix[] = ".zip";

struct DirectoryCloser {
  void operator()(DIR* directory) const { closedir(directory); }
};

bool EndsWithSeparator(const std::string& path) {
  return !path.empty() && path.back() == base::PathSeparator.back();
}

bool IsVersionedArchiveName(const std::string& name) {
  const std::string prefix = kVersionedArchivePrefix;
  const std::string suffix = kVersionedArchiveSuffix;
  return name.size() >= prefix.size() + suffix.size() &&
         name.compare(0, prefix.size(), prefix) == 0 &&
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::string FindLocalAgentArchive(const std::string& work_directory) {
  const std::string separator = EndsWithSeparator(work_directory) ? "" : base::PathSeparator;
  const std::string plain_archive = work_directory + separator + base::AgentArchiveName;
  struct stat archive_status {};
  if (stat(plain_archive.c_str(), &archive_status) == 0) {
    return plain_archive;
  }

  const std::unique_ptr<DIR, DirectoryCloser> listing(opendir(work_directory.c_str()));
  if (!listing) {
    return "";
  }
  // The listing's own order decides among several matches; nothing is sorted.
  while (const dirent* entry = readdir(listing.get())) {
    const std::string name = entry->d_name;
    if (IsVersionedArchiveName(name)) {
      const std::string directory = EndsWithSeparator(work_directory)
                                        ? work_directory.substr(0, work_directory.size() - 1)
                                        : work_directory;
      return directory + base::PathSeparator + name;
    }
  }
  return "";
}

namespace {

constexpr char kUnzipProgram[] = "unzip";
constexpr mode_t kCacheDirectoryMode = 0700;

// An unpack stopped by the user's interruption is no failure of the agent: the run ends
// quietly and main ends it by the signal.
std::string ReportInitializationFailure(base::MessageSink sink) {
  if (!localfs::InterruptRequested()) {
    sink("Failed to initialize the install agent.", true);
  }
  return "";
}

// An agent shipped beside the bundle serves this run only: unpacked into the work
// directory, with the cache and the network left alone.
std::string UseLocalAgentArchive(const std::string& archive, const std::string& work_directory,
                                 base::MessageSink sink) {
  if (!localfs::UnpackInstallAgent(archive, work_directory, kUnzipProgram, sink)) {
    return ReportInitializationFailure(sink);
  }
  return agentcache::InstallEntryPath(work_directory);
}

// The agent runs from the cache with the shared lock held until its command has ended. Its
// launcher's descendants learn of the lock, so that a launcher that the agent starts never
// waits for it.
std::string HandOverCachedAgent(const std::string& agent_directory, CacheLock& cache_lock) {
  cache_lock.KeepShared();
  if (cache_lock.HasFile()) {
    AnnounceHeldLock(cache_lock.FileIdentity());
  }
  return agentcache::InstallEntryPath(agent_directory);
}

// The fetched archive becomes the cached agent, in a directory only this user can enter.
// false after the cause has been reported (or when the run was interrupted).
bool UnpackCachedAgent(const std::string& archive_path, const std::string& agent_directory,
                       base::MessageSink sink) {
  // An interrupted run stops before it starts unzip; the next run finds no entry script
  // and downloads again.
  if (localfs::InterruptRequested()) {
    return false;
  }
  // unzip would make the directory with the umask's mode. Not examined: unzip reports a
  // directory that is not there.
  std::ignore = localfs::EnsureDirectory(agent_directory, kCacheDirectoryMode);
  if (!localfs::UnpackInstallAgent(archive_path, agent_directory, kUnzipProgram, sink)) {
    // unzip may have written the entry script before it failed or was stopped, and the
    // marker may already name the new archive: a half-unpacked agent would pass for current.
    localfs::RemoveTree(agent_directory);
    std::ignore = ReportInitializationFailure(sink);
    return false;
  }
  return true;
}

std::string UnpackIntoCache(const std::string& archive_path, const std::string& agent_directory,
                            CacheLock& cache_lock, base::MessageSink sink) {
  if (!UnpackCachedAgent(archive_path, agent_directory, sink)) {
    return "";
  }
  return HandOverCachedAgent(agent_directory, cache_lock);
}

// For a launcher with keys, under the exclusive lock: the cached agent is removed only once
// its successor has passed verification, and the cache then remembers who vouched for it.
// An archive older than the agent last accepted leaves that agent in place, to run.
std::string ReplaceWithVerifiedAgent(const std::string& archive_path,
                                     const std::string& cache_directory,
                                     const std::vector<verification::PublisherKey>& keys,
                                     const SignedDownload& download, CacheLock& cache_lock,
                                     base::MessageSink sink) {
  const std::string agent_directory = cache_directory + base::AgentProgramName;
  const Admission admission =
      AdmitDownloadedAgent(archive_path, download, keys, cache_directory, sink);
  if (admission.verdict == AdmissionVerdict::kRefused) {
    return "";
  }
  if (admission.verdict == AdmissionVerdict::kAccepted) {
    if (localfs::InterruptRequested()) {
      return "";
    }
    // A floor that could not be written leaves the agent unrecorded: it runs now, and the
    // next run fetches and verifies it again.
    const bool floor_raised = RaiseFloorForAdmittedAgent(cache_directory, admission.record);
    localfs::RemoveTree(agent_directory);
    if (!UnpackCachedAgent(archive_path, agent_directory, sink)) {
      return "";
    }
    if (floor_raised) {
      RememberVerifiedAgent(cache_directory, admission.record, download.etag_line);
    }
  }
  return HandOverCachedAgent(agent_directory, cache_lock);
}

// An agent for this run alone, in its own directory of the work directory so that no
// member of it can overwrite the bundle. One line says why the cache was not used.
std::string UnpackForThisRun(const std::string& archive_path, const std::string& work_directory,
                             const std::string& note, base::MessageSink sink) {
  if (localfs::InterruptRequested()) {
    return "";
  }
  sink(note, true);
  const std::string agent_directory = work_directory + base::PathSeparator + base::AgentProgramName;
  if (!localfs::UnpackInstallAgent(archive_path, agent_directory, kUnzipProgram, sink)) {
    return ReportInitializationFailure(sink);
  }
  return agentcache::InstallEntryPath(agent_directory);
}

// The per-user cache, when it is safely this user's: refreshed by the download when the
// server's tag changed, reused as it is otherwise. Every look at the cached agent happens
// under its lock. A cache that is not this user's, cannot be written, or whose lock an
// ancestor launcher holds is left as it is, and a stale or untrusted agent is replaced by
// one fetched for this run only.
std::string UseAgentCache(const std::string& work_directory,
                          const std::vector<verification::PublisherKey>& keys,
                          CacheLock& cache_lock, base::MessageSink sink) {
  const CacheAccess access = OpenAgentCache(cache_lock);
  const std::string& cache_directory = access.directory;
  const std::string agent_directory = cache_directory + base::AgentProgramName;
  if (!cache_lock.WaitShared()) {
    return "";
  }

  const std::string archive_path = work_directory + base::PathSeparator + base::AgentArchiveName;
  // A launcher with keys verifies every archive it downloads before anything is unpacked.
  SignedDownload signed_download;
  signed_download.keys = keys;
  SignedDownload* const verification = keys.empty() ? nullptr : &signed_download;
  switch (DownloadInstallAgent(archive_path.c_str(), cache_directory, access.use, cache_lock,
                               verification, sink)) {
    case DownloadOutcome::kFailed:
      return "";
    case DownloadOutcome::kCachedAgentCurrent:
      if (!agentcache::InstalledAgentDirectory(cache_directory).empty()) {
        return HandOverCachedAgent(agent_directory, cache_lock);
      }
      // No download could be set up, and there is no agent: unzip reports the empty
      // archive.
      return UnpackIntoCache(archive_path, agent_directory, cache_lock, sink);
    case DownloadOutcome::kFetchedToReplaceCachedAgent:
      if (verification != nullptr) {
        return ReplaceWithVerifiedAgent(archive_path, cache_directory, keys, signed_download,
                                        cache_lock, sink);
      }
      return UnpackIntoCache(archive_path, agent_directory, cache_lock, sink);
    case DownloadOutcome::kFetchedForThisRun:
      if (verification != nullptr) {
        // The floors count only in a cache of this user's; they are never written from here.
        const Admission admission =
            AdmitDownloadedAgent(archive_path, signed_download, keys, cache_directory, sink);
        if (admission.verdict == AdmissionVerdict::kRefused) {
          return "";
        }
        if (admission.verdict == AdmissionVerdict::kKeepInstalled) {
          return HandOverCachedAgent(agent_directory, cache_lock);
        }
      }
      // The note names the cache as the user knows it, not as it resolved.
      return UnpackForThisRun(
          archive_path, work_directory,
          RunPrivateAgentNote(agentcache::AgentCacheDirectory(), access.refusal), sink);
  }
  return "";
}

}  // namespace

std::string ProvisionInstallAgent(const std::string& work_directory,
                                  const std::vector<verification::PublisherKey>& keys,
                                  CacheLock& cache_lock, base::MessageSink sink) {
  const std::string local_archive = FindLocalAgentArchive(work_directory);
  if (!local_archive.empty()) {
    return UseLocalAgentArchive(local_archive, work_directory, sink);
  }
  return UseAgentCache(work_directory, keys, cache_lock, sink);
}

}  // namespace agentcache

#include "agentcache/provision.h"

#include <dirent.h>
#include <sys/stat.h>
#include <memory>
#include <tuple>

#include "agentcache/agent_admission.h"
#include "agentcache/agent_replacement.h"
#include "agentcache/cache_access.h"
#include "agentcache/cache_directory.h"
#include "agentcache/cache_lock.h"
#include "agentcache/partial_archive.h"
#include "agentcache/refresh.h"
#include "base/release_constants.h"
#include "base/trace.h"
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

std::string ReportInitializationFailure(base::MessageSink sink) {
  std::ignore = ReportAgentNotReady(sink);
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

// Without keys: the fetched archive takes the cached agent's place, and only then does the
// marker name its tag.
std::string UnpackIntoCache(const std::string& archive_path, const std::string& cache_directory,
                            const std::string& etag_line, CacheLock& cache_lock,
                            base::MessageSink sink) {
  if (!ReplaceCachedAgent(
          archive_path, cache_directory, [] {}, sink)) {
    return "";
  }
  WriteValidationMarker(cache_directory, etag_line);
  return HandOverCachedAgent(cache_directory + base::AgentProgramName, cache_lock);
}

// For a launcher with keys, under the exclusive lock: the cached agent is replaced only once
// its successor has passed verification and is unpacked, and the cache then remembers who
// vouched for it. An archive older than the agent last accepted leaves that agent in place,
// to run.
std::string ReplaceWithVerifiedAgent(const std::string& archive_path,
                                     const std::string& cache_directory,
                                     const std::vector<verification::PublisherKey>& keys,
                                     const SignedDownload& download, const std::string& etag_line,
                                     CacheLock& cache_lock, base::MessageSink sink) {
  const std::string agent_directory = cache_directory + base::AgentProgramName;
  const Admission admission =
      AdmitDownloadedAgent(archive_path, download, keys, cache_directory, sink);
  if (admission.verdict == AdmissionVerdict::kRefused) {
    return "";
  }
  if (admission.verdict == AdmissionVerdict::kAccepted) {
    // The floor rises before the installed agent goes. One that could not be written leaves
    // the agent unrecorded: it runs now, and the next run fetches and verifies it again.
    bool floor_raised = false;
    const auto raise_floor = [&] {
      floor_raised = RaiseFloorForAdmittedAgent(cache_directory, admission.record);
    };
    if (!ReplaceCachedAgent(archive_path, cache_directory, raise_floor, sink)) {
      return "";
    }
    if (floor_raised) {
      RememberVerifiedAgent(cache_directory, admission.record, etag_line);
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

void TraceCacheAccess(const CacheAccess& access) {
  if (!base::TraceEnabled()) return;
  const char* use = access.use == CacheUse::kRefresh        ? "refreshed when stale"
                    : access.use == CacheUse::kUseIfCurrent ? "used only when current"
                                                            : "not used";
  std::string line = "cache " + AgentCacheDirectory() + ": " + use;
  if (!access.directory.empty() && access.directory != AgentCacheDirectory()) {
    line += " (resolved to " + access.directory + ")";
  }
  if (access.refusal != CacheRefusal::kNone) {
    line += "; " + RunPrivateAgentNote(AgentCacheDirectory(), access.refusal);
  }
  base::Trace(line);
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
  TraceCacheAccess(access);
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
  FetchedArchive fetched;
  switch (
      DownloadInstallAgent(archive_path.c_str(), access, cache_lock, verification, fetched, sink)) {
    case DownloadOutcome::kFailed:
      return "";
    case DownloadOutcome::kCachedAgentCurrent:
      if (!agentcache::InstalledAgentDirectory(cache_directory).empty()) {
        return HandOverCachedAgent(agent_directory, cache_lock);
      }
      // No download could be set up, and there is no agent: unzip reports the empty
      // archive.
      return UnpackIntoCache(archive_path, cache_directory, "", cache_lock, sink);
    case DownloadOutcome::kFetchedToReplaceCachedAgent: {
      const std::string entry =
          verification != nullptr
              ? ReplaceWithVerifiedAgent(fetched.path, cache_directory, keys, signed_download,
                                         fetched.etag_line, cache_lock, sink)
              : UnpackIntoCache(fetched.path, cache_directory, fetched.etag_line, cache_lock, sink);
      // Used, whether it became the agent or was refused: no later run continues it.
      RemovePartialArchive(cache_directory);
      return entry;
    }
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
  base::Trace(local_archive.empty() ? "local agent archive: none beside the bundle"
                                    : "local agent archive: " + local_archive);
  if (!local_archive.empty()) {
    return UseLocalAgentArchive(local_archive, work_directory, sink);
  }
  return UseAgentCache(work_directory, keys, cache_lock, sink);
}

}  // namespace agentcache

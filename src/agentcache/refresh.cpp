#include "agentcache/refresh.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "agentcache/agent_admission.h"
#include "agentcache/archive_writers.h"
#include "agentcache/cache_directory.h"
#include "agentcache/partial_archive.h"
#include "base/files.h"
#include "base/release_constants.h"
#include "base/trace.h"
#include "localfs/interruption.h"
#include "localfs/paths.h"
#include "localfs/shell_command.h"
#include "verification/agent_verification.h"

namespace agentcache {

namespace {

constexpr char kDownloadUrlVariable[] = "QX_INTERNAL_INSTALL_AGENT_URL";

// The stream keeps its default buffer. libcurl hands over pieces of up to 1 MiB, which
// glibc writes straight through; a large stream buffer would copy every byte once more
// and measurably slows the write of a 512 MiB archive to disk. Open for reading too, so that
// a download to be verified can hash the archive from the file while it is written.
base::OwnedFile OpenArchiveFile(const char* archive_path) {
  return base::OwnedFile(std::fopen(archive_path, "w+be"));
}

// Complete, and recorded as made from the archive that carries the server's tag; for a
// launcher with keys also the installation that its verification record speaks for.
bool CachedAgentCurrent(const std::string& cache_directory, const std::string& etag_line,
                        const SignedDownload* signed_download) {
  VerificationRecord record;
  const bool complete = !agentcache::InstalledAgentDirectory(cache_directory).empty();
  const bool marked = complete && ValidationMarkerMatches(cache_directory, etag_line);
  const bool verified =
      marked && (signed_download == nullptr ||
                 CachedAgentVerified(cache_directory, signed_download->keys, record));
  base::Trace(std::string("cached agent: ") + (complete ? "complete" : "not complete") +
              (!complete ? ""
               : marked  ? ", its marker names the server's tag"
                         : ", its marker does not name the server's tag") +
              (signed_download == nullptr || !marked ? ""
               : verified ? ", verified under key " + verification::KeyIdText(record.key_id) +
                                " at version " + std::to_string(record.version)
                          : ", no verification record of the launcher's keys") +
              (verified ? ": current" : ": to be fetched"));
  return verified;
}

// Where libcurl cannot even start, a run may go on with whatever the cache holds; a
// launcher with keys only with an agent that was verified.
bool CacheUsableWithoutDownload(const std::string& cache_directory, CacheUse cache_use,
                                const SignedDownload* signed_download) {
  VerificationRecord record;
  return cache_use != CacheUse::kIgnore && !cache_directory.empty() &&
         (signed_download == nullptr ||
          CachedAgentVerified(cache_directory, signed_download->keys, record));
}

}  // namespace

DownloadOutcome DownloadInstallAgent(const char* archive_path, const CacheAccess& cache,
                                     CacheLock& cache_lock, SignedDownload* signed_download,
                                     FetchedArchive& fetched, base::MessageSink sink) {
  const char* const url_override = std::getenv(kDownloadUrlVariable);
  const char* const url = url_override != nullptr ? url_override : base::AgentDownloadUrl.c_str();
  return DownloadAgentArchive(url, archive_path, cache, cache_lock, signed_download, fetched, sink);
}

DownloadOutcome DownloadAgentArchive(const char* url, const char* archive_path,
                                     const CacheAccess& cache, CacheLock& cache_lock,
                                     SignedDownload* signed_download, FetchedArchive& fetched,
                                     base::MessageSink sink) {
  transfer::HttpSession session(url, &localfs::InterruptRequested);
  return RefreshAgentArchive(session, transfer::RetryPolicy::FromEnvironment(), archive_path, cache,
                             cache_lock, signed_download, fetched, sink);
}

namespace {

// A server that turns away the header-only request while its GET works: the headers of a GET
// stand in for the HEAD's.
bool HeadRefused(const transfer::Failure& failure) {
  return failure.kind == transfer::Failure::Kind::kStatus &&
         (failure.status == 403 || failure.status == 405 || failure.status == 501);
}

// A body continued in a later request, or from a partial of an earlier run, that does not
// verify may be a bad splice rather than a bad archive: it is fetched once more, whole,
// before its refusal is reported.
bool SignatureFails(const SignedDownload& download) {
  return !download.hashed ||
         !verification::VerifyAgentSignature(download.signed_bytes, download.keys,
                                             verification::LauncherRelease())
              .verified;
}

// A write that failed is the local disk's fault, and its details line says so.
void ReportFetchFailure(transfer::Failure failure, const ArchiveTarget& target,
                        base::MessageSink sink) {
  const std::string write_details = target.WriteFailureDetails();
  if (failure.code == CURLE_WRITE_ERROR && !write_details.empty()) {
    failure.details = write_details;
  }
  ReportDownloadFailure(failure, sink);
}

// An installed agent that may run while the server cannot be reached: complete and recorded
// with a marker in a cache of this user's (or one that only cannot be written), and for a
// launcher with keys verified at or above the floor. A cache that an ancestor run holds, or
// that another user could have prepared, has none.
bool OfflineAgentAvailable(const CacheAccess& cache, const SignedDownload* signed_download) {
  const bool cache_may_serve =
      cache.use == CacheUse::kRefresh ||
      (cache.use == CacheUse::kUseIfCurrent && cache.refusal == CacheRefusal::kCannotBeWritten);
  if (!cache_may_serve || cache.directory.empty() ||
      InstalledAgentDirectory(cache.directory).empty()) {
    return false;
  }
  struct stat marker {};
  if (::lstat((cache.directory + base::ValidationMarkerName).c_str(), &marker) != 0 ||
      !OwnRegularFile(marker)) {
    return false;
  }
  return signed_download == nullptr ||
         CachedAgentMayRunOffline(cache.directory, signed_download->keys);
}

// The failure is one of the network's, and there is an agent to run without it.
bool RunOffline(const transfer::Failure& failure, bool offline_agent, base::MessageSink sink) {
  if (!offline_agent || !transfer::IsTransient(failure)) return false;
  base::Trace("the installed agent runs without the server");
  sink(OfflineAgentNote(failure.reason), true);
  return true;
}

}  // namespace

DownloadOutcome RefreshAgentArchive(transfer::Exchange& exchange,
                                    const transfer::RetryPolicy& policy, const char* archive_path,
                                    const CacheAccess& cache, CacheLock& cache_lock,
                                    SignedDownload* signed_download, FetchedArchive& fetched,
                                    base::MessageSink sink) {
  const std::string& cache_directory = cache.directory;
  const CacheUse cache_use = cache.use;
  const base::OwnedFile archive = OpenArchiveFile(archive_path);
  if (!archive) {
    sink(ArchiveFileFailedMessage(errno), true);
    return DownloadOutcome::kFailed;
  }
  const bool cache_looked_at = cache_use != CacheUse::kIgnore && !cache_directory.empty();
  const bool offline_agent = OfflineAgentAvailable(cache, signed_download);
  // With an agent to fall back on, the user waits for one retry of the HEAD, not three.
  transfer::RetryPolicy head_policy = policy;
  if (offline_agent) head_policy.retries = std::min(head_policy.retries, 1);
  transfer::RetryingExchange head_requests(exchange, head_policy, &localfs::InterruptRequested,
                                           sink);
  transfer::RetryingExchange requests(exchange, policy, &localfs::InterruptRequested, sink);

  transfer::Response head;
  const transfer::Failure head_failure = head_requests.Head(head);
  if (head_failure.kind == transfer::Failure::Kind::kNoHandle &&
      CacheUsableWithoutDownload(cache_directory, cache_use, signed_download)) {
    return DownloadOutcome::kCachedAgentCurrent;
  }
  if (RunOffline(head_failure, offline_agent, sink)) return DownloadOutcome::kCachedAgentCurrent;
  const bool head_refused = HeadRefused(head_failure);
  if (head_failure.failed() && !head_refused) {
    ReportDownloadFailure(head_failure, sink);
    return DownloadOutcome::kFailed;
  }

  // The signed bytes are hashed while the body arrives.
  ArchiveTarget work_target(archive.get(), archive_path, signed_download != nullptr);
  transfer::Response body;
  fetched.etag_line = head.etag_line;
  fetched.path = archive_path;
  std::string offered_etag = head.headers.etag;
  bool body_fetched = false;
  if (head_refused) {
    // The GET stops after its headers when they show the cached agent current, and when the
    // body may be fetched only under the exclusive lock, which this run does not hold yet.
    bool current = false;
    bool wait_for_lock = false;
    work_target.DecideBodiesBy([&](const transfer::Response& response) {
      fetched.etag_line = response.etag_line;
      offered_etag = response.headers.etag;
      current = cache_looked_at &&
                CachedAgentCurrent(cache_directory, fetched.etag_line, signed_download);
      wait_for_lock = !current && cache_use == CacheUse::kRefresh;
      return !current && !wait_for_lock;
    });
    const transfer::Failure failure = requests.Get(work_target, body);
    work_target.DecideBodiesBy(nullptr);
    if (current) return DownloadOutcome::kCachedAgentCurrent;
    if (failure.failed() && !wait_for_lock) {
      if (RunOffline(failure, offline_agent, sink)) return DownloadOutcome::kCachedAgentCurrent;
      ReportFetchFailure(failure, work_target, sink);
      return DownloadOutcome::kFailed;
    }
    body_fetched = !wait_for_lock;
  } else if (cache_looked_at &&
             CachedAgentCurrent(cache_directory, fetched.etag_line, signed_download)) {
    return DownloadOutcome::kCachedAgentCurrent;
  }

  // A run that will replace the agent fetches into the cache's partial archive, so that a cut
  // download can be continued by the next run.
  PartialArchive partial;
  if (cache_use == CacheUse::kRefresh) {
    // Replacing the agent needs the cache to this run alone. An interrupted wait ends the
    // run quietly; and while this run waited, another may have installed this very tag.
    if (!cache_lock.WaitExclusive()) {
      return DownloadOutcome::kFailed;
    }
    if (CachedAgentCurrent(cache_directory, fetched.etag_line, signed_download)) {
      return DownloadOutcome::kCachedAgentCurrent;
    }
    // Stopping here keeps the cached agent as it was.
    if (localfs::InterruptRequested()) {
      return DownloadOutcome::kFailed;
    }
    partial = OpenPartialArchive(cache_directory, offered_etag);
    base::Trace(partial.length > 0
                    ? "partial archive: continued from byte " + std::to_string(partial.length)
                    : std::string("partial archive: none to continue"));
  }
  std::unique_ptr<ArchiveTarget> partial_target;
  if (partial.file) {
    partial_target = std::make_unique<ArchiveTarget>(partial.file.get(), partial.path,
                                                     signed_download != nullptr, partial.length);
    fetched.path = partial.path;
  }
  ArchiveTarget& target = partial_target ? *partial_target : work_target;
  const bool from_partial = partial.length > 0;

  for (bool may_resume = true;; may_resume = false) {
    // A kept partial as long as its whole is checked as it is, never asked for with a range.
    const bool whole =
        from_partial && may_resume && partial.length == partial.resume.complete_length;
    if (!body_fetched && !whole) {
      const transfer::Failure failure = requests.Get(
          target, body, may_resume, may_resume ? partial.resume : transfer::ResumeState());
      if (failure.failed()) {
        if (partial.file) {
          KeepOrRemovePartialArchive(cache_directory, target.length(), requests.held());
        }
        if (RunOffline(failure, offline_agent, sink)) {
          return DownloadOutcome::kCachedAgentCurrent;
        }
        ReportFetchFailure(failure, target, sink);
        return DownloadOutcome::kFailed;
      }
    }
    body_fetched = false;
    // The stream's buffer may still hold the body's tail: a full disk can show up only here.
    if (!target.Flush()) {
      if (partial.file) RemovePartialArchive(cache_directory);
      sink(DownloadFailedMessage(CURLE_WRITE_ERROR), true);
      sink(target.WriteFailureDetails(), true);
      return DownloadOutcome::kFailed;
    }
    if (signed_download == nullptr) break;
    signed_download->hashed = target.Finish(signed_download->signed_bytes);
    const bool spliced = requests.resumed() || (from_partial && may_resume);
    if (!may_resume || !spliced || !SignatureFails(*signed_download)) break;
  }
  return cache_use == CacheUse::kRefresh ? DownloadOutcome::kFetchedToReplaceCachedAgent
                                         : DownloadOutcome::kFetchedForThisRun;
}

}  // namespace agentcache

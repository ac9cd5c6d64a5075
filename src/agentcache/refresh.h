// Fetches the agent archive when the cached agent is missing or its recorded ETag line
// differs from the server's: a HEAD request, then when needed a GET on the same connection.
// This is where the cache's side of a download is decided: whether the cached agent is
// current, when the exclusive lock is taken, and whether the installed agent may run while
// the server cannot be reached. The bytes come through a transfer::Exchange. Every failure is
// reported once through the sink.
#pragma once

#include <curl/curl.h>
#include <string>

#include "agentcache/agent_admission.h"
#include "agentcache/cache_access.h"
#include "agentcache/cache_lock.h"
#include "agentcache/download_messages.h"
#include "base/message_sink.h"
#include "transfer/http_session.h"
#include "transfer/retries.h"

namespace agentcache {

enum class DownloadOutcome {
  // Reported, or the run was interrupted.
  kFailed,
  // Nothing fetched: the cached agent carries the server's tag, or the server cannot be
  // reached and the installed agent may run without it (the note that says so is printed).
  kCachedAgentCurrent,
  // The new archive lies at fetched.path (the cache's partial archive, or the archive file
  // where none could be made); the cache is as it was otherwise, and fetched.etag_line is
  // what the marker is to name once the new agent is in place.
  kFetchedToReplaceCachedAgent,
  // The archive file holds the archive for this run alone; the cache is as it was.
  kFetchedForThisRun,
};

struct FetchedArchive {
  std::string etag_line;
  std::string path;  // where the archive fetched lies
};

// Downloads from QX_INTERNAL_INSTALL_AGENT_URL when set (even empty), else from the
// release's default URL. cache.directory is the resolved agent cache directory (empty when
// the cache is not looked at). With CacheUse::kRefresh the cache lock is to be held shared
// on entry; an agent that is not current is replaced only under the exclusive lock, which is
// then still held on return. kFailed without a message when the run was interrupted while
// it waited for that lock.
// When the server cannot be reached (a transient failure after the last attempt) and the
// cache is this user's or only cannot be written, its installed agent may run offline: the
// header-only request is then tried twice at most.
// A run that replaces the agent fetches into the cache's partial archive and continues the
// one a cut run left there (partial_archive.h).
// signed_download is null for a launcher without publisher keys. Otherwise the cached agent
// is current only with its verification record, and may run offline only at or above the
// floor of the keys; a fetched archive comes back with its signed bytes hashed.
[[nodiscard]] DownloadOutcome DownloadInstallAgent(const char* archive_path,
                                                   const CacheAccess& cache, CacheLock& cache_lock,
                                                   SignedDownload* signed_download,
                                                   FetchedArchive& fetched, base::MessageSink sink);

[[nodiscard]] DownloadOutcome DownloadAgentArchive(const char* url, const char* archive_path,
                                                   const CacheAccess& cache, CacheLock& cache_lock,
                                                   SignedDownload* signed_download,
                                                   FetchedArchive& fetched, base::MessageSink sink);

// The same over any exchange, set up already (a stand-in in tests), with the retries of policy.
[[nodiscard]] DownloadOutcome RefreshAgentArchive(transfer::Exchange& exchange,
                                                  const transfer::RetryPolicy& policy,
                                                  const char* archive_path,
                                                  const CacheAccess& cache, CacheLock& cache_lock,
                                                  SignedDownload* signed_download,
                                                  FetchedArchive& fetched, base::MessageSink sink);

}  // namespace agentcache

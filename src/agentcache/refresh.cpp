#include "agentcache/refresh.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "agentcache/agent_admission.h"
#include "agentcache/archive_writers.h"
#include "agentcache/cache_directory.h"
#include "base/files.h"
#include "base/release_constants.h"
#include "localfs/interruption.h"
#include "localfs/paths.h"
#include "localfs/shell_command.h"
#include "verification/agent_verification.h"

namespace agentcache {

namespace {

constexpr char kConnectivityAdvice[] =
    ". Check your internet connectivity, proxy server, firewall, and virus scanner settings "
    "and rerun the installer.";

}  // namespace

std::string ArchiveFileFailedMessage(int error_number) {
  return std::string("Internal Error: Failed to create local download cache - ") +
         std::strerror(error_number) + ".\n\nPlease rerun the installer.";
}

std::string InstallerSetupFailedMessage(CURLcode code) {
  return std::string("Error: Failed to initialize the installer - ") + curl_easy_strerror(code) +
         "\n\n" + kConnectivityAdvice;
}

std::string DownloadSetupFailedMessage(CURLcode code) {
  return std::string("Internal Error: Failed to initialize the download process - ") +
         curl_easy_strerror(code);
}

std::string DownloadFailedMessage(CURLcode code) {
  return std::string("Error: Download process failed - ") + curl_easy_strerror(code) + "\n\n" +
         kConnectivityAdvice;
}

std::string ServerNotReachedMessage() {
  return std::string("Could not reach the download server") + kConnectivityAdvice;
}

std::string HttpCodeMessage(long response_code) {
  return "Error: Download process failed. Received an HTTP code: " + std::to_string(response_code) +
         kConnectivityAdvice;
}

void ReportDownloadFailure(const transfer::Failure& failure, base::MessageSink sink) {
  using Kind = transfer::Failure::Kind;
  switch (failure.kind) {
    case Kind::kNone:
    case Kind::kInterrupted:
    case Kind::kStoppedAtHeaders:
      return;
    case Kind::kNoHandle:
    case Kind::kOptionRefused:
      sink(DownloadSetupFailedMessage(failure.code), true);
      return;
    case Kind::kRequestRefused:
      sink(InstallerSetupFailedMessage(failure.code), true);
      return;
    case Kind::kTransfer:
      sink(DownloadFailedMessage(failure.code), true);
      if (!failure.details.empty()) sink(failure.details, true);
      return;
    case Kind::kStatus:
      sink(failure.status == 404 ? ServerNotReachedMessage() : HttpCodeMessage(failure.status),
           true);
      return;
  }
}

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
  return !agentcache::InstalledAgentDirectory(cache_directory).empty() &&
         ValidationMarkerMatches(cache_directory, etag_line) &&
         (signed_download == nullptr ||
          CachedAgentVerified(cache_directory, signed_download->keys, record));
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

DownloadOutcome DownloadInstallAgent(const char* archive_path, const std::string& cache_directory,
                                     CacheUse cache_use, CacheLock& cache_lock,
                                     SignedDownload* signed_download, base::MessageSink sink) {
  const char* const url_override = std::getenv(kDownloadUrlVariable);
  const char* const url = url_override != nullptr ? url_override : base::AgentDownloadUrl.c_str();
  return DownloadAgentArchive(url, archive_path, cache_directory, cache_use, cache_lock,
                              signed_download, sink);
}

DownloadOutcome DownloadAgentArchive(const char* url, const char* archive_path,
                                     const std::string& cache_directory, CacheUse cache_use,
                                     CacheLock& cache_lock, SignedDownload* signed_download,
                                     base::MessageSink sink) {
  transfer::HttpSession session(url, &localfs::InterruptRequested);
  return RefreshAgentArchive(session, transfer::RetryPolicy::FromEnvironment(), archive_path,
                             cache_directory, cache_use, cache_lock, signed_download, sink);
}

namespace {

// A server that turns away the header-only request while its GET works: the headers of a GET
// stand in for the HEAD's.
bool HeadRefused(const transfer::Failure& failure) {
  return failure.kind == transfer::Failure::Kind::kStatus &&
         (failure.status == 403 || failure.status == 405 || failure.status == 501);
}

// A body continued in a later request that does not verify may be a bad splice rather than a
// bad archive: it is fetched once more, whole, before its refusal is reported.
bool SplicedBadly(const transfer::RetryingExchange& requests, const SignedDownload& download) {
  return requests.resumed() && (!download.hashed || !verification::VerifyAgentSignature(
                                                         download.signed_bytes, download.keys,
                                                         verification::LauncherRelease())
                                                         .verified);
}

}  // namespace

DownloadOutcome RefreshAgentArchive(transfer::Exchange& exchange,
                                    const transfer::RetryPolicy& policy, const char* archive_path,
                                    const std::string& cache_directory, CacheUse cache_use,
                                    CacheLock& cache_lock, SignedDownload* signed_download,
                                    base::MessageSink sink) {
  const base::OwnedFile archive = OpenArchiveFile(archive_path);
  if (!archive) {
    sink(ArchiveFileFailedMessage(errno), true);
    return DownloadOutcome::kFailed;
  }
  transfer::RetryingExchange requests(exchange, policy, &localfs::InterruptRequested, sink);
  const bool cache_looked_at = cache_use != CacheUse::kIgnore && !cache_directory.empty();

  transfer::Response head;
  const transfer::Failure head_failure = requests.Head(head);
  if (head_failure.kind == transfer::Failure::Kind::kNoHandle &&
      CacheUsableWithoutDownload(cache_directory, cache_use, signed_download)) {
    return DownloadOutcome::kCachedAgentCurrent;
  }
  const bool head_refused = HeadRefused(head_failure);
  if (head_failure.failed() && !head_refused) {
    ReportDownloadFailure(head_failure, sink);
    return DownloadOutcome::kFailed;
  }

  // The signed bytes are hashed while the body arrives.
  ArchiveTarget target(archive.get(), signed_download != nullptr);
  transfer::Response body;
  std::string etag_line = head.etag_line;
  bool body_fetched = false;
  if (head_refused) {
    // The GET stops after its headers when they show the cached agent current, and when the
    // body may be fetched only under the exclusive lock, which this run does not hold yet.
    bool current = false;
    bool wait_for_lock = false;
    target.DecideBodiesBy([&](const transfer::Response& response) {
      etag_line = response.etag_line;
      current = cache_looked_at && CachedAgentCurrent(cache_directory, etag_line, signed_download);
      wait_for_lock = !current && cache_use == CacheUse::kRefresh;
      return !current && !wait_for_lock;
    });
    const transfer::Failure failure = requests.Get(target, body);
    target.DecideBodiesBy(nullptr);
    if (current) return DownloadOutcome::kCachedAgentCurrent;
    if (failure.failed() && !wait_for_lock) {
      ReportDownloadFailure(failure, sink);
      return DownloadOutcome::kFailed;
    }
    body_fetched = !wait_for_lock;
  } else if (cache_looked_at && CachedAgentCurrent(cache_directory, etag_line, signed_download)) {
    return DownloadOutcome::kCachedAgentCurrent;
  }
  if (cache_use == CacheUse::kRefresh) {
    // Replacing the agent needs the cache to this run alone. An interrupted wait ends the
    // run quietly; and while this run waited, another may have installed this very tag.
    if (!cache_lock.WaitExclusive()) {
      return DownloadOutcome::kFailed;
    }
    if (CachedAgentCurrent(cache_directory, etag_line, signed_download)) {
      return DownloadOutcome::kCachedAgentCurrent;
    }
    // Stopping here keeps the cached agent as it was.
    if (localfs::InterruptRequested()) {
      return DownloadOutcome::kFailed;
    }
    // Removed before the GET, so a GET that fails leaves no stale agent behind. An agent that
    // must be verified first stays until its successor has passed.
    if (signed_download == nullptr) {
      localfs::RemoveTree(cache_directory + base::AgentProgramName);
    }
  }

  for (bool may_resume = true;; may_resume = false) {
    if (!body_fetched) {
      const transfer::Failure failure = requests.Get(target, body, may_resume);
      if (failure.failed()) {
        ReportDownloadFailure(failure, sink);
        return DownloadOutcome::kFailed;
      }
    }
    body_fetched = false;
    // The stream's buffer may still hold the body's tail: a full disk can show up only here.
    if (std::fflush(archive.get()) != 0) {
      sink(DownloadFailedMessage(CURLE_WRITE_ERROR), true);
      return DownloadOutcome::kFailed;
    }
    if (signed_download == nullptr) break;
    signed_download->hashed = target.Finish(signed_download->signed_bytes);
    if (!may_resume || !SplicedBadly(requests, *signed_download)) break;
  }
  if (signed_download != nullptr) {
    signed_download->etag_line = etag_line;
  } else if (cache_use == CacheUse::kRefresh) {
    WriteValidationMarker(cache_directory, etag_line);
  }
  return cache_use == CacheUse::kRefresh ? DownloadOutcome::kFetchedToReplaceCachedAgent
                                         : DownloadOutcome::kFetchedForThisRun;
}

}  // namespace agentcache

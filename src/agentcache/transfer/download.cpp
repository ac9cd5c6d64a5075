#include "agentcache/transfer/download.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <tuple>

#include "agentcache/agent_admission.h"
#include "agentcache/transfer/archive_file.h"
#include "agentcache/transfer/body_writer.h"
#include "agentcache/transfer/curl_handle.h"
#include "agentcache/transfer/download_messages.h"
#include "agentcache/transfer/etag_capture.h"
#include "agentcache/transfer/failure_details.h"
#include "agentcache/transfer/hashing_body_writer.h"
#include "agentcache/transfer/progress_display.h"
#include "agentcache/transfer/proxy_options.h"
#include "agentcache/transfer/transfer_limits.h"
#include "agentcache/transfer/transfer_monitor.h"
#include "agentcache/transfer/trusted_certificates.h"
#include "agentcache/validation_marker.h"
#include "base/release_constants.h"
#include "localfs/cache_paths.h"
#include "localfs/directories.h"
#include "localfs/interruption.h"

namespace agentcache {
namespace {

constexpr char kDownloadUrlVariable[] = "QX_INTERNAL_INSTALL_AGENT_URL";

// The limit later libcurl releases use by default; the libcurl of Debian 12 has none, so
// a server that redirects in a circle would otherwise keep the launcher busy forever.
constexpr long kMaxRedirects = 30;

// libcurl's default of 16 KiB costs a callback and a write per 16 KiB of a body of
// hundreds of MiB; with 1 MiB a 512 MiB archive reaches the disk in less time and CPU than
// the curl tool needs for it.
constexpr long kReceiveBufferSize = 1024L * 1024L;

enum class TransferOutcome { kCompleted, kFailed, kInterrupted };

// An https URL may only be redirected to https, so nobody on the path can swap in a
// plain-http agent. A plain-http URL (local use only) may go either way.
const char* RedirectProtocolsFor(const char* url) {
  return strncasecmp(url, "https:", 6) == 0 ? "https" : "http,https";
}

// The certificates chosen on this machine, for the server and for a proxy reached over
// TLS alike; an option left empty keeps libcurl's default.
CURLcode TrustCertificates(CURL* handle) {
  const TrustedCertificates trusted = ChooseTrustedCertificates();
  CURLcode code = CURLE_OK;
  if (!trusted.bundle_file.empty()) {
    code = curl_easy_setopt(handle, CURLOPT_CAINFO, trusted.bundle_file.c_str());
  }
  if (code == CURLE_OK && !trusted.directory.empty()) {
    code = curl_easy_setopt(handle, CURLOPT_CAPATH, trusted.directory.c_str());
  }
  return code == CURLE_OK ? ApplyProxyOptions(handle, trusted) : code;
}

// URL, trusted certificates, redirect handling, time-outs and transfer monitoring. The
// receive buffer size is a matter of speed only, so its result is dropped.
bool ConfigureTransfer(CURL* handle, const char* url, TransferMonitor* monitor,
                       base::MessageSink sink) {
  CURLcode code = curl_easy_setopt(handle, CURLOPT_URL, url);
  if (code != CURLE_OK) {
    sink(InstallerSetupFailedMessage(code), true);
    return false;
  }
  code = TrustCertificates(handle);
  if (code == CURLE_OK) {
    code = curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
  }
  if (code == CURLE_OK) {
    code = curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, RedirectProtocolsFor(url));
  }
  if (code == CURLE_OK) {
    code = curl_easy_setopt(handle, CURLOPT_MAXREDIRS, kMaxRedirects);
  }
  if (code == CURLE_OK) {
    code = ApplyTransferLimits(handle);
  }
  if (code == CURLE_OK) {
    code = curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &MonitorTransfer);
  }
  if (code == CURLE_OK) {
    code = curl_easy_setopt(handle, CURLOPT_XFERINFODATA, static_cast<void*>(monitor));
  }
  if (code == CURLE_OK) {
    code = curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  }
  if (code != CURLE_OK) {
    sink(DownloadSetupFailedMessage(code), true);
    return false;
  }
  std::ignore = curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, kReceiveBufferSize);
  return true;
}

// A transfer abandoned because the run was interrupted is no download failure: the driver
// ends the run, and no message may claim an error for it.
TransferOutcome JudgeTransfer(CURLcode code, const FailureDetails& details,
                              base::MessageSink sink) {
  if (code == CURLE_OK) {
    return TransferOutcome::kCompleted;
  }
  if (localfs::InterruptRequested()) {
    return TransferOutcome::kInterrupted;
  }
  sink(DownloadFailedMessage(code), true);
  details.Report(code, sink);
  return TransferOutcome::kFailed;
}

// The code of the last response of the exchange, after redirects.
bool ResponseCodeAccepted(CURL* handle, base::MessageSink sink) {
  long response_code = 0;
  const CURLcode code = curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &response_code);
  if (code != CURLE_OK) {
    sink(DownloadFailedMessage(code), true);
    return false;
  }
  if (response_code == 404) {
    sink(ServerNotReachedMessage(), true);
    return false;
  }
  if (response_code >= 400) {
    sink(HttpCodeMessage(response_code), true);
    return false;
  }
  return true;
}

// Turns the handle from the header-only request into the GET whose body goes to the
// writer. Without a header callback or header data libcurl passes no header bytes to the
// write callback, so the writer receives exactly the body.
bool PrepareBodyRequest(CURL* handle, curl_write_callback write, void* writer,
                        base::MessageSink sink) {
  std::ignore = curl_easy_setopt(handle, CURLOPT_NOBODY, 0L);
  std::ignore = curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
  std::ignore =
      curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, static_cast<curl_write_callback>(nullptr));
  std::ignore = curl_easy_setopt(handle, CURLOPT_HEADERDATA, static_cast<void*>(nullptr));
  CURLcode code = curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, write);
  if (code != CURLE_OK) {
    sink(InstallerSetupFailedMessage(code), true);
    return false;
  }
  code = curl_easy_setopt(handle, CURLOPT_WRITEDATA, writer);
  if (code != CURLE_OK) {
    sink(InstallerSetupFailedMessage(code), true);
    return false;
  }
  std::ignore = curl_easy_setopt(handle, CURLOPT_HEADERDATA, static_cast<void*>(nullptr));
  return true;
}

// The GET, with the progress line on a terminal. The line is ended before any message of
// the outcome is printed.
TransferOutcome FetchBody(CURL* handle, TransferMonitor& monitor, const FailureDetails& details,
                          base::MessageSink sink) {
  ProgressDisplay progress = ProgressDisplay::ForStandardError(ProgressDisplay::Clock::now());
  monitor.progress = &progress;
  const CURLcode code = curl_easy_perform(handle);
  monitor.progress = nullptr;
  progress.Finish(ProgressDisplay::Clock::now());
  return JudgeTransfer(code, details, sink);
}

// Complete, and recorded as made from the archive that carries the server's tag; for a
// launcher with keys also the installation that its verification record speaks for.
bool CachedAgentCurrent(const std::string& cache_directory, const std::string& etag_line,
                        const SignedDownload* signed_download) {
  VerificationRecord record;
  return !localfs::InstalledAgentDirectory(cache_directory).empty() &&
         ValidationMarkerMatches(cache_directory, etag_line) &&
         (signed_download == nullptr ||
          CachedAgentVerified(cache_directory, signed_download->keys, record));
}

}  // namespace

DownloadOutcome DownloadInstallAgent(const char* archive_path, const std::string& cache_directory,
                                     CacheUse cache_use, CacheLock& cache_lock,
                                     SignedDownload* signed_download, base::MessageSink sink) {
  const char* const url_override = std::getenv(kDownloadUrlVariable);
  const char* const url =
      url_override != nullptr ? url_override : base::AgentDownloadUrl.c_str();
  return DownloadAgentArchive(url, archive_path, cache_directory, cache_use, cache_lock,
                              signed_download, sink);
}

DownloadOutcome DownloadAgentArchive(const char* url, const char* archive_path,
                                     const std::string& cache_directory, CacheUse cache_use,
                                     CacheLock& cache_lock, SignedDownload* signed_download,
                                     base::MessageSink sink) {
  const ArchiveFile archive = OpenArchiveFile(archive_path);
  if (!archive.stream) {
    sink(ArchiveFileFailedMessage(archive.open_error), true);
    return DownloadOutcome::kFailed;
  }
  // Declared before the handle, so libcurl's pointer to its buffer never outlives it.
  FailureDetails details;
  EasyHandle handle(curl_easy_init());
  if (!handle) {
    // Not reported where the caller can go on with whatever the cache holds; a launcher
    // with keys only with an agent that was verified.
    VerificationRecord record;
    if (cache_use != CacheUse::kIgnore && !cache_directory.empty() &&
        (signed_download == nullptr ||
         CachedAgentVerified(cache_directory, signed_download->keys, record))) {
      return DownloadOutcome::kCachedAgentCurrent;
    }
    sink(DownloadSetupFailedMessage(CURLE_FAILED_INIT), true);
    return DownloadOutcome::kFailed;
  }
  TransferMonitor monitor;
  details.Attach(handle.get());
  if (!ConfigureTransfer(handle.get(), url, &monitor, sink)) {
    return DownloadOutcome::kFailed;
  }

  const auto etag_capture = std::make_unique<char[]>(kETagCaptureSize);
  char* etag_capture_address = etag_capture.get();
  std::ignore = curl_easy_setopt(handle.get(), CURLOPT_NOBODY, 1L);
  std::ignore = curl_easy_setopt(handle.get(), CURLOPT_HEADERFUNCTION, &CaptureETagHeader);
  std::ignore =
      curl_easy_setopt(handle.get(), CURLOPT_HEADERDATA, static_cast<void*>(&etag_capture_address));
  if (JudgeTransfer(curl_easy_perform(handle.get()), details, sink) !=
          TransferOutcome::kCompleted ||
      !ResponseCodeAccepted(handle.get(), sink)) {
    return DownloadOutcome::kFailed;
  }

  const std::string etag_line = etag_capture.get();
  if (cache_use != CacheUse::kIgnore && !cache_directory.empty() &&
      CachedAgentCurrent(cache_directory, etag_line, signed_download)) {
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
  // The signed bytes are hashed while the body arrives.
  std::unique_ptr<HashingBodyWriter> hashing_writer;
  if (signed_download != nullptr) {
    hashing_writer = std::make_unique<HashingBodyWriter>(archive.stream.get());
  }
  const curl_write_callback write = hashing_writer ? &HashingBodyWriter::Write : &WriteBodyToFile;
  void* const writer =
      hashing_writer ? static_cast<void*>(hashing_writer.get()) : archive.stream.get();
  if (!PrepareBodyRequest(handle.get(), write, writer, sink) || localfs::InterruptRequested() ||
      FetchBody(handle.get(), monitor, details, sink) != TransferOutcome::kCompleted ||
      !ResponseCodeAccepted(handle.get(), sink)) {
    return DownloadOutcome::kFailed;
  }
  // The stream's buffer may still hold the body's tail: a full disk can show up only here.
  if (std::fflush(archive.stream.get()) != 0) {
    sink(DownloadFailedMessage(CURLE_WRITE_ERROR), true);
    return DownloadOutcome::kFailed;
  }
  handle.reset();
  if (signed_download != nullptr) {
    signed_download->hashed = hashing_writer->Finish(signed_download->signed_bytes);
    signed_download->etag_line = etag_line;
  } else if (cache_use == CacheUse::kRefresh) {
    WriteValidationMarker(cache_directory, etag_line);
  }
  return cache_use == CacheUse::kRefresh ? DownloadOutcome::kFetchedToReplaceCachedAgent
                                         : DownloadOutcome::kFetchedForThisRun;
}

}  // namespace agentcache

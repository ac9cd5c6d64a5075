#include "agentcache/download_messages.h"

#include <cstring>

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
      if (!failure.details.empty()) sink(failure.details, true);
      return;
  }
}

std::string OfflineAgentNote(const std::string& reason) {
  return "Note: the download server cannot be reached (" + reason +
         "); the installed install agent is used.";
}

}  // namespace agentcache

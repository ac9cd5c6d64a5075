// The messages of a download that failed, each with its exact text, and the one place that
// picks the message for a failure's class and adds its details line; and the note of an
// installed agent that runs while the server cannot be reached.
#pragma once

#include <curl/curl.h>
#include <string>

#include "base/message_sink.h"
#include "transfer/http_session.h"

namespace agentcache {

// The archive file cannot be created; error_number is the errno of the failed open.
[[nodiscard]] std::string ArchiveFileFailedMessage(int error_number);

// curl_easy_setopt refused the URL, the write callback or its stream.
[[nodiscard]] std::string InstallerSetupFailedMessage(CURLcode code);

// curl_easy_setopt refused an option of redirect handling or transfer monitoring.
[[nodiscard]] std::string DownloadSetupFailedMessage(CURLcode code);

// A request failed in curl_easy_perform, or its response code could not be read.
[[nodiscard]] std::string DownloadFailedMessage(CURLcode code);

// The server answered 404.
[[nodiscard]] std::string ServerNotReachedMessage();

// The server answered another code of 400 or more.
[[nodiscard]] std::string HttpCodeMessage(long response_code);

// The message of the failure's class, then libcurl's details line where it has one; nothing
// for an interrupted run.
void ReportDownloadFailure(const transfer::Failure& failure, base::MessageSink sink);

// "Note: the download server cannot be reached (REASON); the installed install agent is used."
[[nodiscard]] std::string OfflineAgentNote(const std::string& reason);

}  // namespace agentcache

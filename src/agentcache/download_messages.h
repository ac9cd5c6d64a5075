// The texts of the download's failure messages, each reported once with the error flag, and
// the report of a failed exchange with the server by its class.
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

}  // namespace agentcache

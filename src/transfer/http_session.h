// The HTTP exchange of one run with the download server: a header-only request, then when the
// caller wants it a GET on the same libcurl handle, so the connection is reused. It sets up
// TLS, proxies, redirects, limits and the User-Agent, watches for the run's interruption,
// and draws the progress line of the GET, counted from the first byte asked for. It knows nothing
// of the cache or of what the bytes are for: it fetches, hands each body to the caller's writer,
// and tells the caller what went wrong as a failure's class, never as a message already printed.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "transfer/failure_details.h"
#include "transfer/response_headers.h"

namespace transfer {

struct Response {
  long status = 0;  // of the last response, after redirects
  // The last "ETag: " header line of the exchange, less its line end (see response_headers.h).
  std::string etag_line;
  ResponseHeaders headers;           // of the last response
  std::int64_t content_length = -1;  // its announced body length; -1 when none was given
  std::string origin;  // scheme://host:port of the URL it came from, never credentials
};

// For a GET that continues a body already partly received.
struct RangeRequest {
  std::uint64_t first_byte = 0;  // 0: the whole body, no Range
  std::string if_range;          // the strong ETag the bytes so far came with
};

struct Failure {
  enum class Kind {
    kNone,
    kInterrupted,       // the run was interrupted: nothing to tell
    kNoHandle,          // libcurl could not start at all
    kRequestRefused,    // libcurl refused the URL or the body's writer (code)
    kOptionRefused,     // libcurl refused an option of redirects, limits or monitoring (code)
    kTransfer,          // the request failed, or its status could not be read (code, details)
    kStatus,            // the server answered with an error status of 400 or more (status)
    kStoppedAtHeaders,  // the body's writer declined the body after the headers: by choice
  };
  Kind kind = Kind::kNone;
  CURLcode code = CURLE_OK;
  long status = 0;
  long connect_code = 0;  // what a proxy answered to CONNECT, 0 when none was asked
  std::string details;    // libcurl's own account of a failed request as one line, or ""
  // What went wrong in a few words, for a note that the download is tried again: libcurl's
  // error text or, for a status, "the server answered N".
  std::string reason;

  [[nodiscard]] bool failed() const { return kind != Kind::kNone; }
};

// Where the body of a GET goes; the caller's, so it may hash what it writes.
class BodyWriter {
 public:
  virtual ~BodyWriter() = default;
  // Once the status and headers are in, before the first body byte (or after an empty body).
  // false stops the transfer; the GET then fails as kStoppedAtHeaders. Bodies of a status of
  // 400 or more never reach the writer.
  virtual bool Begin(const Response& /*response*/) { return true; }
  // false stops the transfer: libcurl ends it with CURLE_WRITE_ERROR.
  virtual bool Write(const char* data, std::size_t length) = 0;
};

// What a download needs of the server; HttpSession, or a stand-in in tests.
class Exchange {
 public:
  virtual ~Exchange() = default;
  [[nodiscard]] virtual Failure Head(Response& response) = 0;
  [[nodiscard]] virtual Failure Get(BodyWriter& body, Response& response,
                                    const RangeRequest& range = {}) = 0;
};

// true once the run should stop: a transfer is then abandoned within a second.
using StopCheck = bool (*)();

class HttpSession final : public Exchange {
 public:
  HttpSession(const char* url, StopCheck stop_requested);
  ~HttpSession() override;
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  // Whether the handle could be set up for the URL; Head and Get fail the same way otherwise.
  [[nodiscard]] const Failure& setup() const { return setup_; }

  [[nodiscard]] Failure Head(Response& response) override;
  [[nodiscard]] Failure Get(BodyWriter& body, Response& response,
                            const RangeRequest& range = {}) override;

  // Closes the connection now rather than when the session ends.
  void Close();

  struct State;  // what the callbacks of a request see

 private:
  [[nodiscard]] Failure Perform(const char* method, Response& response);

  Failure setup_;
  // Declared before the handle, so libcurl's pointer to its error buffer never outlives it.
  FailureDetails details_;
  std::unique_ptr<State> state_;
  CURL* handle_ = nullptr;
};

}  // namespace transfer

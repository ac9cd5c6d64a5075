// The HTTP exchange of one run with the download server: a header-only request, then when the
// caller wants it a GET on the same libcurl handle, so the connection is reused. It sets up
// TLS, proxies, redirects and limits, watches for the run's interruption, and draws the
// progress line of the GET. It knows nothing of the cache or of what the bytes are for: it
// fetches, hands each body to the caller's writer, and tells the caller what went wrong as a
// failure's class, never as a message already printed.
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
};

struct Failure {
  enum class Kind {
    kNone,
    kInterrupted,     // the run was interrupted: nothing to tell
    kNoHandle,        // libcurl could not start at all
    kRequestRefused,  // libcurl refused the URL or the body's writer (code)
    kOptionRefused,   // libcurl refused an option of redirects, limits or monitoring (code)
    kTransfer,        // the request failed, or its status could not be read (code, details)
    kStatus,          // the server answered with an error status of 400 or more (status)
  };
  Kind kind = Kind::kNone;
  CURLcode code = CURLE_OK;
  long status = 0;
  std::string details;  // libcurl's own account of a failed request as one line, or ""

  [[nodiscard]] bool failed() const { return kind != Kind::kNone; }
};

// Where the body of a GET goes; the caller's, so it may hash what it writes.
class BodyWriter {
 public:
  virtual ~BodyWriter() = default;
  // Once the status and headers are in, before the first body byte. false stops the transfer.
  virtual bool Begin(const Response& /*response*/) { return true; }
  // false stops the transfer: libcurl ends it with CURLE_WRITE_ERROR.
  virtual bool Write(const char* data, std::size_t length) = 0;
};

// What a download needs of the server; HttpSession, or a stand-in in tests.
class Exchange {
 public:
  virtual ~Exchange() = default;
  [[nodiscard]] virtual Failure Head(Response& response) = 0;
  // first_byte above 0 asks for the body from that byte on (a Range request).
  [[nodiscard]] virtual Failure Get(BodyWriter& body, Response& response,
                                    std::uint64_t first_byte = 0) = 0;
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
                            std::uint64_t first_byte = 0) override;

  // Closes the connection now rather than when the session ends.
  void Close();

  struct State;  // what the callbacks of a request see

 private:
  [[nodiscard]] Failure Perform(Response& response);

  Failure setup_;
  // Declared before the handle, so libcurl's pointer to its error buffer never outlives it.
  FailureDetails details_;
  std::unique_ptr<State> state_;
  CURL* handle_ = nullptr;
};

}  // namespace transfer

#include "transfer/http_session.h"

#include <strings.h>

#include <algorithm>
#include <iterator>
#include <tuple>

#include "base/release_config.h"
#include "base/release_constants.h"
#include "transfer/connection_options.h"
#include "transfer/exchange_trace.h"
#include "transfer/progress_line.h"

namespace transfer {
namespace {

// The limit later libcurl releases use by default; the libcurl of Debian 12 has none, so
// a server that redirects in a circle would otherwise keep the launcher busy forever.
constexpr long kMaxRedirects = 30;

// libcurl's default of 16 KiB costs a callback and a write per 16 KiB of a body of
// hundreds of MiB; with 1 MiB a 512 MiB archive reaches the disk in less time and CPU than
// the curl tool needs for it.
constexpr long kReceiveBufferSize = 1024L * 1024L;

// An https URL may only be redirected to https, so nobody on the path can swap in a
// plain-http agent. A plain-http URL (local use only) may go either way.
const char* RedirectProtocolsFor(const char* url) {
  return strncasecmp(url, "https:", 6) == 0 ? "https" : "http,https";
}

// "setup/1.0.0 (Q4096c; oslin64)": which launcher release asks, for the publisher's logs and
// for the filters that turn away requests without one.
std::string UserAgent() {
  return std::string("setup/") + SETUP_VERSION + " (" + base::ReleaseLabel + "; " +
         base::PlatformTag + ")";
}

Failure FailureOf(Failure::Kind kind, CURLcode code) {
  Failure failure;
  failure.kind = kind;
  failure.code = code;
  return failure;
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

}  // namespace

struct HttpSession::State {
  StopCheck stop_requested = nullptr;
  ProgressDisplay* progress = nullptr;  // while a body is fetched
  std::uint64_t progress_offset = 0;    // the first byte asked for
  char etag_capture[kETagCaptureSize] = {};
  char* etag_capture_address = etag_capture;
  ResponseHeaders headers;
  BodyWriter* body = nullptr;
  bool begun = false;
  bool declined = false;  // the writer's Begin said no
  CURL* handle = nullptr;

  // The status and headers of the response in, as the writer sees them.
  [[nodiscard]] Response CurrentResponse() const {
    Response response;
    std::ignore = curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &response.status);
    curl_off_t length = -1;
    if (curl_easy_getinfo(handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK) {
      response.content_length = length;
    }
    response.etag_line = etag_capture;
    response.headers = headers;
    char* url = nullptr;
    if (curl_easy_getinfo(handle, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK) {
      response.origin = UrlOrigin(url);
    }
    return response;
  }
};

namespace {

std::uint64_t ByteCount(curl_off_t value) {
  return value > 0 ? static_cast<std::uint64_t>(value) : 0;
}

// Abandons a transfer as soon as the run should stop (libcurl calls this at least once a
// second, even while nothing arrives), and feeds the progress line.
int MonitorTransfer(void* state_pointer, curl_off_t download_total, curl_off_t download_now,
                    curl_off_t /*upload_total*/, curl_off_t /*upload_now*/) {
  auto* const state = static_cast<HttpSession::State*>(state_pointer);
  if (state->stop_requested()) {
    return 1;
  }
  if (state->progress != nullptr && state->progress->enabled()) {
    const std::uint64_t total = ByteCount(download_total);
    state->progress->Update(state->progress_offset + ByteCount(download_now),
                            total > 0 ? state->progress_offset + total : 0,
                            ProgressDisplay::Clock::now());
  }
  return 0;
}

// Whether the body is the writer's: an error page is read and dropped.
bool StartBody(HttpSession::State& state) {
  if (state.begun) return !state.declined;
  state.begun = true;
  const Response response = state.CurrentResponse();
  if (response.status >= 400) return false;
  state.declined = !state.body->Begin(response);
  return !state.declined;
}

std::size_t WriteBody(char* data, std::size_t size, std::size_t count, void* state_pointer) {
  auto* const state = static_cast<HttpSession::State*>(state_pointer);
  const std::size_t length = size * count;
  if (!StartBody(*state)) return state->declined ? 0 : length;
  return state->body->Write(data, length) ? length : 0;
}

std::size_t TakeHeader(char* data, std::size_t size, std::size_t count, void* state_pointer) {
  auto* const state = static_cast<HttpSession::State*>(state_pointer);
  state->headers.Take(std::string_view(data, size * count));
  return CaptureETagHeader(data, size, count, &state->etag_capture_address);
}

struct HeaderListFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

}  // namespace

HttpSession::HttpSession(const char* url, StopCheck stop_requested)
    : state_(std::make_unique<State>()), handle_(curl_easy_init()) {
  state_->stop_requested = stop_requested;
  state_->handle = handle_;
  if (handle_ == nullptr) {
    setup_ = FailureOf(Failure::Kind::kNoHandle, CURLE_FAILED_INIT);
    return;
  }
  details_.Attach(handle_);
  CURLcode code = curl_easy_setopt(handle_, CURLOPT_URL, url);
  if (code != CURLE_OK) {
    setup_ = FailureOf(Failure::Kind::kRequestRefused, code);
    return;
  }
  code = TrustCertificates(handle_);
  if (code == CURLE_OK) code = curl_easy_setopt(handle_, CURLOPT_FOLLOWLOCATION, 1L);
  if (code == CURLE_OK) {
    code = curl_easy_setopt(handle_, CURLOPT_REDIR_PROTOCOLS_STR, RedirectProtocolsFor(url));
  }
  if (code == CURLE_OK) code = curl_easy_setopt(handle_, CURLOPT_MAXREDIRS, kMaxRedirects);
  if (code == CURLE_OK) code = ApplyTransferLimits(handle_);
  if (code == CURLE_OK) {
    code = curl_easy_setopt(handle_, CURLOPT_XFERINFOFUNCTION, &MonitorTransfer);
  }
  if (code == CURLE_OK) {
    code = curl_easy_setopt(handle_, CURLOPT_XFERINFODATA, static_cast<void*>(state_.get()));
  }
  if (code == CURLE_OK) code = curl_easy_setopt(handle_, CURLOPT_NOPROGRESS, 0L);
  if (code == CURLE_OK) code = curl_easy_setopt(handle_, CURLOPT_USERAGENT, UserAgent().c_str());
  if (code != CURLE_OK) {
    setup_ = FailureOf(Failure::Kind::kOptionRefused, code);
    return;
  }
  // A matter of speed only, so its result is dropped.
  std::ignore = curl_easy_setopt(handle_, CURLOPT_BUFFERSIZE, kReceiveBufferSize);
  std::ignore = curl_easy_setopt(handle_, CURLOPT_HEADERFUNCTION, &TakeHeader);
  std::ignore = curl_easy_setopt(handle_, CURLOPT_HEADERDATA, static_cast<void*>(state_.get()));
}

HttpSession::~HttpSession() { Close(); }

void HttpSession::Close() {
  if (handle_ != nullptr) curl_easy_cleanup(handle_);
  handle_ = nullptr;
  state_->handle = nullptr;
}

// A transfer abandoned because the run should stop is no download failure: no message may
// claim an error for it.
// The response's status, headers and announced length are the caller's whatever the outcome,
// so that a failure's Retry-After can be read.
Failure HttpSession::Perform(const char* method, Response& response) {
  state_->headers = ResponseHeaders();
  TraceRequest(handle_, method, state_->progress_offset);
  const CURLcode code = curl_easy_perform(handle_);
  response = state_->CurrentResponse();
  TraceResponse(handle_, code, response);
  if (code != CURLE_OK) {
    if (state_->stop_requested()) return FailureOf(Failure::Kind::kInterrupted, code);
    if (code == CURLE_WRITE_ERROR && state_->declined) {
      return FailureOf(Failure::Kind::kStoppedAtHeaders, CURLE_OK);
    }
    Failure failure = FailureOf(Failure::Kind::kTransfer, code);
    failure.details = details_.Line(code);
    failure.reason = details_.Reason(code);
    if (curl_easy_getinfo(handle_, CURLINFO_HTTP_CONNECTCODE, &failure.connect_code) != CURLE_OK) {
      failure.connect_code = 0;
    }
    return failure;
  }
  // The code of the last response of the exchange, after redirects.
  const CURLcode info = curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &response.status);
  if (info != CURLE_OK) return FailureOf(Failure::Kind::kTransfer, info);
  if (response.status >= 400) {
    Failure failure = FailureOf(Failure::Kind::kStatus, CURLE_OK);
    failure.status = response.status;
    failure.reason = "the server answered " + std::to_string(response.status);
    char* url = nullptr;
    std::ignore = curl_easy_getinfo(handle_, CURLINFO_EFFECTIVE_URL, &url);
    failure.details =
        StatusDetailsLine(response.status, response.origin, ProxyFromEnvironment(url));
    return failure;
  }
  return Failure();
}

Failure HttpSession::Head(Response& response) {
  if (setup_.failed()) return setup_;
  std::ignore = curl_easy_setopt(handle_, CURLOPT_NOBODY, 1L);
  state_->progress_offset = 0;
  return Perform("HEAD", response);
}

Failure HttpSession::Get(BodyWriter& body, Response& response, const RangeRequest& range) {
  if (setup_.failed()) return setup_;
  std::ignore = curl_easy_setopt(handle_, CURLOPT_NOBODY, 0L);
  std::ignore = curl_easy_setopt(handle_, CURLOPT_HTTPGET, 1L);
  // The tag of this response is captured afresh; the header bytes never reach the writer.
  std::fill(std::begin(state_->etag_capture), std::end(state_->etag_capture), '\0');
  state_->body = &body;
  state_->begun = false;
  state_->declined = false;
  CURLcode code = curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, &WriteBody);
  if (code == CURLE_OK) {
    code = curl_easy_setopt(handle_, CURLOPT_WRITEDATA, static_cast<void*>(state_.get()));
  }
  // The handle keeps its options from one request to the next: a GET without a range clears
  // the last one's.
  const std::string range_text = std::to_string(range.first_byte) + "-";
  std::unique_ptr<curl_slist, HeaderListFree> headers;
  if (range.first_byte > 0 && !range.if_range.empty()) {
    headers.reset(curl_slist_append(nullptr, ("If-Range: " + range.if_range).c_str()));
    if (!headers) code = CURLE_OUT_OF_MEMORY;
  }
  if (code == CURLE_OK) {
    code = curl_easy_setopt(handle_, CURLOPT_RANGE,
                            range.first_byte > 0 ? range_text.c_str() : nullptr);
  }
  if (code == CURLE_OK) code = curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, headers.get());
  if (code != CURLE_OK) return FailureOf(Failure::Kind::kRequestRefused, code);
  if (state_->stop_requested()) return FailureOf(Failure::Kind::kInterrupted, CURLE_OK);
  // The line is ended before the caller prints any message of the outcome.
  ProgressDisplay progress = ProgressDisplay::ForStandardError(ProgressDisplay::Clock::now());
  state_->progress = &progress;
  state_->progress_offset = range.first_byte;
  Failure failure = Perform("GET", response);
  // An empty body is the writer's too: it learns of the response all the same.
  if (!failure.failed() && !StartBody(*state_) && state_->declined) {
    failure = FailureOf(Failure::Kind::kStoppedAtHeaders, CURLE_OK);
  }
  state_->progress = nullptr;
  progress.Finish(ProgressDisplay::Clock::now());
  state_->body = nullptr;
  std::ignore = curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, nullptr);
  return failure;
}

}  // namespace transfer

#include "transfer/retries.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>

#include "base/trace.h"
#include "transfer/response_headers.h"

namespace transfer {

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

constexpr int kMaxRetries = 10;
// An attempt that takes the archive this far beyond the longest it has been is progress: it
// costs none of the retries.
constexpr std::uint64_t kProgressBytes = 1024 * 1024;
// No retry starts later than this after the last attempt that made progress.
constexpr Seconds kRetryWindow{60.0};
// A server that asks for a longer pause than this is not waited for.
constexpr std::uint64_t kMaxRetryAfterSeconds = 30;
// Between the checks for a stop signal during a wait.
constexpr auto kWaitSlice = std::chrono::milliseconds(100);

std::optional<int> SmallDecimal(const char* text, int highest) {
  if (text == nullptr || *text == '\0' || std::strlen(text) > 3) return std::nullopt;
  int value = 0;
  for (const char* digit = text; *digit != '\0'; ++digit) {
    if (*digit < '0' || *digit > '9') return std::nullopt;
    value = value * 10 + (*digit - '0');
  }
  if (value > highest) return std::nullopt;
  return value;
}

bool TransientCode(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_PARTIAL_FILE:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      return true;
    default:
      return false;
  }
}

bool TransientStatus(long status) {
  switch (status) {
    case 408:
    case 429:
    case 500:
    case 502:
    case 503:
    case 504:
      return true;
    default:
      return false;
  }
}

Failure TransferFailure(CURLcode code, std::string reason, std::string details = "") {
  Failure failure;
  failure.kind = Failure::Kind::kTransfer;
  failure.code = code;
  failure.reason = std::move(reason);
  failure.details = std::move(details);
  return failure;
}

// A close-delimited body that ended before its archive did: a captive portal's page, or a
// connection that closed early. The Content-Type tells the two apart.
Failure CutArchiveFailure(std::uint64_t length, const Response& response) {
  std::string reason =
      "the archive ended after " + std::to_string(length) + " bytes without its end record";
  std::string details = "Details: " + reason;
  details += response.headers.content_type.empty()
                 ? "; it had no Content-Type"
                 : "; its Content-Type was " + response.headers.content_type;
  if (!response.origin.empty()) details += " (" + response.origin + ")";
  return TransferFailure(CURLE_PARTIAL_FILE, std::move(reason), std::move(details));
}

// Between the writer of the archive and the session: decides, once the headers of each
// attempt are in, whether the body continues the bytes written, starts them again or may not
// be written at all.
class ResumeGate final : public BodyWriter {
 public:
  ResumeGate(DownloadTarget& target, const RangeRequest& range, std::uint64_t complete_length)
      : target_(target), range_(range), complete_length_(complete_length) {}

  bool Begin(const Response& response) override {
    if (range_.first_byte > 0 && response.status == 206) {
      const auto range = ParseContentRange(response.headers.content_range);
      misfit_ = !range || range->first != range_.first_byte ||
                range->complete != complete_length_ ||
                StrongETag(response.headers.etag) != range_.if_range;
      if (misfit_) return false;
      continued_ = true;
      return target_.Begin(response);
    }
    if (range_.first_byte > 0 && !target_.Restart()) {
      restart_failed_ = true;
      return false;
    }
    // A body from its first byte: what a later request would need to continue it.
    fresh_ = true;
    etag_ = StrongETag(response.headers.etag);
    complete_length_ = response.status == 200 && response.content_length >= 0
                           ? static_cast<std::uint64_t>(response.content_length)
                           : 0;
    return target_.Begin(response);
  }

  bool Write(const char* data, std::size_t length) override { return target_.Write(data, length); }

  [[nodiscard]] bool misfit() const { return misfit_; }
  [[nodiscard]] bool restart_failed() const { return restart_failed_; }
  [[nodiscard]] bool fresh() const { return fresh_; }
  [[nodiscard]] bool continued() const { return continued_; }
  [[nodiscard]] const std::string& etag() const { return etag_; }
  [[nodiscard]] std::uint64_t complete_length() const { return complete_length_; }

 private:
  DownloadTarget& target_;
  const RangeRequest& range_;
  std::uint64_t complete_length_;
  std::string etag_;
  bool misfit_ = false;
  bool restart_failed_ = false;
  bool fresh_ = false;
  bool continued_ = false;
};

}  // namespace

RetryPolicy RetryPolicy::FromEnvironment() {
  RetryPolicy policy;
  policy.retries = SmallDecimal(std::getenv("QX_DOWNLOAD_RETRIES"), kMaxRetries).value_or(3);
  policy.wait_percent =
      SmallDecimal(std::getenv("QX_INTERNAL_RETRY_WAIT_PERCENT"), 100).value_or(100);
  return policy;
}

bool IsTransient(const Failure& failure) {
  switch (failure.kind) {
    case Failure::Kind::kTransfer:
      // A proxy that answered CONNECT with a refusal fails with the code of a reset; only its
      // 5xx is worth asking again.
      if (failure.connect_code >= 300) return failure.connect_code >= 500;
      return TransientCode(failure.code);
    case Failure::Kind::kStatus:
      return TransientStatus(failure.status);
    default:
      return false;
  }
}

// The count of one request's attempts, the waits between them and their notes.
class RetryingExchange::Attempts {
 public:
  Attempts(const RetryPolicy& policy, StopCheck stop_requested, base::MessageSink sink)
      : policy_(policy),
        stop_requested_(stop_requested),
        sink_(sink),
        last_progress_(Clock::now()),
        random_(static_cast<unsigned>(Clock::now().time_since_epoch().count()) ^
                static_cast<unsigned>(::getpid())) {}

  // After a failed attempt that left length bytes: whether to try again, after the wait and
  // its note. failure becomes kInterrupted when the run is stopped during the wait.
  bool Again(Failure& failure, const Response& response, std::uint64_t length, bool transient) {
    // No retries at all: one attempt per request, whatever it brought.
    if (policy_.retries == 0) return false;
    if (length >= furthest_ + kProgressBytes) {
      furthest_ = length;
      step_ = 0;
      last_progress_ = Clock::now();
    } else if (++counted_ > policy_.retries) {
      return false;
    }
    if (!transient) return false;
    const std::optional<Seconds> wait = WaitFor(failure, response);
    if (!wait || Clock::now() + *wait - last_progress_ > kRetryWindow) return false;
    const auto whole = static_cast<long>(std::ceil(wait->count()));
    const std::string attempt = std::to_string(std::max(2, counted_ + 1));
    sink_("Note: the download failed (" + failure.reason + "); trying again in " +
              std::to_string(whole) + " s (attempt " + attempt + " of " +
              std::to_string(policy_.retries + 1) + ").",
          true);
    base::Trace("retry: waiting " + std::to_string(wait->count()) + " s before attempt " + attempt);
    if (!Sleep(*wait * (policy_.wait_percent / 100.0))) {
      failure = Failure();
      failure.kind = Failure::Kind::kInterrupted;
      return false;
    }
    return true;
  }

 private:
  // 1, 2 and 4 s, each varied by up to a quarter either way, unless the server names a wait
  // of its own; nothing when it asks for more than the longest wait.
  std::optional<Seconds> WaitFor(const Failure& failure, const Response& response) {
    if (failure.kind == Failure::Kind::kStatus && !response.headers.retry_after.empty()) {
      const auto asked = ParseRetryAfter(response.headers.retry_after, std::time(nullptr));
      if (asked) {
        if (*asked > kMaxRetryAfterSeconds) return std::nullopt;
        return Seconds(static_cast<double>(*asked));
      }
    }
    const double nominal = static_cast<double>(1 << std::min(step_++, 2));
    std::uniform_real_distribution<double> spread(0.75, 1.25);
    return Seconds(nominal * spread(random_));
  }

  bool Sleep(Seconds wait) const {
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(wait);
    for (;;) {
      if (stop_requested_()) return false;
      const auto now = Clock::now();
      if (now >= end) return true;
      const auto slice = std::min<Clock::duration>(end - now, kWaitSlice);
      const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(slice);
      timespec pause{static_cast<time_t>(nanoseconds.count() / 1000000000),
                     static_cast<long>(nanoseconds.count() % 1000000000)};
      // A signal cuts the pause short; the loop then looks at the stop request again.
      ::nanosleep(&pause, nullptr);
    }
  }

  const RetryPolicy& policy_;
  StopCheck stop_requested_;
  base::MessageSink sink_;
  // Failed attempts that made no progress. The attempts are numbered by the retries they
  // cost: after one that made progress, the next takes its number again.
  int counted_ = 0;
  int step_ = 0;  // of the waits since the last progress
  std::uint64_t furthest_ = 0;
  Clock::time_point last_progress_;
  std::minstd_rand random_;
};

Failure RetryingExchange::Head(Response& response) {
  Attempts attempts(policy_, stop_requested_, sink_);
  for (;;) {
    Failure failure = exchange_.Head(response);
    if (!failure.failed() || !attempts.Again(failure, response, 0, IsTransient(failure))) {
      return failure;
    }
  }
}

Failure RetryingExchange::Get(DownloadTarget& target, Response& response, bool may_resume,
                              const ResumeState& held) {
  Attempts attempts(policy_, stop_requested_, sink_);
  resumed_ = false;
  // The strong tag of the response whose bytes are in the file, and its complete length.
  std::string& etag = held_.etag;
  std::uint64_t& complete_length = held_.complete_length;
  held_ = may_resume ? held : ResumeState();
  if (target.length() > 0 && held_.etag.empty() && !target.Restart()) {
    return TransferFailure(CURLE_WRITE_ERROR, curl_easy_strerror(CURLE_WRITE_ERROR));
  }
  for (;;) {
    RangeRequest range;
    if (target.length() > 0 && !etag.empty() && complete_length > target.length()) {
      range = RangeRequest{target.length(), etag};
    } else if (target.length() > 0 && !target.Restart()) {
      return TransferFailure(CURLE_WRITE_ERROR, curl_easy_strerror(CURLE_WRITE_ERROR));
    }
    ResumeGate gate(target, range, complete_length);
    Failure failure = exchange_.Get(gate, response, range);
    if (gate.fresh()) {
      etag = may_resume ? gate.etag() : "";
      complete_length = gate.complete_length();
      resumed_ = false;
    }
    if (gate.continued()) resumed_ = true;
    if (gate.restart_failed()) {
      return TransferFailure(CURLE_WRITE_ERROR, curl_easy_strerror(CURLE_WRITE_ERROR));
    }
    // A range that was not granted as asked: nothing of the answer was written, what was
    // written is dropped, and the next attempt asks for the whole body. It counts as an
    // attempt, so a server that keeps answering so is given up on.
    const bool refused_range =
        gate.misfit() ||
        (range.first_byte > 0 && failure.kind == Failure::Kind::kStatus && failure.status == 416);
    if (refused_range) {
      base::Trace("resume: the range was not granted as asked; the whole archive is asked for");
      if (gate.misfit()) {
        failure = TransferFailure(CURLE_RANGE_ERROR,
                                  "the server answered 206 for bytes that do not follow those "
                                  "received");
      }
      etag.clear();
      if (!target.Restart()) {
        return TransferFailure(CURLE_WRITE_ERROR, curl_easy_strerror(CURLE_WRITE_ERROR));
      }
    } else if (!failure.failed()) {
      const bool close_delimited = response.content_length < 0 && !response.headers.chunked;
      if (!close_delimited || target.EndsAsArchive()) return failure;
      failure = CutArchiveFailure(target.length(), response);
    }
    const bool transient = refused_range || IsTransient(failure);
    if (!attempts.Again(failure, response, target.length(), transient)) return failure;
  }
}

}  // namespace transfer

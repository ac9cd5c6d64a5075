// The requests of a download tried again when the network, not the server's answer, is at
// fault: a connection refused, reset or stalled, a name that cannot be resolved for a
// moment, a TLS handshake broken off, a busy server (408, 429, 500, 502, 503, 504), a body
// that ends before its archive does. Each retry is announced on one line; the failure after
// the last one is the caller's to report, as if there had been one attempt.
//
// A GET cut short continues where it stopped when the response its bytes came from carried a
// strong ETag and a length: the next request asks for the rest with a Range and an If-Range of
// that tag, and the answer is appended only when it is the very continuation (a 206 whose
// Content-Range starts at the length written, with the same complete length and tag). A 200
// starts the file again; a 416 or a 206 that does not fit is not written, and the next
// attempt asks for the whole body.
#pragma once

#include <cstdint>
#include <string>

#include "base/message_sink.h"
#include "transfer/http_session.h"

namespace transfer {

struct RetryPolicy {
  int retries = 3;         // attempts beyond the first that may fail without progress
  int wait_percent = 100;  // of each wait that is slept; below 100 for tests only

  // QX_DOWNLOAD_RETRIES (a decimal from 0 to 10; anything else is the default) and
  // QX_INTERNAL_RETRY_WAIT_PERCENT (0 to 100).
  static RetryPolicy FromEnvironment();
};

// What the bytes in a target are part of: the strong tag of the response they came from and
// that response's complete length. An empty tag: they cannot be continued.
struct ResumeState {
  std::string etag;
  std::uint64_t complete_length = 0;
};

// Whether asking again may bring another answer.
[[nodiscard]] bool IsTransient(const Failure& failure);

// The file a GET fills, over as many attempts as it takes.
class DownloadTarget : public BodyWriter {
 public:
  // The bytes written so far.
  [[nodiscard]] virtual std::uint64_t length() const = 0;
  // Drops every byte written; the next Write is the body's first byte. false: it could not.
  [[nodiscard]] virtual bool Restart() = 0;
  // For a body whose length was not announced: whether the bytes end as a whole archive does.
  [[nodiscard]] virtual bool EndsAsArchive() = 0;
};

class RetryingExchange {
 public:
  RetryingExchange(Exchange& exchange, RetryPolicy policy, StopCheck stop_requested,
                   base::MessageSink sink)
      : exchange_(exchange), policy_(policy), stop_requested_(stop_requested), sink_(sink) {}

  [[nodiscard]] Failure Head(Response& response);

  // Fills target from its first byte, or continues the bytes it holds when held describes
  // them; with may_resume false, every attempt asks for the whole body. A target that
  // declines the body in Begin ends the fetch at once with kStoppedAtHeaders.
  [[nodiscard]] Failure Get(DownloadTarget& target, Response& response, bool may_resume = true,
                            const ResumeState& held = {});

  // Whether the last Get continued a body in a later request: its bytes were spliced.
  [[nodiscard]] bool resumed() const { return resumed_; }
  // What the bytes the last Get left in its target are part of.
  [[nodiscard]] const ResumeState& held() const { return held_; }

 private:
  class Attempts;

  Exchange& exchange_;
  RetryPolicy policy_;
  StopCheck stop_requested_;
  base::MessageSink sink_;
  bool resumed_ = false;
  ResumeState held_;
};

}  // namespace transfer

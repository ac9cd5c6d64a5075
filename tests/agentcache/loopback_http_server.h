// A scripted HTTP/1.1 server for the download tests: listens on 127.0.0.1 at a free port,
// answers each request with the reply the test's responder gives (raw head bytes, body
// sent for GET only), keeps connections alive, records every request, and stops by
// itself after its lifetime at the latest.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace agentcache_test {

struct HttpRequest {
  std::string method;
  std::string path;
  int connection = 0;  // 1 for the first connection accepted, 2 for the next, ...
};

struct HttpReply {
  std::string head;  // status line, header lines and the blank line, line ends included
  std::string body;  // sent after the head for a GET only
  enum class Then { kKeepAlive, kClose, kStall } then = Then::kKeepAlive;
};

// "HTTP/1.1 <status>\r\n", the extra header lines, a Content-Length for the body, "\r\n".
[[nodiscard]] HttpReply Reply(const std::string& status, const std::string& extra_headers,
                              const std::string& body = "");

using Responder = std::function<HttpReply(const HttpRequest&)>;

class LoopbackHttpServer {
 public:
  explicit LoopbackHttpServer(Responder responder,
                              std::chrono::seconds lifetime = std::chrono::seconds(20));
  ~LoopbackHttpServer();
  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

  [[nodiscard]] std::string Url(const std::string& path) const;
  [[nodiscard]] std::vector<HttpRequest> Requests() const;
  // "HEAD /agent", "GET /agent", ... in the order they arrived.
  [[nodiscard]] std::vector<std::string> RequestLines() const;
  // Waits, at most a few seconds, until a client closes a connection on which the server
  // had stopped sending; true when one did.
  [[nodiscard]] bool ClientLeftStalledConnection() const;

 private:
  struct Connection;
  void Serve();
  bool Answer(Connection& connection);

  Responder responder_;
  std::chrono::steady_clock::time_point deadline_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> client_left_stall_{false};
  mutable std::mutex mutex_;
  std::vector<HttpRequest> requests_;
  std::thread thread_;
};

// A port on 127.0.0.1 on which nothing listens (it was bound and released again).
[[nodiscard]] int UnusedLoopbackPort();

}  // namespace agentcache_test

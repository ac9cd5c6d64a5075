#include "agentcache/loopback_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace agentcache_test {

struct LoopbackHttpServer::Connection {
  int fd = -1;
  int number = 0;
  std::string received;
  bool stalled = false;
};

namespace {

int BindLoopback(int& port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  const int reuse = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    throw std::runtime_error("bind on 127.0.0.1 failed");
  }
  port = ntohs(address.sin_port);
  return fd;
}

bool SendAll(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t result = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) return false;
    sent += static_cast<std::size_t>(result);
  }
  return true;
}

}  // namespace

HttpReply Reply(const std::string& status, const std::string& extra_headers,
                const std::string& body) {
  HttpReply reply;
  reply.head = "HTTP/1.1 " + status + "\r\n" + extra_headers +
               "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  reply.body = body;
  return reply;
}

LoopbackHttpServer::LoopbackHttpServer(Responder responder, std::chrono::seconds lifetime)
    : responder_(std::move(responder)), deadline_(std::chrono::steady_clock::now() + lifetime) {
  listen_fd_ = BindLoopback(port_);
  if (listen(listen_fd_, 8) != 0) {
    close(listen_fd_);
    throw std::runtime_error("listen failed");
  }
  thread_ = std::thread([this] { Serve(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
  stop_ = true;
  thread_.join();
  close(listen_fd_);
}

std::string LoopbackHttpServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<HttpRequest> LoopbackHttpServer::Requests() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<std::string> LoopbackHttpServer::RequestLines() const {
  std::vector<std::string> lines;
  for (const HttpRequest& request : Requests())
    lines.push_back(request.method + " " + request.path);
  return lines;
}

bool LoopbackHttpServer::ClientLeftStalledConnection() const {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!client_left_stall_ && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return client_left_stall_;
}

void LoopbackHttpServer::Serve() {
  std::vector<Connection> connections;
  int accepted = 0;
  while (!stop_ && std::chrono::steady_clock::now() < deadline_) {
    std::vector<pollfd> watched{{listen_fd_, POLLIN, 0}};
    for (const Connection& connection : connections) watched.push_back({connection.fd, POLLIN, 0});
    if (poll(watched.data(), watched.size(), 50) <= 0) continue;
    if ((watched[0].revents & POLLIN) != 0) {
      const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) connections.push_back({fd, ++accepted, "", false});
    }
    for (std::size_t index = 1; index < watched.size(); ++index) {
      if (watched[index].revents == 0) continue;
      Connection& connection = connections[index - 1];
      char chunk[4096];
      const ssize_t length = recv(connection.fd, chunk, sizeof chunk, 0);
      bool keep = length > 0;
      if (keep) {
        connection.received.append(chunk, static_cast<std::size_t>(length));
        keep = Answer(connection);
      } else if (connection.stalled) {
        client_left_stall_ = true;
      }
      if (!keep) {
        close(connection.fd);
        connection.fd = -1;
      }
    }
    connections.erase(
        std::remove_if(connections.begin(), connections.end(),
                       [](const Connection& connection) { return connection.fd < 0; }),
        connections.end());
  }
  for (const Connection& connection : connections) close(connection.fd);
}

// Answers every complete request received so far; false when the connection is to end.
bool LoopbackHttpServer::Answer(Connection& connection) {
  for (;;) {
    if (connection.stalled) {
      connection.received.clear();
      return true;
    }
    const std::size_t end = connection.received.find("\r\n\r\n");
    if (end == std::string::npos) return true;
    const std::string request_line =
        connection.received.substr(0, connection.received.find("\r\n"));
    connection.received.erase(0, end + 4);
    HttpRequest request;
    const std::size_t first_space = request_line.find(' ');
    const std::size_t second_space = request_line.find(' ', first_space + 1);
    request.method = request_line.substr(0, first_space);
    request.path = request_line.substr(first_space + 1, second_space - first_space - 1);
    request.connection = connection.number;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
    }
    const HttpReply reply = responder_(request);
    const std::string bytes = request.method == "GET" ? reply.head + reply.body : reply.head;
    if (!SendAll(connection.fd, bytes)) return false;
    if (reply.then == HttpReply::Then::kClose) return false;
    if (reply.then == HttpReply::Then::kStall) connection.stalled = true;
  }
}

int UnusedLoopbackPort() {
  int port = 0;
  close(BindLoopback(port));
  return port;
}

}  // namespace agentcache_test

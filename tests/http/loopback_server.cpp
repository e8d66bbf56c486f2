#include "tests/http/loopback_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <strings.h>

namespace chunkup::testing {

namespace {

using Clock = std::chrono::steady_clock;

// How long one connection may take in all; longer than any request of the
// transport (30 s) so the client always gives up first.
constexpr auto kConnectionLimit = std::chrono::seconds(40);

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// Waits for the socket to become readable until the stop flag or the deadline.
bool WaitReadable(int socket, const std::atomic<bool>& stop, Clock::time_point deadline) {
  while (!stop && Clock::now() < deadline) {
    pollfd entry{socket, POLLIN, 0};
    int ready = ::poll(&entry, 1, 50);
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
  return false;
}

// False when the client went away, the server stops or the deadline passed
// before every byte was sent.
bool SendAll(int socket, const char* bytes, size_t size, const std::atomic<bool>& stop, Clock::time_point deadline) {
  size_t sent = 0;
  while (sent < size) {
    if (stop || Clock::now() >= deadline) return false;
    pollfd entry{socket, POLLOUT, 0};
    if (::poll(&entry, 1, 50) <= 0) continue;
    ssize_t n = ::send(socket, bytes + sent, size - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      return false;  // the client went away
    }
    sent += static_cast<size_t>(n);
  }
  return true;
}

// Sleeps `pause` in short steps, so a stopping server is not held up.
bool PauseFor(std::chrono::milliseconds pause, const std::atomic<bool>& stop, Clock::time_point deadline) {
  const Clock::time_point end = std::min(Clock::now() + pause, deadline);
  while (Clock::now() < end) {
    if (stop) return false;
    std::this_thread::sleep_for(std::min<Clock::duration>(end - Clock::now(), std::chrono::milliseconds(50)));
  }
  return !stop && Clock::now() < deadline;
}

void SendReply(int socket, const CannedReply& reply, const std::atomic<bool>& stop, Clock::time_point deadline) {
  bool going = true;
  if (reply.pace.count() > 0) {
    for (size_t i = 0; going && i < reply.bytes.size(); ++i) {
      going = SendAll(socket, reply.bytes.data() + i, 1, stop, deadline) &&
              (i + 1 == reply.bytes.size() || PauseFor(reply.pace, stop, deadline));
    }
  } else {
    going = SendAll(socket, reply.bytes.data(), reply.bytes.size(), stop, deadline);
  }
  while (going && !reply.endless.empty()) {
    going = SendAll(socket, reply.endless.data(), reply.endless.size(), stop, deadline);
  }
}

}  // namespace

std::string CapturedRequest::RequestLine() const { return head.substr(0, head.find("\r\n")); }

std::vector<std::string> CapturedRequest::HeaderLines() const {
  std::vector<std::string> lines;
  size_t at = head.find("\r\n");
  while (at != std::string::npos) {
    at += 2;
    size_t next = head.find("\r\n", at);
    if (next == std::string::npos || next == at) break;
    lines.push_back(head.substr(at, next - at));
    at = next;
  }
  return lines;
}

std::vector<std::string> CapturedRequest::HeaderNames() const {
  std::vector<std::string> names;
  for (const std::string& line : HeaderLines()) names.push_back(line.substr(0, line.find(':')));
  return names;
}

std::string CapturedRequest::Header(const std::string& name) const {
  for (const std::string& line : HeaderLines()) {
    size_t colon = line.find(':');
    if (colon == std::string::npos || Lower(line.substr(0, colon)) != Lower(name)) continue;
    size_t start = line.find_first_not_of(' ', colon + 1);
    return start == std::string::npos ? "" : line.substr(start);
  }
  return "";
}

bool CapturedRequest::HasHeader(const std::string& name) const {
  for (const std::string& line : HeaderLines()) {
    if (Lower(line.substr(0, line.find(':'))) == Lower(name)) return true;
  }
  return false;
}

std::string HttpReply(int status, const std::string& reason, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

LoopbackServer::LoopbackServer(CannedReply reply)
    : LoopbackServer([reply](const CapturedRequest&) { return reply; }) {}

LoopbackServer::LoopbackServer(Handler handler) : m_handler(std::move(handler)) {
  m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
  if (m_listener < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(m_listener, 64) != 0 ||
      ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(m_listener);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  m_port = ntohs(address.sin_port);
  m_acceptor = std::thread([this] { AcceptLoop(); });
}

LoopbackServer::~LoopbackServer() {
  m_stop = true;
  m_acceptor.join();
  std::vector<std::thread> connections;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    connections.swap(m_connections);
  }
  for (std::thread& connection : connections) connection.join();
  ::close(m_listener);
}

std::string LoopbackServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

std::vector<CapturedRequest> LoopbackServer::Requests() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_requests;
}

bool LoopbackServer::WaitForRequests(size_t count, std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> guard(m_lock);
  return m_changed.wait_for(guard, limit, [&] { return m_finished >= count; });
}

bool LoopbackServer::WaitForHeads(size_t count, std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> guard(m_lock);
  return m_changed.wait_for(guard, limit, [&] { return m_heads >= count; });
}

void LoopbackServer::AcceptLoop() {
  while (!m_stop) {
    pollfd entry{m_listener, POLLIN, 0};
    if (::poll(&entry, 1, 50) <= 0) continue;
    int socket = ::accept(m_listener, nullptr, nullptr);
    if (socket < 0) continue;
    std::lock_guard<std::mutex> guard(m_lock);
    m_connections.emplace_back([this, socket] { Serve(socket); });
  }
}

void LoopbackServer::Serve(int socket) {
  const Clock::time_point deadline = Clock::now() + kConnectionLimit;
  CapturedRequest request;
  std::string received;
  size_t headEnd = std::string::npos;
  size_t wanted = 0;
  bool clientClosed = false;
  size_t index = 0;
  char buffer[65536];

  auto readEnough = [&] {
    return headEnd != std::string::npos && received.size() - headEnd >= m_bodyReadLimit.load();
  };
  while (!request.complete && !clientClosed && !readEnough() && WaitReadable(socket, m_stop, deadline)) {
    ssize_t n = ::recv(socket, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      clientClosed = true;
      break;
    }
    received.append(buffer, static_cast<size_t>(n));
    if (headEnd == std::string::npos) {
      headEnd = received.find("\r\n\r\n");
      if (headEnd == std::string::npos) continue;
      headEnd += 4;
      request.head = received.substr(0, headEnd);
      wanted = std::strtoull(request.Header("Content-Length").c_str(), nullptr, 10);
      std::lock_guard<std::mutex> guard(m_lock);
      index = m_requests.size();
      m_requests.push_back(request);
      ++m_heads;
      m_changed.notify_all();
    }
    request.body = received.substr(headEnd, wanted);
    request.complete = received.size() - headEnd >= wanted;
    std::lock_guard<std::mutex> guard(m_lock);
    m_requests[index] = request;
  }

  if (headEnd == std::string::npos) {
    // The connection ended before a whole head arrived; nothing to answer.
    ::close(socket);
    return;
  }
  {
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_finished;
    m_changed.notify_all();
  }

  CannedReply reply = clientClosed ? CannedReply{} : m_handler(request);
  if (reply.silent) {
    // Hold the connection open without a word until the client gives up.
    while (WaitReadable(socket, m_stop, deadline)) {
      ssize_t n = ::recv(socket, buffer, sizeof buffer, 0);
      if (n == 0 || (n < 0 && errno != EINTR)) break;
    }
  } else {
    SendReply(socket, reply, m_stop, deadline);
  }
  ::shutdown(socket, SHUT_WR);
  ::close(socket);
}

}  // namespace chunkup::testing

// A bare HTTP server on 127.0.0.1 for transport tests. It records the exact
// bytes of every request and answers with whatever bytes a test hands it,
// including replies no real server would send. Every wait in it is bounded.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace chunkup::testing {

struct CapturedRequest {
  std::string head;  // request line and header lines, up to and including the blank line
  std::string body;  // as many body bytes as arrived (Content-Length bounded)
  bool complete = false;  // the whole announced body arrived

  std::string RequestLine() const;
  // Header lines without their line ends, in the order sent.
  std::vector<std::string> HeaderLines() const;
  // Names of the header lines, in the order sent.
  std::vector<std::string> HeaderNames() const;
  // Value of the first header with this name (any case), or "" when absent.
  std::string Header(const std::string& name) const;
  bool HasHeader(const std::string& name) const;
};

struct CannedReply {
  std::string bytes;  // sent as they are, then the connection is closed
  bool silent = false;  // send nothing; hold the connection until the client or the server ends it
  // A drip: this long between two bytes of `bytes`. Zero sends them at once.
  std::chrono::milliseconds pace{0};
  // Sent again and again after `bytes` until the client goes away (or the
  // connection's time limit passes): an endless body, endless headers, ...
  std::string endless;
};

// Helpers for replies.
std::string HttpReply(int status, const std::string& reason, const std::string& body);

class LoopbackServer {
 public:
  using Handler = std::function<CannedReply(const CapturedRequest&)>;

  explicit LoopbackServer(Handler handler);
  // Every reply the same.
  explicit LoopbackServer(CannedReply reply);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  uint16_t port() const { return m_port; }
  std::string Url(const std::string& path) const;

  // Requests seen so far, in the order their heads were complete.
  std::vector<CapturedRequest> Requests() const;
  // Waits (bounded) until `count` requests have been fully read or their
  // connection ended; false on time-out.
  bool WaitForRequests(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
  // Waits (bounded) until `count` request heads have arrived.
  bool WaitForHeads(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

  // Stops reading a request after this many body bytes and answers at once;
  // closing then, with the rest unread, resets the connection under the
  // client's upload. The handler sees the request as incomplete.
  void SetBodyReadLimit(size_t bytes) { m_bodyReadLimit = bytes; }

 private:
  void AcceptLoop();
  void Serve(int socket);

  Handler m_handler;
  int m_listener = -1;
  uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<size_t> m_bodyReadLimit{SIZE_MAX};
  std::thread m_acceptor;
  mutable std::mutex m_lock;
  mutable std::condition_variable m_changed;
  std::vector<std::thread> m_connections;
  std::vector<CapturedRequest> m_requests;
  size_t m_heads = 0;
  size_t m_finished = 0;
};

}  // namespace chunkup::testing

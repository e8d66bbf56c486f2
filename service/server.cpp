#include "service/server.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <ctime>
#include <cctype>
#include <limits>
#include <thread>

#include "service/page.h"

namespace chunkup::service {

namespace {

constexpr const char* kJson = "application/json";

enum class BodyResult { kOk, kTooLarge, kBroken };

// Reads the whole request body into out, refusing more than limit bytes. A
// declared length over the limit is refused before anything is read.
bool HasBody(const httplib::Request& req) {
  return req.has_header("Content-Length") || req.has_header("Transfer-Encoding");
}

// The body length a request declares, or -1 when it has none that counts: a
// chunked body's Content-Length is ignored (httplib decodes the chunks).
int64_t DeclaredLength(const httplib::Request& req) {
  if (req.has_header("Transfer-Encoding") || !req.has_header("Content-Length")) return -1;
  return ParseUnsignedDecimal(req.get_header_value("Content-Length")).value_or(-1);
}

BodyResult ReadBody(const httplib::Request& req, const httplib::ContentReader& reader, size_t limit,
                    std::string& out) {
  // A request with neither a length nor chunked encoding has no body.
  if (!HasBody(req)) return BodyResult::kOk;
  if (req.has_header("Content-Length")) {
    auto declared = ParseUnsignedDecimal(req.get_header_value("Content-Length"));
    if (!declared || uint64_t(*declared) > limit) return BodyResult::kTooLarge;
    out.reserve(size_t(*declared));
  }
  bool over = false;
  bool ok = reader([&](const char* data, size_t size) {
    if (out.size() + size > limit) {
      over = true;
      return false;
    }
    out.append(data, size);
    return true;
  });
  if (over) return BodyResult::kTooLarge;
  return ok ? BodyResult::kOk : BodyResult::kBroken;
}

void SetError(httplib::Response& res, int status, const std::string& message) {
  res.status = status;
  res.set_content(ErrorJson(message), kJson);
}

void SetJson(httplib::Response& res, int status, const Json::Value& value) {
  res.status = status;
  res.set_content(JsonText(value) + "\n", kJson);
}

// Answers a body that was refused unread; the connection cannot carry another
// request after it, so it is closed.
void SetTooLarge(httplib::Response& res, size_t limit) {
  SetError(res, 413, "request body too large (limit " + std::to_string(limit) + " bytes)");
  res.set_header("Connection", "close");
}

bool BodyFailed(BodyResult r, httplib::Response& res, size_t limit) {
  if (r == BodyResult::kTooLarge) {
    SetTooLarge(res, limit);
    return true;
  }
  if (r == BodyResult::kBroken) {
    SetError(res, 400, "incomplete request body");
    return true;
  }
  return false;
}

bool IsPageUuid(const std::string& text) {
  // 8-4-4-4-12 hexadecimal digits.
  if (text.size() != 36) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen ? c != '-' : !std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// Page ids are compared in lower case, the way the library writes them.
std::string LowerCase(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return text;
}

std::string RawQuery(const httplib::Request& req) {
  size_t q = req.target.find('?');
  return q == std::string::npos ? std::string() : req.target.substr(q + 1);
}

// The document shared by prepare and commit requests, checked member by member.
struct FileDocument {
  std::string path;
  std::vector<std::string> keys;
  int64_t fileSize = 0;
  std::string editTime, mimeType;
};

std::optional<std::string> CheckFileDocument(const std::string& body, bool commit, FileDocument& doc) {
  Json::Value root;
  std::string parseError;
  if (!ParseJsonStrict(body, root, &parseError)) return "body is not valid JSON";
  if (!root.isObject()) return "body must be a JSON object";
  const Json::Value& path = root["path"];
  if (!path.isString()) return "\"path\" must be a string";
  doc.path = path.asString();
  if (doc.path.empty() || doc.path.size() > 4096) return "\"path\" must hold 1 to 4096 bytes";
  if (doc.path.find('\0') != std::string::npos) return "\"path\" must not contain NUL";
  const Json::Value& chunkSize = root["chunkSize"];
  if (!chunkSize.isIntegral() || !chunkSize.isInt64() || chunkSize.asInt64() != kChunkSize)
    return "\"chunkSize\" must be the number 4194304";
  const Json::Value& fileSize = root["fileSize"];
  if (!fileSize.isString()) return "\"fileSize\" must be a string of decimal digits";
  auto size = ParseUnsignedDecimal(fileSize.asString());
  if (!size) return "\"fileSize\" must be a string of decimal digits";
  doc.fileSize = *size;
  const Json::Value& keys = root["keys"];
  if (!keys.isArray()) return "\"keys\" must be an array of strings";
  if (int64_t(keys.size()) != ChunkCountFor(doc.fileSize))
    return "\"keys\" holds " + std::to_string(keys.size()) + " keys; a file of that size has " +
           std::to_string(ChunkCountFor(doc.fileSize)) + " chunks";
  doc.keys.reserve(keys.size());
  for (Json::ArrayIndex i = 0; i < keys.size(); ++i) {
    if (!keys[i].isString() || !IsValidKey(keys[i].asString()))
      return "\"keys\"[" + std::to_string(i) + "] is not a 28-character base64url SHA-1 key";
    doc.keys.push_back(keys[i].asString());
  }
  if (commit) {
    const Json::Value& editTime = root["editTime"];
    if (!editTime.isString() || !ParseSignedDecimal(editTime.asString()))
      return "\"editTime\" must be a string of decimal digits";
    doc.editTime = editTime.asString();
    const Json::Value& mimeType = root["mimeType"];
    if (!mimeType.isString() || mimeType.asString().size() > 255) return "\"mimeType\" must be a short string";
    doc.mimeType = mimeType.asString();
  }
  return std::nullopt;
}

std::optional<int> ParseStatusValue(const std::string& text) {
  auto v = ParseUnsignedDecimal(text);
  if (!v || *v < 200 || *v > 599) return std::nullopt;
  return int(*v);
}

std::optional<int> ParseCountValue(const std::string& text, int max) {
  auto v = ParseUnsignedDecimal(text);
  if (!v || *v > max) return std::nullopt;
  return int(*v);
}

std::string Timestamp() {
  auto now = std::chrono::system_clock::now();
  std::time_t t = std::chrono::system_clock::to_time_t(now);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm {};
  gmtime_r(&t, &tm);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, int(ms));
  return buffer;
}

std::string StatusText(int status) {
  switch (status) {
    case 400: return "bad request";
    case 404: return "no such resource";
    case 405: return "method not allowed";
    case 413: return "request body too large";
    case 414: return "request target too long";
    case 416: return "range not satisfiable";
    default: return status >= 500 ? "internal error" : "request refused";
  }
}

// httplib's server with its listening socket in reach, so the listen backlog
// (5 inside httplib 0.11) can be raised after the bind.
template <class Base>
class Listener : public Base {
 public:
  using Base::Base;
  int ListenSocket() const { return int(this->svr_sock_); }
};

// httplib hands every accepted connection to its task queue once: counting
// there counts TCP connections.
class CountingQueue : public httplib::TaskQueue {
 public:
  CountingQueue(size_t threads, std::atomic<int64_t>& accepted, std::atomic<int64_t>& open)
      : m_pool(threads), m_accepted(accepted), m_open(open) {}
  void enqueue(std::function<void()> fn) override {
    ++m_accepted;
    ++m_open;
    m_pool.enqueue([this, fn = std::move(fn)] {
      fn();
      --m_open;
    });
  }
  void shutdown() override { m_pool.shutdown(); }

 private:
  httplib::ThreadPool m_pool;
  std::atomic<int64_t>& m_accepted;
  std::atomic<int64_t>& m_open;
};

// Why host:port cannot be bound, found by trying it the way the server does.
std::string BindProblem(const std::string& host, int port) {
  addrinfo hints {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (rc != 0) return std::string("cannot resolve ") + host + ": " + ::gai_strerror(rc);
  std::string problem = "no address to listen on";
  for (addrinfo* a = found; a; a = a->ai_next) {
    int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      problem = std::strerror(errno);
      continue;
    }
    int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    int err = ::bind(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
    ::close(fd);
    if (err == EADDRINUSE) {
      problem = "the port is in use (is another chunkup-service running there?)";
      break;
    }
    if (err) problem = std::strerror(err);
  }
  ::freeaddrinfo(found);
  return problem;
}

}  // namespace

Service::Service(Options options, Store& store) : m_options(std::move(options)), m_store(store) {
  if (!m_options.tlsCert.empty() || !m_options.tlsKey.empty()) {
    auto server = std::make_unique<Listener<httplib::SSLServer>>(m_options.tlsCert.c_str(), m_options.tlsKey.c_str());
    m_listenSocket = [s = server.get()] { return s->ListenSocket(); };
    m_server = std::move(server);
    m_tls = true;
  } else {
    auto server = std::make_unique<Listener<httplib::Server>>();
    m_listenSocket = [s = server.get()] { return s->ListenSocket(); };
    m_server = std::move(server);
  }
  // Several uploads, each on its own kept-alive connection, plus page polls
  // and up to 100 clients at once: a worker for each.
  m_server->new_task_queue = [this] { return new CountingQueue(kWorkerThreads, m_connections, m_connectionsOpen); };
  // httplib sets SO_REUSEPORT, which lets a second service bind the same port
  // and take half of its connections. SO_REUSEADDR alone refuses that and
  // still binds over connections left in TIME-WAIT.
  m_server->set_socket_options([](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  m_server->set_keep_alive_max_count(kKeepAliveMaxCount);
  m_server->set_keep_alive_timeout(kKeepAliveSeconds);
  m_server->set_read_timeout(30);
  m_server->set_write_timeout(30);
  m_server->set_tcp_nodelay(true);
  Routes();
}

Service::~Service() {
  {
    std::lock_guard<std::mutex> lock(m_stopLock);
    m_stopping = true;
  }
  m_stopCv.notify_all();
  if (m_collector.joinable()) m_collector.join();
}

bool Service::Valid(std::string* error) const {
  if (m_server->is_valid()) return true;
  *error = "cannot serve HTTPS with the certificate " + m_options.tlsCert + " and the key " + m_options.tlsKey +
           " (both must be PEM files, and the key must belong to the certificate)";
  return false;
}

bool Service::Bind(std::string* error) {
  if (m_options.listenPort == 0)
    m_port = m_server->bind_to_any_port(m_options.listenHost);
  else
    m_port = m_server->bind_to_port(m_options.listenHost, m_options.listenPort) ? m_options.listenPort : -1;
  if (m_port <= 0) {
    *error = "cannot listen on " + m_options.listenHost + ":" + std::to_string(m_options.listenPort) + ": " +
             BindProblem(m_options.listenHost, m_options.listenPort);
    return false;
  }
  // On Linux a second listen() on a listening socket sets its backlog.
  if (::listen(m_listenSocket(), kListenBacklog) != 0) {
    *error = std::string("cannot raise the listen backlog: ") + std::strerror(errno);
    return false;
  }
  m_publicUrl = m_options.publicUrl.empty() ? ListenUrl() : m_options.publicUrl;
  while (!m_publicUrl.empty() && m_publicUrl.back() == '/') m_publicUrl.pop_back();
  return true;
}

int Service::ListenBacklog() const {
  // For a listening socket TCP_INFO gives the backlog in tcpi_sacked.
  tcp_info info {};
  socklen_t size = sizeof info;
  const int fd = m_listenSocket();
  if (fd < 0 || ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return -1;
  return int(info.tcpi_sacked);
}

std::string Service::ListenUrl() const {
  std::string host = m_options.listenHost;
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  return std::string(m_tls ? "https://" : "http://") + host + ":" + std::to_string(m_port);
}

bool Service::Run() {
  {
    std::lock_guard<std::mutex> lock(m_stopLock);
    if (m_stopping) return true;  // a signal came first
  }
  return m_server->listen_after_bind();
}

void Service::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_stopLock);
    m_stopping = true;
  }
  m_stopCv.notify_all();
  // Once stopped, the listening socket is gone; a second stop has nothing to do.
  if (m_server->is_running() && m_listenSocket() >= 0) m_server->stop();
}

CollectResult Service::Collect() {
  CollectResult r = m_store.Collect(m_options.uploadTtlSeconds * 1000);
  {
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_stats.gcRuns;
  }
  if (!m_options.quiet && (r.uploadsExpired || r.chunksRemoved)) {
    std::string line = Timestamp() + " collected " + std::to_string(r.uploadsExpired) + " stale uploads, " +
                       std::to_string(r.chunksRemoved) + " chunks (" + std::to_string(r.bytesRemoved) + " bytes)\n";
    std::lock_guard<std::mutex> lock(m_logLock);
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
  }
  return r;
}

void Service::StartCollector() {
  if (m_options.gcIntervalSeconds <= 0 || m_collector.joinable()) return;
  m_collector = std::thread([this] {
    std::unique_lock<std::mutex> lock(m_stopLock);
    while (!m_stopCv.wait_for(lock, std::chrono::seconds(m_options.gcIntervalSeconds), [this] { return m_stopping; })) {
      lock.unlock();
      Collect();
      lock.lock();
    }
  });
}

Service::Receive Service::ReceiveBody(const httplib::Request& req, const httplib::ContentReader& reader,
                                      int64_t length, const std::function<bool(const char*, size_t)>& sink) {
  // The socket is found before httplib's reader starts: once stopped, that
  // reader cannot go on.
  int fd = -1;
  if (!m_tls && req.ssl == nullptr && length > int64_t(kReceivePiece) / 4)
    fd = FindConnectionSocket(req.remote_addr, req.remote_port, req.local_port);
  int64_t got = 0;
  bool stopped = false, handOff = false;
  bool ok = reader([&](const char* data, size_t size) {
    got += int64_t(size);
    if (!sink(data, size)) {
      stopped = true;
      return false;
    }
    if (fd >= 0 && got < length) {
      handOff = true;
      return false;
    }
    return true;
  });
  if (stopped) return Receive::kStopped;
  if (!handOff) return ok && got == length ? Receive::kOk : Receive::kBroken;
  // httplib 0.11 reads a body in requests of 4 KiB: the first one is served
  // whole from what its stream had buffered beyond the head (or read straight
  // from the socket), so once the first piece is out, no byte of the body is
  // left in httplib's buffer and the rest is on the socket, where it is read
  // here in large pieces. The connection goes on after the body as before.
  thread_local std::unique_ptr<char[]> buffer;
  if (!buffer) buffer.reset(new char[kReceivePiece]);
  while (got < length) {
    const size_t want = size_t(std::min<int64_t>(int64_t(kReceivePiece), length - got));
    size_t fill = 0;
    while (fill < want) {
      pollfd p {fd, POLLIN, 0};
      int r = ::poll(&p, 1, 30000);  // the server's read time-out
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return Receive::kBroken;
      ssize_t n = ::recv(fd, buffer.get() + fill, want - fill, 0);
      if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (n <= 0) return Receive::kBroken;
      fill += size_t(n);
    }
    got += int64_t(fill);
    if (!sink(buffer.get(), fill)) return Receive::kStopped;
  }
  return Receive::kOk;
}

void Service::Delay() {
  int ms;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    ms = m_knobs.delayMs;
  }
  if (ms <= 0) return;
  std::unique_lock<std::mutex> lock(m_stopLock);
  m_stopCv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_stopping; });
}

bool Service::RequireLoopback(const httplib::Request& req, httplib::Response& res) {
  if (IsLoopbackAddress(req.remote_addr)) return true;
  SetError(res, 403, "control endpoints answer loopback clients only");
  return false;
}

bool Service::RequireAdmin(const httplib::Request& req, httplib::Response& res) {
  bool remoteAdmin;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    remoteAdmin = m_knobs.remoteAdmin;
  }
  if (IsLoopbackAddress(req.remote_addr) && !remoteAdmin) return true;
  if (m_options.adminToken.empty()) {
    SetError(res, 403, "listing and deleting files is for loopback clients (the service has no --admin-token)");
    return false;
  }
  const std::string given = req.get_header_value("Authorization");
  if (ConstantTimeEquals(given, "Bearer " + m_options.adminToken)) return true;
  res.set_header("WWW-Authenticate", "Bearer realm=\"chunkup-service\"");
  SetError(res, 401, "listing and deleting files needs \"Authorization: Bearer <admin token>\"");
  return false;
}

std::string Service::ResultUrl(const FileRecord& f) const {
  return m_publicUrl + "/f/" + f.linkId + "/" + PercentEncode(f.name);
}

void Service::Routes() {
  using namespace std::placeholders;
  auto& s = *m_server;
  s.Post("/anonymous/prepare_put", [this](const httplib::Request& req, httplib::Response& res,
                                          const httplib::ContentReader& reader) { HandlePrepare(req, res, reader); });
  s.Post("/anonymous/commit_put", [this](const httplib::Request& req, httplib::Response& res,
                                         const httplib::ContentReader& reader) { HandleCommit(req, res, reader); });
  s.Put(R"(/chunks/([^/]*))", [this](const httplib::Request& req, httplib::Response& res,
                                     const httplib::ContentReader& reader) { HandleChunkPut(req, res, reader); });
  s.Put("/_sink", [this](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
    HandleSink(req, res, reader);
  });
  s.Get(R"(/f/?)", [this](const httplib::Request& req, httplib::Response& res) { HandleList(req, res); });
  s.Get(R"(/f/([^/]+)(/.*)?)", [this](const httplib::Request& req, httplib::Response& res) { HandleDownload(req, res); });
  s.Delete(R"(/f/([^/]+)(/.*)?)", [this](const httplib::Request& req, httplib::Response& res,
                                         const httplib::ContentReader& reader) {
    std::string body;
    if (BodyFailed(ReadBody(req, reader, kMaxSmallBody, body), res, kMaxSmallBody)) return;
    HandleDelete(req, res);
  });
  s.Post(R"(/g/receive/([^/]*))", [this](const httplib::Request& req, httplib::Response& res,
                                         const httplib::ContentReader& reader) { HandleReceive(req, res, reader); });
  s.Get(R"(/g/status/([^/]*))", [this](const httplib::Request& req, httplib::Response& res) { HandleStatus(req, res); });
  s.Get(R"(/g/upload/([^/]*))", [this](const httplib::Request& req, httplib::Response& res) { HandlePage(req, res); });
  // Control POSTs carry everything in the query; a body, if any, is read and
  // dropped, and a POST without Content-Length is accepted too.
  s.Post("/_control/knobs", [this](const httplib::Request& req, httplib::Response& res,
                                   const httplib::ContentReader& reader) {
    std::string body;
    if (BodyFailed(ReadBody(req, reader, kMaxSmallBody, body), res, kMaxSmallBody)) return;
    if (RequireLoopback(req, res)) HandleKnobs(req, res);
  });
  s.Post("/_control/reset", [this](const httplib::Request& req, httplib::Response& res,
                                   const httplib::ContentReader& reader) {
    std::string body;
    if (BodyFailed(ReadBody(req, reader, kMaxSmallBody, body), res, kMaxSmallBody)) return;
    if (RequireLoopback(req, res)) HandleReset(res);
  });
  s.Get("/_control/stats", [this](const httplib::Request& req, httplib::Response& res) {
    if (RequireLoopback(req, res)) HandleStats(res);
  });
  s.Post("/_control/gc", [this](const httplib::Request& req, httplib::Response& res,
                                const httplib::ContentReader& reader) {
    std::string body;
    if (BodyFailed(ReadBody(req, reader, kMaxSmallBody, body), res, kMaxSmallBody)) return;
    if (RequireLoopback(req, res)) HandleCollect(res);
  });
  s.Get("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(RenderHomePage(), "text/html; charset=utf-8");
  });

  s.set_payload_max_length(std::max(kMaxJsonBody, m_options.maxBody));
  s.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
    // Replies forced by a knob go out exactly as chosen, empty bodies included.
    if (!res.body.empty() || res.has_header("X-Chunkup-Knob")) return httplib::Server::HandlerResponse::Unhandled;
    res.set_content(ErrorJson(StatusText(res.status)), kJson);
    return httplib::Server::HandlerResponse::Handled;
  }));
  s.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
    std::string what = "internal error";
    try {
      if (ep) std::rethrow_exception(ep);
    } catch (const std::exception& e) {
      what = std::string("internal error: ") + e.what();
    } catch (...) {
    }
    SetError(res, 500, what);
  });
  // Clients must cope with a server that keeps no connection open.
  s.set_post_routing_handler([this](const httplib::Request&, httplib::Response& res) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_knobs.closeConnections) res.set_header("Connection", "close");
  });
  s.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
    if (m_options.quiet) return;
    std::string line = Timestamp() + " " + req.remote_addr + ":" + std::to_string(req.remote_port) + " \"" +
                       req.method + " " + req.target + "\" " + std::to_string(res.status) + " " +
                       std::to_string(res.body.size()) + "\n";
    std::lock_guard<std::mutex> lock(m_logLock);
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
  });
}

bool Service::BeginExchange(const httplib::Request& req, const httplib::ContentReader& reader,
                            httplib::Response& res, int64_t Stats::*counter, std::string Stats::*lastBody,
                            std::optional<std::pair<int, std::string>> Knobs::*knob, std::string& body) {
  BodyResult r = ReadBody(req, reader, kMaxJsonBody, body);
  std::optional<std::pair<int, std::string>> forced;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    ++(m_stats.*counter);
    m_stats.*lastBody = body;
    forced.swap(m_knobs.*knob);
  }
  Delay();
  if (forced) {
    res.status = forced->first;
    res.set_header("X-Chunkup-Knob", "1");
    res.set_content(forced->second, kJson);
    return true;
  }
  return BodyFailed(r, res, kMaxJsonBody);
}

void Service::HandlePrepare(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
  std::string body;
  if (BeginExchange(req, reader, res, &Stats::prepare, &Stats::lastPrepareBody, &Knobs::prepare, body)) return;
  FileDocument doc;
  if (auto problem = CheckFileDocument(body, false, doc)) return SetError(res, 400, *problem);

  // Deciding that a chunk is held and recording the upload that relies on it
  // happen with no collection in between.
  auto references = m_store.ShareReferences();
  // A held file answers 409 with the record for this name: an earlier one
  // under the same name, or a new one (its own link id and URL).
  if (auto held = m_store.FileForContent(doc.path, doc.fileSize, doc.keys)) {
    Json::Value reply(Json::objectValue);
    reply["url"] = ResultUrl(*held);
    reply["linkid"] = held->linkId;
    return SetJson(res, 409, reply);
  }
  // Ask for each missing key once, at its first index: a key the store holds
  // (from any earlier file or an interrupted upload) is not asked for again.
  std::vector<int64_t> missing;
  std::unordered_map<std::string, bool> seen;
  for (size_t i = 0; i < doc.keys.size(); ++i) {
    if (!seen.emplace(doc.keys[i], true).second) continue;
    if (m_store.ChunkSize(doc.keys[i]) != ChunkLengthAt(doc.fileSize, int64_t(i))) missing.push_back(int64_t(i));
  }
  // The upload is recorded even when nothing is missing: it keeps the chunks
  // it counts on from being collected until its commit.
  auto id = m_store.CreateUpload(doc.path, doc.fileSize, doc.keys);
  if (!id) return SetError(res, 500, "cannot record the upload");
  Json::Value reply(Json::objectValue);
  reply["required"] = Json::Value(Json::arrayValue);
  for (int64_t index : missing) {
    Json::Value item(Json::objectValue);
    item["index"] = Json::Int64(index);
    item["url"] = m_publicUrl + "/chunks/" + doc.keys[size_t(index)] + "?upload=" + *id + "&index=" +
                  std::to_string(index);
    reply["required"].append(item);
  }
  SetJson(res, 200, reply);
}

void Service::HandleCommit(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
  std::string body;
  if (BeginExchange(req, reader, res, &Stats::commit, &Stats::lastCommitBody, &Knobs::commit, body)) return;
  FileDocument doc;
  if (auto problem = CheckFileDocument(body, true, doc)) return SetError(res, 400, *problem);

  auto references = m_store.ShareReferences();
  Json::Value missing(Json::arrayValue);
  for (size_t i = 0; i < doc.keys.size(); ++i) {
    if (m_store.ChunkSize(doc.keys[i]) != ChunkLengthAt(doc.fileSize, int64_t(i))) {
      if (missing.size() < 100) missing.append(Json::Int64(i));
    }
  }
  if (!missing.empty()) {
    Json::Value reply(Json::objectValue);
    reply["error"] = "the service does not hold every chunk of the file";
    reply["missing"] = missing;
    return SetJson(res, 400, reply);
  }
  auto file = m_store.AddFile(doc.path, doc.fileSize, doc.keys, doc.editTime, doc.mimeType);
  if (!file) return SetError(res, 500, "cannot record the file");
  m_store.MarkCommitted(doc.path, doc.fileSize, doc.keys);
  Json::Value reply(Json::objectValue);
  reply["url"] = ResultUrl(*file);
  reply["linkid"] = file->linkId;
  SetJson(res, 200, reply);
}

void Service::HandleChunkPut(const httplib::Request& req, httplib::Response& res,
                             const httplib::ContentReader& reader) {
  const std::string key = req.matches[1];
  const std::string uploadId = req.get_param_value("upload");
  auto index = ParseUnsignedDecimal(req.get_param_value("index"));
  bool closeIt = false;
  std::optional<int> forcedStatus;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_stats.put;
    if (m_stats.putIndexes.size() < 100000) {
      if (index) m_stats.putIndexes.append(Json::Int64(*index));
      else m_stats.putIndexes.append(key);
    }
    if (m_knobs.putClose > 0) {
      --m_knobs.putClose;
      closeIt = true;
    } else if (m_knobs.putCount > 0) {
      --m_knobs.putCount;
      forcedStatus = m_knobs.putStatus;
    }
  }
  // -1: no usable Content-Length (a chunked body, say).
  const int64_t declared = DeclaredLength(req);
  if (closeIt) {
    // Take about half of the body, then drop the connection as a crashing
    // server would; nothing is stored.
    int64_t half = declared >= 0 ? declared / 2 : kChunkSize / 2;
    int64_t got = 0;
    if (HasBody(req)) reader([&](const char*, size_t size) {
      got += int64_t(size);
      return got < half;
    });
    BreakConnection(req.remote_addr, req.remote_port, req.local_port);
    SetError(res, 500, "connection dropped on purpose");
    return;
  }
  if (forcedStatus) {
    if (declared > kMaxDrainBody) return SetTooLarge(res, size_t(kMaxDrainBody));
    if (HasBody(req)) reader([](const char*, size_t) { return true; });
    Delay();
    res.status = *forcedStatus;
    res.set_content(ErrorJson("status forced by a test knob"), kJson);
    return;
  }

  // Judge everything that can be judged before the body arrives.
  std::string problem;
  int status = 400;
  std::shared_ptr<const UploadRecord> upload;
  int64_t expected = -1;
  if (!IsValidKey(key)) {
    problem = "not a chunk key";
  } else if (uploadId.empty() || !index) {
    problem = "chunk URL lacks its upload and index";
  } else if (!(upload = m_store.FindUpload(uploadId))) {
    problem = "unknown upload";
    status = 404;
  } else if (*index >= int64_t(upload->keys.size()) || upload->keys[size_t(*index)] != key) {
    problem = "the upload has no chunk with this key at this index";
    status = 404;
  } else {
    expected = ChunkLengthAt(upload->size, *index);
    if (declared >= 0 && declared != expected)
      problem = "chunk length " + std::to_string(declared) + " differs from the expected " + std::to_string(expected);
  }
  if (!problem.empty()) {
    if (declared > kMaxDrainBody) return SetTooLarge(res, size_t(kMaxDrainBody));
    if (HasBody(req)) reader([](const char*, size_t) { return true; });
    return SetError(res, status, problem);
  }

  m_store.TouchUpload(uploadId);
  ChunkWriter writer;
  if (!writer.Begin(m_store.TmpDir())) return SetError(res, 500, "cannot create a temporary file");
  bool tooLong = false, ioFailed = false;
  auto sink = [&](const char* data, size_t size) {
    if (writer.Size() + int64_t(size) > expected) {
      tooLong = true;
      return false;
    }
    if (!writer.Write(data, size)) {
      ioFailed = true;
      return false;
    }
    return true;
  };
  Receive received = Receive::kOk;
  if (HasBody(req)) received = declared >= 0 ? ReceiveBody(req, reader, declared, sink)
                                             : reader(sink) ? Receive::kOk : Receive::kBroken;
  // A body left half read leaves the connection unusable.
  if (received != Receive::kOk) res.set_header("Connection", "close");
  if (tooLong) return SetError(res, 400, "chunk body longer than the expected " + std::to_string(expected) + " bytes");
  if (ioFailed) return SetError(res, 507, "cannot write the chunk");
  if (received != Receive::kOk) return SetError(res, 400, "incomplete chunk body");
  if (writer.Size() != expected)
    return SetError(res, 400, "chunk length " + std::to_string(writer.Size()) + " differs from the expected " +
                                  std::to_string(expected));
  if (writer.Key() != key) return SetError(res, 400, "chunk body does not match its key");
  if (!m_store.PrepareChunkDir(key) || !writer.Commit(m_store.ChunkPath(key)))
    return SetError(res, 507, "cannot store the chunk");
  m_store.TouchUpload(uploadId);
  {
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_stats.putStored;
  }
  Delay();
  Json::Value reply(Json::objectValue);
  reply["key"] = key;
  reply["size"] = Json::Int64(expected);
  SetJson(res, 200, reply);
}

void Service::HandleSink(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
  if (!RequireLoopback(req, res)) {
    res.set_header("Connection", "close");
    return;
  }
  const size_t limit = std::max(kMaxJsonBody, m_options.maxBody);
  if (req.has_header("Content-Length") &&
      std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10) > limit) {
    res.set_header("Connection", "close");  // the body is not read
    return SetError(res, 413, "body larger than --max-body");
  }
  ChunkWriter writer;
  if (!writer.Begin(m_store.TmpDir())) return SetError(res, 500, "cannot create a temporary file");
  bool ioFailed = false;
  auto sink = [&](const char* data, size_t size) {
    if (!writer.Write(data, size)) {
      ioFailed = true;
      return false;
    }
    return true;
  };
  const int64_t declared = DeclaredLength(req);
  Receive received = Receive::kOk;
  if (HasBody(req)) received = declared >= 0 ? ReceiveBody(req, reader, declared, sink)
                                             : reader(sink) ? Receive::kOk : Receive::kBroken;
  if (received != Receive::kOk) res.set_header("Connection", "close");
  if (ioFailed) return SetError(res, 507, "cannot write the body");
  if (received != Receive::kOk) return SetError(res, 400, "incomplete body");
  std::string key = writer.Key();
  if (!m_store.PrepareChunkDir(key) || !writer.Commit(m_store.ChunkPath(key)))
    return SetError(res, 507, "cannot store the body");
  Json::Value reply(Json::objectValue);
  reply["key"] = key;
  reply["size"] = Json::Int64(writer.Size());
  SetJson(res, 200, reply);
}

void Service::HandleDownload(const httplib::Request& req, httplib::Response& res) {
  auto file = m_store.FindFileByLink(req.matches[1]);
  if (!file) return SetError(res, 404, "no such file");
  for (size_t i = 0; i < file->keys.size(); ++i) {
    if (m_store.ChunkSize(file->keys[i]) != ChunkLengthAt(file->size, int64_t(i)))
      return SetError(res, 500, "a chunk of this file is missing from the store");
  }
  auto shared = std::make_shared<FileRecord>(std::move(*file));
  Store* store = &m_store;
  res.set_header("Content-Disposition", "attachment; filename*=UTF-8''" + PercentEncode(shared->name));
  // The type follows the name (uploaders all send the same MIME type). What
  // people upload is never run as this site's page or script.
  const std::string mimeType = ContentTypeForName(shared->name);
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("Content-Security-Policy", "sandbox");
  if (shared->size == 0) return res.set_content("", mimeType);  // no chunk to read from
  res.set_content_provider(
      size_t(shared->size), mimeType,
      [shared, store](size_t offset, size_t length, httplib::DataSink& sink) {
        // Serve at most the rest of one chunk per call.
        int64_t index = int64_t(offset) / kChunkSize;
        int64_t within = int64_t(offset) % kChunkSize;
        int64_t take = std::min<int64_t>(int64_t(length), ChunkLengthAt(shared->size, index) - within);
        take = std::min<int64_t>(take, 1 << 20);
        FILE* f = std::fopen(store->ChunkPath(shared->keys[size_t(index)]).c_str(), "rb");
        if (!f) return false;
        std::string buffer(size_t(take), '\0');
        bool ok = std::fseek(f, long(within), SEEK_SET) == 0 && std::fread(buffer.data(), 1, buffer.size(), f) == buffer.size();
        std::fclose(f);
        return ok && sink.write(buffer.data(), buffer.size());
      });
}

void Service::HandleList(const httplib::Request& req, httplib::Response& res) {
  if (!RequireAdmin(req, res)) return;
  auto number = [&](const char* name, int64_t fallback, int64_t max) -> std::optional<int64_t> {
    if (!req.has_param(name)) return fallback;
    auto v = ParseUnsignedDecimal(req.get_param_value(name));
    if (!v || *v > max) return std::nullopt;
    return *v;
  };
  auto limit = number("limit", 100, kMaxListed);
  auto offset = number("offset", 0, std::numeric_limits<int64_t>::max() / 2);
  if (!limit || !offset) return SetError(res, 400, "limit takes 0 to " + std::to_string(kMaxListed) + ", offset a count");
  const std::string format = req.has_param("format") ? req.get_param_value("format") : "html";
  if (format != "html" && format != "json") return SetError(res, 400, "format takes html or json");
  const int64_t total = m_store.FileCount();
  auto files = m_store.ListFiles(*limit, *offset);
  res.set_header("Cache-Control", "no-store");
  if (format == "html") {
    std::vector<std::string> urls;
    for (const auto& f : files) urls.push_back(ResultUrl(f));
    res.set_content(RenderFileList(files, urls, total, *offset, *limit), "text/html; charset=utf-8");
    return;
  }
  Json::Value reply(Json::objectValue);
  reply["total"] = Json::Int64(total);
  reply["offset"] = Json::Int64(*offset);
  reply["files"] = Json::Value(Json::arrayValue);
  for (const auto& f : files) {
    Json::Value item(Json::objectValue);
    item["linkid"] = f.linkId;
    item["name"] = f.name;
    item["path"] = f.path;
    item["size"] = Json::Int64(f.size);
    item["url"] = ResultUrl(f);
    item["content_type"] = ContentTypeForName(f.name);
    item["edit_time"] = f.editTime;
    item["created_ms"] = Json::Int64(f.createdMs);
    reply["files"].append(item);
  }
  SetJson(res, 200, reply);
}

void Service::HandleDelete(const httplib::Request& req, httplib::Response& res) {
  if (!RequireAdmin(req, res)) return;
  const std::string linkId = req.matches[1];
  if (!m_store.DeleteFile(linkId)) return SetError(res, 404, "no such file");
  // Its chunks go with the next collection, unless another file uses them.
  Json::Value reply(Json::objectValue);
  reply["linkid"] = linkId;
  reply["deleted"] = true;
  SetJson(res, 200, reply);
}

void Service::HandleReceive(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
  const std::string uuid = LowerCase(req.matches[1]);
  std::string body;
  BodyResult r = ReadBody(req, reader, kMaxSmallBody, body);
  std::optional<int> forced;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_stats.report;
    if (m_knobs.reportCount > 0) {
      --m_knobs.reportCount;
      forced = m_knobs.reportStatus;
    }
  }
  Delay();
  if (forced) {
    res.status = *forced;
    res.set_content(ErrorJson("status forced by a test knob"), kJson);
    return;
  }
  if (BodyFailed(r, res, kMaxSmallBody)) return;
  if (!IsPageUuid(uuid)) return SetError(res, 400, "not an upload page id");
  ReportRecord report;
  report.query = RawQuery(req);
  auto pairs = ParseQuery(report.query);
  if (!pairs) return SetError(res, 400, "malformed query escape");
  bool haveSize = false, haveUploaded = false, haveSpeed = false, haveName = false;
  for (auto& [k, v] : *pairs) {
    if (k == "filesize") report.filesize = v, haveSize = true;
    else if (k == "uploaded") report.uploaded = v, haveUploaded = true;
    else if (k == "speed") report.speed = v, haveSpeed = true;
    else if (k == "name") report.name = v, haveName = true;
    else if (k == "url") report.url = v;
  }
  if (!haveSize || !ParseSignedDecimal(report.filesize)) return SetError(res, 400, "\"filesize\" must be a decimal number");
  if (!haveUploaded || !ParseSignedDecimal(report.uploaded))
    return SetError(res, 400, "\"uploaded\" must be a decimal number");
  if (!haveSpeed || !ParseSignedDecimal(report.speed)) return SetError(res, 400, "\"speed\" must be a decimal number");
  if (!haveName) return SetError(res, 400, "\"name\" is missing");
  switch (m_store.AddReport(uuid, report)) {
    case Store::ReportResult::kStored: break;
    case Store::ReportResult::kTooMany: return SetError(res, 429, "too many reports for this page");
    case Store::ReportResult::kFailed: return SetError(res, 500, "cannot record the report");
  }
  SetJson(res, 200, Json::Value(Json::objectValue));
}

Json::Value Service::ReportsJson(const std::vector<ReportRecord>& reports) {
  Json::Value list(Json::arrayValue);
  for (const auto& r : reports) {
    Json::Value item(Json::objectValue);
    item["query"] = r.query;
    item["filesize"] = r.filesize;
    item["uploaded"] = r.uploaded;
    item["speed"] = r.speed;
    item["name"] = r.name;
    if (r.url) item["url"] = *r.url;
    item["received_ms"] = Json::Int64(r.receivedMs);
    list.append(item);
  }
  return list;
}

void Service::HandleStatus(const httplib::Request& req, httplib::Response& res) {
  const std::string uuid = LowerCase(req.matches[1]);
  Json::Value reply(Json::objectValue);
  reply["reports"] = Json::Value(Json::arrayValue);
  if (!IsPageUuid(uuid)) {
    reply["error"] = "not an upload page id";
    return SetJson(res, 400, reply);
  }
  auto reports = m_store.Reports(uuid);
  reply["uuid"] = uuid;
  reply["reports"] = ReportsJson(reports);
  if (reports.empty()) {
    reply["error"] = "no report for this upload yet";
    return SetJson(res, 404, reply);
  }
  res.set_header("Cache-Control", "no-store");
  SetJson(res, 200, reply);
}

void Service::HandlePage(const httplib::Request& req, httplib::Response& res) {
  const std::string uuid = LowerCase(req.matches[1]);
  if (!IsPageUuid(uuid)) {
    res.status = 400;
    res.set_content(RenderUploadPage(uuid, {}, false), "text/html; charset=utf-8");
    return;
  }
  auto reports = m_store.Reports(uuid);
  res.status = reports.empty() ? 404 : 200;
  res.set_header("Cache-Control", "no-store");
  res.set_content(RenderUploadPage(uuid, reports, true), "text/html; charset=utf-8");
}

void Service::HandleKnobs(const httplib::Request& req, httplib::Response& res) {
  auto pairs = ParseQuery(RawQuery(req));
  if (!pairs) return SetError(res, 400, "malformed query escape");
  Knobs next;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    next = m_knobs;
  }
  std::optional<int> prepareStatus, commitStatus;
  std::optional<std::string> prepareBody, commitBody;
  std::optional<int> putStatus, putCount, reportStatus, reportCount;
  for (auto& [k, v] : *pairs) {
    std::optional<int> n;
    if (k == "put_status" || k == "prepare_status" || k == "commit_status" || k == "report_status") {
      n = ParseStatusValue(v);
      if (!n) return SetError(res, 400, "knob " + k + " takes an HTTP status from 200 to 599");
    } else if (k == "put_count" || k == "report_count" || k == "put_close") {
      n = ParseCountValue(v, 1000000);
      if (!n) return SetError(res, 400, "knob " + k + " takes a count");
    } else if (k == "delay_ms") {
      n = ParseCountValue(v, 600000);
      if (!n) return SetError(res, 400, "knob delay_ms takes 0 to 600000");
    } else if (k == "remote_admin" || k == "close_connections") {
      n = ParseCountValue(v, 1);
      if (!n) return SetError(res, 400, "knob " + k + " takes 0 or 1");
    } else if (k != "prepare_body" && k != "commit_body") {
      return SetError(res, 400, "unknown knob " + k);
    }
    if (k == "put_status") putStatus = n;
    else if (k == "put_count") putCount = n;
    else if (k == "put_close") next.putClose = *n;
    else if (k == "delay_ms") next.delayMs = *n;
    else if (k == "remote_admin") next.remoteAdmin = *n == 1;
    else if (k == "close_connections") next.closeConnections = *n == 1;
    else if (k == "prepare_status") prepareStatus = n;
    else if (k == "prepare_body") prepareBody = v;
    else if (k == "commit_status") commitStatus = n;
    else if (k == "commit_body") commitBody = v;
    else if (k == "report_status") reportStatus = n;
    else if (k == "report_count") reportCount = n;
  }
  // A status without a count applies once; a count without a status is meaningless.
  if (putCount && !putStatus) return SetError(res, 400, "put_count needs put_status");
  if (putStatus) next.putStatus = *putStatus, next.putCount = putCount.value_or(1);
  if (reportCount && !reportStatus) return SetError(res, 400, "report_count needs report_status");
  if (reportStatus) next.reportStatus = *reportStatus, next.reportCount = reportCount.value_or(1);
  if (prepareStatus || prepareBody) next.prepare.emplace(prepareStatus.value_or(200), prepareBody.value_or(""));
  if (commitStatus || commitBody) next.commit.emplace(commitStatus.value_or(200), commitBody.value_or(""));
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_knobs = next;
  }
  SetJson(res, 200, Json::Value(Json::objectValue));
}

void Service::HandleStats(httplib::Response& res) {
  Json::Value v(Json::objectValue);
  {
    std::lock_guard<std::mutex> lock(m_lock);
    v["prepare"] = Json::Int64(m_stats.prepare);
    v["put"] = Json::Int64(m_stats.put);
    v["put_stored"] = Json::Int64(m_stats.putStored);
    v["commit"] = Json::Int64(m_stats.commit);
    v["report"] = Json::Int64(m_stats.report);
    v["last_prepare_body"] = m_stats.lastPrepareBody;
    v["last_commit_body"] = m_stats.lastCommitBody;
    v["put_indexes"] = m_stats.putIndexes;
    v["gc_runs"] = Json::Int64(m_stats.gcRuns);
  }
  v["connections"] = Json::Int64(m_connections.load());
  v["connections_open"] = Json::Int64(m_connectionsOpen.load());
  v["listen_backlog"] = ListenBacklog();
  res.set_header("Cache-Control", "no-store");
  SetJson(res, 200, v);
}

void Service::HandleReset(httplib::Response& res) {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_knobs = Knobs();
    m_stats = Stats();
  }
  m_connections = 0;
  SetJson(res, 200, Json::Value(Json::objectValue));
}

void Service::HandleCollect(httplib::Response& res) {
  CollectResult r = Collect();
  Json::Value v(Json::objectValue);
  v["uploads_expired"] = Json::Int64(r.uploadsExpired);
  v["chunks_removed"] = Json::Int64(r.chunksRemoved);
  v["bytes_removed"] = Json::Int64(r.bytesRemoved);
  SetJson(res, 200, v);
}

}  // namespace chunkup::service

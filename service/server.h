// The HTTP side of the service: the file-service protocol, the web site's
// report and page endpoints, and the loopback-only control endpoints tests use
// to inject faults.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <json/json.h>

#include "service/store.h"

namespace chunkup::service {

struct Options {
  std::string listenHost = "127.0.0.1";
  int listenPort = 8642;
  std::string dataDir;
  std::string publicUrl;  // empty: http://<bound address>
  bool quiet = false;     // no request log
  // Largest body any request may carry. Above the 8 MiB default only for
  // benchmarks that PUT whole files to /_sink: every route then accepts
  // bodies this large.
  size_t maxBody = 0;     // 0: kMaxJsonBody
  // HTTPS: both or neither (PEM files; the certificate file may hold the chain).
  std::string tlsCert, tlsKey;
  // Lets non-loopback clients list and delete files ("Authorization: Bearer TOKEN").
  std::string adminToken;
  int64_t gcIntervalSeconds = 3600;  // how often unreferenced chunks are collected
  int64_t uploadTtlSeconds = 86400;  // an upload untouched this long is forgotten
};

// The listen backlog asked of the kernel (which caps it at net.core.somaxconn).
inline constexpr int kListenBacklog = 1024;
// Worker threads: one per connection being served (keep-alive included).
inline constexpr size_t kWorkerThreads = 128;
// Requests one connection may carry; a whole upload fits many times over.
inline constexpr size_t kKeepAliveMaxCount = 100000;
inline constexpr time_t kKeepAliveSeconds = 5;
// Pieces a body with a known length is received in, straight from the socket.
inline constexpr size_t kReceivePiece = 256u << 10;
// Most files one listing shows.
inline constexpr int64_t kMaxListed = 10000;

// Body size limits: a prepare or commit body of 8 MiB lists about 270,000
// chunk keys, a file of a terabyte.
inline constexpr size_t kMaxJsonBody = 8u << 20;
inline constexpr size_t kMaxSmallBody = 64u << 10;
// A wrong-length chunk body up to this size is read and dropped so the
// connection stays usable; a larger one is refused unread.
inline constexpr int64_t kMaxDrainBody = 2 * kChunkSize;

class Service {
 public:
  Service(Options options, Store& store);
  ~Service();
  // False with a message when the TLS certificate or key cannot be used.
  bool Valid(std::string* error) const;
  // Binds the listening socket; false with a message on failure.
  bool Bind(std::string* error);
  // One collection now (uploads past their time, unreferenced chunks).
  CollectResult Collect();
  // Collects every gcIntervalSeconds until Stop.
  void StartCollector();
  int Port() const { return m_port; }
  const std::string& PublicUrl() const { return m_publicUrl; }
  std::string ListenUrl() const;
  // Serves until Stop; returns false when the server could not run.
  bool Run();
  void Stop();

 private:
  struct Knobs {
    int putStatus = 0, putCount = 0;
    int putClose = 0;
    int delayMs = 0;
    std::optional<std::pair<int, std::string>> prepare, commit;
    int reportStatus = 0, reportCount = 0;
    bool remoteAdmin = false;  // listing and deleting treat loopback clients as remote
    bool closeConnections = false;  // every reply ends its connection
  };
  struct Stats {
    int64_t prepare = 0, put = 0, putStored = 0, commit = 0, report = 0, gcRuns = 0;
    std::string lastPrepareBody, lastCommitBody;
    Json::Value putIndexes = Json::Value(Json::arrayValue);
  };

  void Routes();
  // Reads a prepare or commit body, counts and keeps it, and answers with the
  // reply a knob forces, if any. True when the reply is already made.
  bool BeginExchange(const httplib::Request& req, const httplib::ContentReader& reader, httplib::Response& res,
                     int64_t Stats::*counter, std::string Stats::*lastBody,
                     std::optional<std::pair<int, std::string>> Knobs::*knob, std::string& body);
  void HandlePrepare(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader);
  void HandleCommit(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader);
  void HandleChunkPut(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader);
  void HandleSink(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader);
  void HandleDownload(const httplib::Request& req, httplib::Response& res);
  void HandleList(const httplib::Request& req, httplib::Response& res);
  void HandleDelete(const httplib::Request& req, httplib::Response& res);
  void HandleReceive(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader);
  void HandleStatus(const httplib::Request& req, httplib::Response& res);
  void HandlePage(const httplib::Request& req, httplib::Response& res);
  void HandleKnobs(const httplib::Request& req, httplib::Response& res);
  void HandleStats(httplib::Response& res);
  void HandleReset(httplib::Response& res);
  void HandleCollect(httplib::Response& res);

  void Delay();
  bool RequireLoopback(const httplib::Request& req, httplib::Response& res);
  // Loopback clients, and others that show the admin token.
  bool RequireAdmin(const httplib::Request& req, httplib::Response& res);
  enum class Receive { kOk, kStopped, kBroken };
  // Hands a body of a known length to sink in large pieces: the first piece
  // through httplib's reader, the rest straight from the connection's socket
  // (plain HTTP only; httplib reads 4 KiB at a time). kStopped: sink said no.
  Receive ReceiveBody(const httplib::Request& req, const httplib::ContentReader& reader, int64_t length,
                      const std::function<bool(const char*, size_t)>& sink);
  int ListenBacklog() const;
  Json::Value ReportsJson(const std::vector<ReportRecord>& reports);
  std::string ResultUrl(const FileRecord& f) const;

  Options m_options;
  Store& m_store;
  std::unique_ptr<httplib::Server> m_server;
  bool m_tls = false;
  std::function<int()> m_listenSocket;  // the bound socket, -1 before
  int m_port = 0;
  std::atomic<int64_t> m_connections{0};      // accepted since the last reset
  std::atomic<int64_t> m_connectionsOpen{0};  // being served now
  std::thread m_collector;
  std::string m_publicUrl;

  std::mutex m_lock;  // guards m_knobs, m_stats
  Knobs m_knobs;
  Stats m_stats;

  std::mutex m_stopLock;
  std::condition_variable m_stopCv;
  bool m_stopping = false;
  std::mutex m_logLock;
};

}  // namespace chunkup::service

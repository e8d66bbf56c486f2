// Runs the real chunkup-service in a child process for a test: on a free
// loopback port with a fresh data directory, plus small HTTP helpers over
// libcurl to talk to it and to its control endpoints.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include <json/json.h>

namespace chunkup::testing {

class ServiceProcess {
 public:
  // Starts the service on 127.0.0.1:0 with a fresh temporary data dir;
  // extraArgs come after those, so "--listen" or "--data-dir" in them win.
  // Throws std::runtime_error when the service does not come up within 15 s.
  explicit ServiceProcess(std::vector<std::string> extraArgs = {});
  // SIGTERM, a bounded wait (then SIGKILL), and the temporary dir removed.
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  const std::string& BaseUrl() const { return m_baseUrl; }  // "http://127.0.0.1:PORT" (https with --tls-cert)
  std::string HostPort() const;                              // "127.0.0.1:PORT"
  int Port() const { return m_port; }
  const std::string& DataDir() const { return m_dataDir; }
  pid_t Pid() const { return m_pid; }
  bool Running() const { return m_pid > 0; }

  void Kill();     // SIGKILL, and reaped
  void Restart();  // stops it if running, starts again on the same port and data dir
  // SIGTERM and a bounded wait; returns the exit status (-1 when it had to be killed).
  int Stop(int timeoutMs = 10000);

  // Everything the service wrote to stderr (its request log) so far.
  std::string LogText() const;

  struct Reply {
    int curlCode = 0;  // 0, or the libcurl error of a failed transfer
    long status = 0;   // HTTP status, 0 without one
    std::string body;
    std::string headers;
  };
  // One request; pathOrUrl is either an absolute URL or a path on BaseUrl().
  // headers are extra header lines ("Name: value"). Time limit 60 s.
  Reply Request(const std::string& method, const std::string& pathOrUrl, const std::string& body = std::string(),
                const std::vector<std::string>& headers = {}) const;
  std::string Get(const std::string& pathOrUrl, long* status = nullptr) const;
  std::string Post(const std::string& pathOrUrl, const std::string& body, long* status = nullptr) const;
  std::string Put(const std::string& pathOrUrl, const std::string& body, long* status = nullptr) const;

  // A CA bundle (PEM) the helpers below verify an HTTPS service against.
  void SetCaFile(const std::string& path) { m_caFile = path; }

  Json::Value Stats() const;                      // GET /_control/stats
  void Reset() const;                             // POST /_control/reset
  bool SetKnobs(const std::string& query) const;  // POST /_control/knobs?query; true on 200
  Json::Value Reports(const std::string& uuid) const;  // GET /g/status/<uuid>: {"reports":[...]}

 private:
  void Start(const std::vector<std::string>& args);

  std::vector<std::string> m_extraArgs;
  std::string m_root;     // temporary dir holding data/ and service.log
  std::string m_dataDir;
  std::string m_logPath;
  std::string m_host = "127.0.0.1";
  int m_port = 0;
  std::string m_baseUrl;
  std::string m_caFile;
  pid_t m_pid = -1;
};

}  // namespace chunkup::testing

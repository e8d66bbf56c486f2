#include "tests/support/service_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <curl/curl.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifndef CHUNKUP_SERVICE_BINARY
#error "CHUNKUP_SERVICE_BINARY must name the built chunkup-service"
#endif

namespace chunkup::testing {

namespace {

using Clock = std::chrono::steady_clock;

size_t Collect(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

// Reads one line from fd, waiting at most until deadline.
bool ReadLine(int fd, std::string& line, Clock::time_point deadline) {
  line.clear();
  while (Clock::now() < deadline) {
    int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    pollfd p {fd, POLLIN, 0};
    int r = ::poll(&p, 1, left > 0 ? left : 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    char c;
    ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (c == '\n') return true;
    line += c;
  }
  return false;
}

// Waits for pid to end, at most timeoutMs; returns its wait status or -1.
int WaitFor(pid_t pid, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0 && errno != EINTR) return 0;
    if (Clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

ServiceProcess::ServiceProcess(std::vector<std::string> extraArgs) : m_extraArgs(std::move(extraArgs)) {
  std::string base = std::filesystem::temp_directory_path().string() + "/chunkup-service-XXXXXX";
  std::vector<char> pattern(base.begin(), base.end());
  pattern.push_back('\0');
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary directory");
  m_root = pattern.data();
  m_dataDir = m_root + "/data";
  m_logPath = m_root + "/service.log";
  for (size_t i = 0; i + 1 < m_extraArgs.size(); ++i)
    if (m_extraArgs[i] == "--data-dir") m_dataDir = m_extraArgs[i + 1];
  std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--data-dir", m_dataDir};
  args.insert(args.end(), m_extraArgs.begin(), m_extraArgs.end());
  try {
    Start(args);
  } catch (...) {
    std::error_code ec;
    std::filesystem::remove_all(m_root, ec);
    throw;
  }
}

ServiceProcess::~ServiceProcess() {
  Stop();
  std::error_code ec;
  std::filesystem::remove_all(m_root, ec);
}

std::string ServiceProcess::HostPort() const { return m_host + ":" + std::to_string(m_port); }

void ServiceProcess::Start(const std::vector<std::string>& args) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  int log = ::open(m_logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (log < 0) {
    ::close(out[0]), ::close(out[1]);
    throw std::runtime_error("cannot open " + m_logPath);
  }
  // Everything the child needs is made before fork: only exec-safe calls follow.
  std::vector<std::string> storage;
  storage.push_back(CHUNKUP_SERVICE_BINARY);
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : storage) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t parent = ::getpid();

  pid_t pid = ::fork();
  if (pid < 0) {
    ::close(out[0]), ::close(out[1]), ::close(log);
    throw std::runtime_error("fork failed");
  }
  if (pid == 0) {
    // The service must not outlive a test process that dies.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(out[1], 1);
    ::dup2(log, 2);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(log);
  m_pid = pid;

  std::string line;
  bool ok = ReadLine(out[0], line, Clock::now() + std::chrono::seconds(15));
  ::close(out[0]);
  const std::string prefix = "chunkup-service listening on ";
  const std::string url = ok && line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : std::string();
  const size_t schemeEnd = url.find("://");
  if (schemeEnd == std::string::npos || (url.compare(0, schemeEnd, "http") != 0 && url.compare(0, schemeEnd, "https") != 0)) {
    Kill();
    throw std::runtime_error("chunkup-service did not start (" + line + "): " + LogText());
  }
  std::string hostPort = url.substr(schemeEnd + 3);
  size_t colon = hostPort.rfind(':');
  m_host = hostPort.substr(0, colon);
  m_port = std::atoi(hostPort.c_str() + colon + 1);
  m_baseUrl = url;  // http:// or, with --tls-cert, https://
}

void ServiceProcess::Kill() {
  if (m_pid <= 0) return;
  ::kill(m_pid, SIGKILL);
  WaitFor(m_pid, 10000);
  m_pid = -1;
}

int ServiceProcess::Stop(int timeoutMs) {
  if (m_pid <= 0) return 0;
  ::kill(m_pid, SIGTERM);
  int status = WaitFor(m_pid, timeoutMs);
  if (status == -1) {
    Kill();
    return -1;
  }
  m_pid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void ServiceProcess::Restart() {
  Stop();
  std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--data-dir", m_dataDir};
  args.insert(args.end(), m_extraArgs.begin(), m_extraArgs.end());
  args.push_back("--listen");
  args.push_back(HostPort());
  // The port was just released; give the kernel a moment if it is not free yet.
  for (int attempt = 0;; ++attempt) {
    try {
      Start(args);
      return;
    } catch (const std::runtime_error&) {
      if (attempt >= 20) throw;
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
  }
}

std::string ServiceProcess::LogText() const {
  std::ifstream in(m_logPath, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

ServiceProcess::Reply ServiceProcess::Request(const std::string& method, const std::string& pathOrUrl,
                                              const std::string& body, const std::vector<std::string>& headers) const {
  Reply reply;
  std::string url = pathOrUrl.rfind("http://", 0) == 0 || pathOrUrl.rfind("https://", 0) == 0 ? pathOrUrl
                                                                                               : m_baseUrl + pathOrUrl;
  std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) {
    reply.curlCode = CURLE_FAILED_INIT;
    return reply;
  }
  curl_slist* list = nullptr;
  for (const auto& h : headers) list = curl_slist_append(list, h.c_str());
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT, 60L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 10L);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &reply.body);
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, Collect);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &reply.headers);
  if (!m_caFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, m_caFile.c_str());
  if (method == "GET") {
    curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
  } else {
    // Body bytes as given, whatever the method; Content-Length always sent.
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size()));
    curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method.c_str());
    list = curl_slist_append(list, "Expect:");
    bool hasType = false;
    for (const auto& h : headers)
      if (strncasecmp(h.c_str(), "Content-Type:", 13) == 0) hasType = true;
    if (!hasType) list = curl_slist_append(list, "Content-Type: application/octet-stream");
  }
  if (list) curl_easy_setopt(c, CURLOPT_HTTPHEADER, list);
  reply.curlCode = int(curl_easy_perform(c));
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &reply.status);
  curl_slist_free_all(list);
  return reply;
}

std::string ServiceProcess::Get(const std::string& pathOrUrl, long* status) const {
  Reply r = Request("GET", pathOrUrl);
  if (status) *status = r.status;
  return r.body;
}

std::string ServiceProcess::Post(const std::string& pathOrUrl, const std::string& body, long* status) const {
  Reply r = Request("POST", pathOrUrl, body);
  if (status) *status = r.status;
  return r.body;
}

std::string ServiceProcess::Put(const std::string& pathOrUrl, const std::string& body, long* status) const {
  Reply r = Request("PUT", pathOrUrl, body);
  if (status) *status = r.status;
  return r.body;
}

static Json::Value ParseOrNull(const std::string& text) {
  Json::Value v;
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  if (!reader->parse(text.data(), text.data() + text.size(), &v, &errors)) return Json::Value();
  return v;
}

Json::Value ServiceProcess::Stats() const { return ParseOrNull(Get("/_control/stats")); }

void ServiceProcess::Reset() const { Post("/_control/reset", ""); }

bool ServiceProcess::SetKnobs(const std::string& query) const {
  long status = 0;
  Post("/_control/knobs?" + query, "", &status);
  return status == 200;
}

Json::Value ServiceProcess::Reports(const std::string& uuid) const { return ParseOrNull(Get("/g/status/" + uuid)); }

}  // namespace chunkup::testing

// The service's sockets: one service per port (a second one fails with a
// clear message, a port in TIME-WAIT binds), a listen backlog for 100
// clients at once, connections kept alive across requests and counted, and
// bodies received in large pieces without losing the connection's place.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <curl/curl.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "tests/service/service_test_util.h"
#include "tests/support/temp_dir.h"

namespace chunkup::testing {
namespace {

using Clock = std::chrono::steady_clock;

int ConnectLoopback(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(uint16_t(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += size_t(n);
  }
  return true;
}

// Reads until the peer closes or the deadline passes.
std::string ReadUntilClosed(int fd, Clock::time_point deadline) {
  std::string out;
  char buffer[65536];
  while (Clock::now() < deadline) {
    int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    pollfd p {fd, POLLIN, 0};
    if (::poll(&p, 1, left > 0 ? left : 0) <= 0) break;
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    out.append(buffer, size_t(n));
  }
  return out;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) ++n;
  return n;
}

// One libcurl handle for a series of requests, so they share its connection.
class Connection {
 public:
  Connection() : m_curl(curl_easy_init(), curl_easy_cleanup) {}
  struct Result {
    long status = 0;
    std::string body;
    long newConnections = 0;  // connections libcurl opened for this request
  };
  Result Request(const std::string& method, const std::string& url, const std::string& body = std::string()) {
    Result r;
    CURL* c = m_curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, 60L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, +[](char* d, size_t s, size_t n, void* out) {
      static_cast<std::string*>(out)->append(d, s * n);
      return s * n;
    });
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &r.body);
    curl_slist* headers = curl_slist_append(nullptr, "Expect:");
    headers = curl_slist_append(headers, "Content-Type: application/octet-stream");
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    if (method == "GET") {
      curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, nullptr);
      curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    } else {
      curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
      curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size()));
      curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method.c_str());
    }
    if (curl_easy_perform(c) == CURLE_OK) {
      curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
      curl_easy_getinfo(c, CURLINFO_NUM_CONNECTS, &r.newConnections);
    }
    curl_slist_free_all(headers);
    return r;
  }

 private:
  std::unique_ptr<CURL, void (*)(CURL*)> m_curl;
};

int FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

// True when /proc/net/tcp lists a socket in TIME-WAIT on this local port.
bool HasTimeWait(int port) {
  std::ifstream in("/proc/net/tcp");
  std::string line;
  char want[8];
  std::snprintf(want, sizeof want, ":%04X", port);
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (local.size() >= 5 && local.substr(local.size() - 5) == want && state == "06") return true;
  }
  return false;
}

TEST(ServicePort, ASecondServiceOnATakenPortFailsClearly) {
  ServiceProcess first;
  TempDir otherData;
  RunResult second = RunService({"--listen", first.HostPort(), "--data-dir", otherData.PathOf("data")});
  EXPECT_EQ(second.exitCode, 1) << second.output;
  EXPECT_NE(second.output.find("cannot listen on " + first.HostPort()), std::string::npos) << second.output;
  EXPECT_NE(second.output.find("in use"), std::string::npos) << second.output;
  // The first one still has every connection.
  long status = 0;
  first.Get("/", &status);
  EXPECT_EQ(status, 200);
}

TEST(ServicePort, APortLeftInTimeWaitBinds) {
  const int port = FreePort();
  {
    // Another program's server on the port closes a connection first, so its
    // side of it lingers in TIME-WAIT; then the program ends.
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    int client = ConnectLoopback(port);
    ASSERT_GE(client, 0);
    int served = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(served, 0);
    ::close(served);
    char c;
    EXPECT_EQ(::recv(client, &c, 1, 0), 0);  // the server's close has arrived
    ::close(client);
    ::close(listener);
  }
  ASSERT_TRUE(HasTimeWait(port)) << "the test did not leave a TIME-WAIT on port " << port;
  ServiceProcess service({"--listen", "127.0.0.1:" + std::to_string(port)});
  EXPECT_EQ(service.Port(), port);
  long status = 0;
  service.Get("/", &status);
  EXPECT_EQ(status, 200);
}

TEST(ServicePort, TheListenBacklogFitsAHundredClients) {
  ServiceProcess service;
  int somaxconn = 4096;
  std::ifstream("/proc/sys/net/core/somaxconn") >> somaxconn;
  // The kernel's own figure for the listening socket (TCP_INFO).
  EXPECT_EQ(service.Stats()["listen_backlog"].asInt(), std::min(1024, somaxconn));
  EXPECT_GE(service.Stats()["listen_backlog"].asInt(), 100);
}

TEST(ServicePort, AHundredClientsConnectingAtOnceAreAllServed) {
  ServiceProcess service;
  service.Reset();
  constexpr int kClients = 100;
  std::vector<int> fds;
  // Every connection is made before any request goes out.
  for (int i = 0; i < kClients; ++i) {
    int fd = ConnectLoopback(service.Port());
    ASSERT_GE(fd, 0) << "connection " << i;
    fds.push_back(fd);
  }
  for (int fd : fds) ASSERT_TRUE(SendAll(fd, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"));
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  int served = 0;
  for (int fd : fds) {
    std::string reply = ReadUntilClosed(fd, deadline);
    if (reply.rfind("HTTP/1.1 200", 0) == 0 && reply.find("chunkup service") != std::string::npos) ++served;
    ::close(fd);
  }
  EXPECT_EQ(served, kClients);
  EXPECT_GE(service.Stats()["connections"].asInt(), kClients);
}

TEST(ServiceConnections, AWholeUploadTravelsOnOneCountedConnection) {
  ServiceProcess service;
  const std::string bytes = MakeBytes(3 * kChunk + 77, 21);
  service.Reset();
  const int64_t before = service.Stats()["connections"].asInt64();  // this request's own connection

  Connection connection;
  auto prepared = connection.Request("POST", service.BaseUrl() + "/anonymous/prepare_put",
                                     PrepareBody("one.bin", bytes.size(), KeysOf(bytes)));
  ASSERT_EQ(prepared.status, 200);
  EXPECT_EQ(prepared.newConnections, 1);
  const Json::Value reply = ParseJson(prepared.body);
  ASSERT_EQ(reply["required"].size(), 4u);
  for (const auto& item : reply["required"]) {
    auto put = connection.Request("PUT", item["url"].asString(), ChunkOf(bytes, item["index"].asUInt()));
    EXPECT_EQ(put.status, 200) << put.body;
    EXPECT_EQ(put.newConnections, 0) << "chunk " << item["index"];
  }
  auto committed = connection.Request("POST", service.BaseUrl() + "/anonymous/commit_put",
                                      CommitBody("one.bin", bytes.size(), KeysOf(bytes)));
  EXPECT_EQ(committed.status, 200) << committed.body;
  EXPECT_EQ(committed.newConnections, 0);
  // More requests than httplib's keep-alive count of old (100) still share it.
  for (int i = 0; i < 150; ++i) {
    auto r = connection.Request("GET", service.BaseUrl() + "/g/status/0f8fad5b-d9cb-469f-a165-70867728950e");
    ASSERT_EQ(r.status, 404);
    ASSERT_EQ(r.newConnections, 0) << "request " << i;
  }
  Json::Value stats = service.Stats();
  // The upload's connection and this stats request's own.
  EXPECT_EQ(stats["connections"].asInt64() - before, 2) << stats;
  EXPECT_GE(stats["connections_open"].asInt64(), 2) << stats;  // the upload's is still open
  EXPECT_TRUE(service.Get(ParseJson(committed.body)["url"].asString()) == bytes);
}

TEST(ServiceConnections, TheCloseKnobEndsEveryConnectionAfterItsReply) {
  ServiceProcess service;
  ASSERT_TRUE(service.SetKnobs("close_connections=1"));
  Connection connection;
  for (int i = 0; i < 3; ++i) {
    auto r = connection.Request("GET", service.BaseUrl() + "/");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.newConnections, 1) << "request " << i;
  }
  // An upload still completes, one connection per request.
  const std::string bytes = MakeBytes(2 * kChunk + 3, 26);
  const int64_t before = service.Stats()["connections"].asInt64();
  const std::string url = UploadWhole(service, "closing.bin", bytes);
  EXPECT_TRUE(service.Get(url) == bytes);
  EXPECT_EQ(service.Stats()["connections"].asInt64() - before, 7);  // prepare, 3 PUTs, commit, get, stats
  service.Reset();
  EXPECT_EQ(connection.Request("GET", service.BaseUrl() + "/").newConnections, 1);
  EXPECT_EQ(connection.Request("GET", service.BaseUrl() + "/").newConnections, 0);
}

TEST(ServiceConnections, ResetZeroesTheCount) {
  ServiceProcess service;
  for (int i = 0; i < 3; ++i) service.Get("/");
  EXPECT_GE(service.Stats()["connections"].asInt64(), 4);
  service.Reset();
  EXPECT_EQ(service.Stats()["connections"].asInt64(), 1);  // the stats request's own
}

// Bodies of every size, each followed by another request on the same
// connection: whatever way the body was read, the next request is found.
TEST(ServiceBodies, BodiesOfAnySizeLeaveTheConnectionInPlace) {
  ServiceProcess service({"--max-body", std::to_string(16u << 20)});
  Connection connection;
  for (size_t size : {size_t{1}, size_t{4095}, size_t{4096}, size_t{4097}, size_t{65535}, size_t{65537},
                      size_t{262143}, size_t{262145}, size_t{1} << 20, kChunk, kChunk + 1, size_t{9} << 20}) {
    const std::string body = MakeBytes(size, uint32_t(size));
    auto put = connection.Request("PUT", service.BaseUrl() + "/_sink", body);
    EXPECT_EQ(put.status, 200) << size;
    EXPECT_EQ(ParseJson(put.body)["key"].asString(), KeyOf(body)) << size;
    EXPECT_EQ(ParseJson(put.body)["size"].asUInt64(), size);
    auto after = connection.Request("GET", service.BaseUrl() + "/");
    EXPECT_EQ(after.status, 200) << size;
    EXPECT_EQ(after.newConnections, 0) << size;
  }
}

TEST(ServiceBodies, APipelinedRequestAfterALargeBodyIsAnswered) {
  ServiceProcess service;
  const std::string bytes = MakeBytes(kChunk, 22);
  Exchange prepared = Prepare(service, "pipe.bin", bytes);
  ASSERT_EQ(RequiredIndexes(prepared.reply), (std::vector<int>{0}));
  const std::string url = prepared.reply["required"][0]["url"].asString();
  const std::string target = url.substr(url.find("/chunks/"));
  int fd = ConnectLoopback(service.Port());
  ASSERT_GE(fd, 0);
  // Head, body and the next request in one stream; the second request asks
  // for the connection to end so the reply can be read to its end.
  std::string stream = "PUT " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/octet-stream\r\n" +
                       "Content-Length: " + std::to_string(bytes.size()) + "\r\n\r\n" + bytes +
                       "GET /g/status/0f8fad5b-d9cb-469f-a165-70867728950e HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                       "Connection: close\r\n\r\n";
  ASSERT_TRUE(SendAll(fd, stream));
  const std::string replies = ReadUntilClosed(fd, Clock::now() + std::chrono::seconds(30));
  ::close(fd);
  EXPECT_EQ(replies.rfind("HTTP/1.1 200", 0), 0u) << replies.substr(0, 300);
  EXPECT_NE(replies.find("\"key\":\"" + KeyOf(bytes) + "\""), std::string::npos) << replies;
  EXPECT_EQ(Count(replies, "HTTP/1.1 "), 2u) << replies;
  EXPECT_NE(replies.find("HTTP/1.1 404"), std::string::npos) << replies;
  EXPECT_EQ(Commit(service, "pipe.bin", bytes).status, 200);
}

TEST(ServiceBodies, AChunkedBodyIsDecodedWhateverContentLengthItAlsoClaims) {
  ServiceProcess service;
  const std::string body = MakeBytes(300000, 25);
  std::string stream = "PUT /_sink HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 300000\r\n"
                       "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n";
  for (size_t at = 0; at < body.size(); at += 70000) {
    const std::string piece = body.substr(at, 70000);
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
    stream += size + piece + "\r\n";
  }
  stream += "0\r\n\r\n";
  int fd = ConnectLoopback(service.Port());
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(SendAll(fd, stream));
  const std::string reply = ReadUntilClosed(fd, Clock::now() + std::chrono::seconds(30));
  ::close(fd);
  EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << reply.substr(0, 300);
  EXPECT_NE(reply.find("\"key\":\"" + KeyOf(body) + "\""), std::string::npos) << reply.substr(0, 500);
}

TEST(ServiceBodies, AChunkWithWrongBytesIsRefusedAndTheConnectionGoesOn) {
  ServiceProcess service;
  const std::string bytes = MakeBytes(kChunk, 23);
  Exchange prepared = Prepare(service, "wrong.bin", bytes);
  ASSERT_EQ(prepared.status, 200);
  Connection connection;
  std::string wrong = bytes;
  wrong[kChunk - 1] ^= 1;
  auto refused = connection.Request("PUT", prepared.reply["required"][0]["url"].asString(), wrong);
  EXPECT_EQ(refused.status, 400);
  EXPECT_NE(refused.body.find("does not match its key"), std::string::npos) << refused.body;
  auto stored = connection.Request("PUT", prepared.reply["required"][0]["url"].asString(), bytes);
  EXPECT_EQ(stored.status, 200);
  EXPECT_EQ(stored.newConnections, 0);
}

TEST(ServiceBodies, ABodyCutShortStoresNothing) {
  ServiceProcess service;
  const std::string bytes = MakeBytes(kChunk, 24);
  Exchange prepared = Prepare(service, "short.bin", bytes);
  const std::string url = prepared.reply["required"][0]["url"].asString();
  {
    // Far enough in that the rest would be read from the socket directly.
    HalfSentPut put(service.Port(), url.substr(url.find("/chunks/")), bytes, 3 * kChunk / 4);
    ASSERT_TRUE(put.ok());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  // The service notices the end of the connection and keeps nothing.
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (service.Stats()["connections_open"].asInt() > 1 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(std::filesystem::exists(ChunkFileOf(service.DataDir(), bytes)));
  EXPECT_EQ(RequiredIndexes(Prepare(service, "short.bin", bytes).reply), (std::vector<int>{0}));
}

}  // namespace
}  // namespace chunkup::testing

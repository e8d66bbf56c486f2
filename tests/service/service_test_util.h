// Shared helpers of the service tests: file contents, their chunk keys (made
// with the library's own SHA-1 and key code, so both sides must agree), the
// request documents as the library writes them, and a whole upload.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "fingerprint/encodings.h"
#include "fingerprint/sha1.h"
#include "tests/support/service_process.h"

namespace chunkup::testing {

inline constexpr size_t kChunk = 4194304;

// Deterministic bytes; different seeds give different chunks.
inline std::string MakeBytes(size_t size, uint32_t seed) {
  std::string out(size, '\0');
  uint64_t x = 0x9E3779B97F4A7C15ull ^ (uint64_t(seed) * 0x100000001B3ull + 1);
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    out[i] = char(x >> 24);
  }
  return out;
}

inline std::string KeyOf(const std::string& bytes) {
  Sha1State state;
  Sha1Start(state);
  Sha1Feed(state, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  uint8_t digest[kSha1DigestSize];
  Sha1Finish(state, digest);
  std::string key;
  MakeChunkKey(key, digest);
  return key;
}

// The name the service keeps a chunk's bytes under: the 40 hex digits of its
// SHA-1, in <data>/chunks/<first two digits>/.
inline std::string HexOf(const std::string& bytes) {
  Sha1State state;
  Sha1Start(state);
  Sha1Feed(state, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  uint8_t digest[kSha1DigestSize];
  Sha1Finish(state, digest);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (uint8_t b : digest) hex += {kHex[b >> 4], kHex[b & 15]};
  return hex;
}
inline std::string ChunkFileOf(const std::string& dataDir, const std::string& bytes) {
  const std::string hex = HexOf(bytes);
  return dataDir + "/chunks/" + hex.substr(0, 2) + "/" + hex;
}

inline std::vector<std::string> KeysOf(const std::string& bytes) {
  std::vector<std::string> keys;
  for (size_t offset = 0; offset < bytes.size(); offset += kChunk) keys.push_back(KeyOf(bytes.substr(offset, kChunk)));
  return keys;
}

inline std::string ChunkOf(const std::string& bytes, size_t index) { return bytes.substr(index * kChunk, kChunk); }

// The documents byte for byte as the library sends them.
inline std::string KeysJson(const std::vector<std::string>& keys) {
  std::string out = "[";
  for (size_t i = 0; i < keys.size(); ++i) out += (i ? ",\"" : "\"") + keys[i] + "\"";
  return out + "]";
}
inline std::string PrepareBody(const std::string& name, uint64_t size, const std::vector<std::string>& keys) {
  return "{\"chunkSize\":4194304,\"fileSize\":\"" + std::to_string(size) + "\",\"keys\":" + KeysJson(keys) +
         ",\"path\":\"home/" + name + "\"}\n";
}
inline std::string CommitBody(const std::string& name, uint64_t size, const std::vector<std::string>& keys,
                              const std::string& editTime = "12623040000000000") {
  return "{\"chunkSize\":4194304,\"editTime\":\"" + editTime + "\",\"fileSize\":\"" + std::to_string(size) +
         "\",\"keys\":" + KeysJson(keys) + ",\"mimeType\":\"application/x-msdownload\",\"path\":\"home/" + name +
         "\"}\n";
}

inline Json::Value ParseJson(const std::string& text) {
  Json::Value v;
  Json::CharReaderBuilder builder;
  std::string errors;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  if (!reader->parse(text.data(), text.data() + text.size(), &v, &errors)) return Json::Value();
  return v;
}

struct Exchange {
  long status = 0;
  Json::Value reply;
};
inline Exchange Prepare(const ServiceProcess& s, const std::string& name, const std::string& bytes) {
  Exchange e;
  e.reply = ParseJson(s.Post("/anonymous/prepare_put", PrepareBody(name, bytes.size(), KeysOf(bytes)), &e.status));
  return e;
}
inline Exchange Commit(const ServiceProcess& s, const std::string& name, const std::string& bytes) {
  Exchange e;
  e.reply = ParseJson(s.Post("/anonymous/commit_put", CommitBody(name, bytes.size(), KeysOf(bytes)), &e.status));
  return e;
}
inline std::vector<int> RequiredIndexes(const Json::Value& reply) {
  std::vector<int> out;
  for (const auto& item : reply["required"]) out.push_back(item["index"].asInt());
  return out;
}

// prepare, PUT every required chunk, commit; the result URL, or "" on failure.
inline std::string UploadWhole(const ServiceProcess& s, const std::string& name, const std::string& bytes) {
  Exchange prepared = Prepare(s, name, bytes);
  if (prepared.status == 409) return prepared.reply["url"].asString();
  EXPECT_EQ(prepared.status, 200) << name;
  for (const auto& item : prepared.reply["required"]) {
    long status = 0;
    s.Put(item["url"].asString(), ChunkOf(bytes, item["index"].asUInt()), &status);
    EXPECT_EQ(status, 200) << name << " chunk " << item["index"].asInt();
  }
  Exchange committed = Commit(s, name, bytes);
  EXPECT_EQ(committed.status, 200) << name;
  return committed.reply["url"].asString();
}

// Runs chunkup-service with args to its end (at most 30 s, then it is
// killed): its exit code (124 when it had to be stopped) and everything it printed.
struct RunResult {
  int exitCode = -1;
  std::string output;
};
inline RunResult RunService(const std::vector<std::string>& args) {
  std::string command = "timeout -s KILL 30 '" CHUNKUP_SERVICE_BINARY "'";
  for (const auto& a : args) command += " '" + a + "'";
  command += " 2>&1 </dev/null";
  RunResult r;
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return r;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) r.output.append(buffer, n);
  int status = ::pclose(p);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (r.exitCode == 128 + 9 || r.exitCode == 137) r.exitCode = 124;
  return r;
}

// Sends the request head and the first part of a chunk body over a plain
// socket, then stops sending: the service is left in the middle of the body.
class HalfSentPut {
 public:
  HalfSentPut(int port, const std::string& target, const std::string& body, size_t sendBytes) {
    m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return;
    std::string head = "PUT " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/octet-stream\r\n" +
                       "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    m_ok = SendAll(head) && SendAll(body.substr(0, sendBytes));
  }
  ~HalfSentPut() {
    if (m_fd >= 0) ::close(m_fd);
  }
  bool ok() const { return m_ok; }

 private:
  bool SendAll(const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
      ssize_t n = ::send(m_fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += size_t(n);
    }
    return true;
  }
  int m_fd = -1;
  bool m_ok = false;
};

}  // namespace chunkup::testing

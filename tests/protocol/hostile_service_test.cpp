// A whole upload through the real library and libcurl against a service that
// misbehaves in one request: it cuts replies short, sends no status line,
// never stops sending, drips, answers 200 with garbage, or lists chunks no
// sane service would. Every row must end in its documented state within the
// harness's bounded wait, with bounded memory, and with the local file
// untouched; the sanitizer builds add "and without a memory error".
//
// The bytes come from a hand-written loopback server because no real server
// sends them. Requests of the other phases get the answers a sound service
// would give, including a commit refused while the chunk has not arrived.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <random>
#include <sstream>
#include <string>

#include "task/file_task.h"
#include "tests/http/loopback_server.h"
#include "tests/protocol/upload_harness.h"
#include "tests/support/fake_platform.h"
#include "tests/support/temp_dir.h"

namespace chunkup::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// One chunk: every row is about one request of each kind.
constexpr size_t kFileSize = 256 * 1024;

enum class Phase { kPrepare, kChunk, kCommit };

struct Fault {
  std::string name;
  Phase phase;
  // The hostile reply; `base` is the server's "http://127.0.0.1:port" and
  // `folder` the local folder that holds the file being uploaded.
  std::function<CannedReply(const std::string& base, const std::string& folder)> reply;
  int32_t state;     // the state the upload must end in
  int puts = -1;     // chunk PUTs the server must see; -1: any number
  size_t bodyReadLimit = SIZE_MAX;  // stop reading request bodies after this many bytes
};

void PrintTo(const Fault& fault, std::ostream* out) { *out << fault.name; }

std::string Json200(const std::string& body) { return HttpReply(200, "OK", body); }

CannedReply Bytes(std::string bytes) { return CannedReply{std::move(bytes)}; }

// A reply head announcing more body than follows, then the connection ends.
CannedReply CutShort(const std::string& start) {
  return Bytes("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\nConnection: close\r\n\r\n" + start);
}

CannedReply Endless(const std::string& head, const std::string& filler) {
  CannedReply reply{head};
  reply.endless = filler;
  return reply;
}

CannedReply Drip(const std::string& bytes) {
  CannedReply reply{bytes};
  reply.pace = milliseconds(1000);
  return reply;
}

// The same bytes on every run, so a failing row can be replayed.
std::string Garbage(size_t size) {
  std::mt19937 generator(11);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator());
  return bytes;
}

const std::string kEndlessBody = std::string(65536, 'x');
const std::string kEndlessHeaders = "X-Filler: " + std::string(1000, 'h') + "\r\n";
const std::string kChunkedHead = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n";

std::string RequiredList(const std::string& entries) { return "{\"required\":[" + entries + "]}"; }

Fault IndexFault(const std::string& index) {
  return {"prepare: required index " + index, Phase::kPrepare,
          [index](const std::string& base, const std::string&) {
            return Bytes(Json200(RequiredList("{\"index\":" + index + ",\"url\":\"" + base + "/chunks/0\"}")));
          },
          UPLOAD_STATE_REFUSED, 0};
}

std::vector<Fault> QuickFaults() {
  std::vector<Fault> faults = {
      {"prepare: connection closed mid-body", Phase::kPrepare,
       [](const std::string&, const std::string&) { return CutShort("{\"requ"); }, UPLOAD_STATE_FAILED, 0},
      {"prepare: Content-Length of 1 TB, then closed", Phase::kPrepare,
       [](const std::string&, const std::string&) {
         return Bytes("HTTP/1.1 200 OK\r\nContent-Length: 1099511627776\r\n\r\n{\"required\":[]}");
       },
       UPLOAD_STATE_FAILED, 0},
      {"prepare: no status line", Phase::kPrepare,
       [](const std::string&, const std::string&) { return Bytes("{\"required\":[]}\r\n"); }, UPLOAD_STATE_FAILED, 0},
      {"prepare: status line without a reason phrase", Phase::kPrepare,
       [](const std::string&, const std::string&) { return Bytes("HTTP/1.1 200\r\nContent-Length: 2\r\n\r\n{}"); },
       UPLOAD_STATE_FAILED, 0},
      {"prepare: endless body", Phase::kPrepare,
       [](const std::string&, const std::string&) { return Endless(kChunkedHead, kEndlessBody); },
       UPLOAD_STATE_FAILED, 0},
      {"prepare: endless headers", Phase::kPrepare,
       [](const std::string&, const std::string&) { return Endless("HTTP/1.1 200 OK\r\n", kEndlessHeaders); },
       UPLOAD_STATE_FAILED, 0},
      {"prepare: endless interim 100 replies", Phase::kPrepare,
       [](const std::string&, const std::string&) { return Endless("", "HTTP/1.1 100 Continue\r\n\r\n"); },
       UPLOAD_STATE_FAILED, 0},
      // Ends at the 30 s limit of a JSON request, not after the whole reply.
      {"prepare: drip of one byte a second", Phase::kPrepare,
       [](const std::string&, const std::string&) { return Drip(Json200(RequiredList(""))); }, UPLOAD_STATE_TIMEOUT, 0},
      // The garbage is no JSON, so no chunk is listed; the commit that follows
      // is refused because the chunk never arrived.
      {"prepare: 200 with garbage", Phase::kPrepare,
       [](const std::string&, const std::string&) { return Bytes(Json200(Garbage(4096))); }, UPLOAD_STATE_REFUSED, 0},
      // 3.9 MB, under the library's 4 MiB reply limit, so the list itself
      // arrives; "127.1" is 127.0.0.1 written short enough for that.
      {"prepare: 100,000 required entries", Phase::kPrepare,
       [](const std::string& base, const std::string&) {
         const std::string entry = "{\"index\":0,\"url\":\"http://127.1" + base.substr(base.rfind(':')) + "\"}";
         std::string entries;
         entries.reserve(100000 * (entry.size() + 1));
         for (int i = 0; i < 100000; ++i) entries += (i ? "," : "") + entry;
         return Bytes(Json200(RequiredList(entries)));
       },
       UPLOAD_STATE_FAILED, 0},
      {"prepare: chunk URL of 100 KiB", Phase::kPrepare,
       [](const std::string& base, const std::string&) {
         const std::string url = base + "/chunks/0?pad=" + std::string(100 * 1024, 'a');
         return Bytes(Json200(RequiredList("{\"index\":0,\"url\":\"" + url + "\"}")));
       },
       UPLOAD_STATE_OK, 1},
      // Nothing from the network names a local file or speaks another
      // protocol: a chunk URL of any scheme but http and https is a failed
      // attempt that opens nothing and sends nothing, so the chunk fails.
      {"prepare: chunk URL file:// naming the file being uploaded", Phase::kPrepare,
       [](const std::string&, const std::string& folder) {
         return Bytes(Json200(RequiredList("{\"index\":0,\"url\":\"file://" + folder + "/hostile.bin\"}")));
       },
       UPLOAD_STATE_TRANSFER_FAILED, 0},
      {"prepare: chunk URL file:// naming a new local file", Phase::kPrepare,
       [](const std::string&, const std::string& folder) {
         return Bytes(Json200(RequiredList("{\"index\":0,\"url\":\"file://" + folder + "/planted.bin\"}")));
       },
       UPLOAD_STATE_TRANSFER_FAILED, 0},
      {"prepare: chunk URL ftp:// to the server", Phase::kPrepare,
       [](const std::string& base, const std::string&) {
         return Bytes(Json200(RequiredList("{\"index\":0,\"url\":\"ftp" + base.substr(4) + "/chunks/0\"}")));
       },
       UPLOAD_STATE_TRANSFER_FAILED, 0},
      {"prepare: chunk URL dict:// to the server", Phase::kPrepare,
       [](const std::string& base, const std::string&) {
         return Bytes(Json200(RequiredList("{\"index\":0,\"url\":\"dict" + base.substr(4) + "/d:chunk\"}")));
       },
       UPLOAD_STATE_TRANSFER_FAILED, 0},
      {"prepare: 409 with a result URL of 100 KiB", Phase::kPrepare,
       [](const std::string& base, const std::string&) {
         return Bytes(HttpReply(409, "Conflict",
                                "{\"url\":\"" + base + "/f/" + std::string(100 * 1024, 'u') + "\",\"linkid\":\"" +
                                    std::string(100 * 1024, 'l') + "\"}"));
       },
       UPLOAD_STATE_OK, 0},

      {"chunk PUT: connection closed mid-body", Phase::kChunk,
       [](const std::string&, const std::string&) { return CutShort("{\"ke"); }, UPLOAD_STATE_FAILED, 6},
      {"chunk PUT: connection closed while the chunk is sent", Phase::kChunk,
       [](const std::string&, const std::string&) { return CannedReply{}; }, UPLOAD_STATE_FAILED, 6, 16 * 1024},
      {"chunk PUT: no status line", Phase::kChunk,
       [](const std::string&, const std::string&) { return Bytes("stored\r\n"); }, UPLOAD_STATE_FAILED, 6},
      {"chunk PUT: endless body", Phase::kChunk,
       [](const std::string&, const std::string&) { return Endless(kChunkedHead, kEndlessBody); },
       UPLOAD_STATE_FAILED, 6},
      {"chunk PUT: 200 with garbage", Phase::kChunk,
       [](const std::string&, const std::string&) { return Bytes(Json200(Garbage(4096))); }, UPLOAD_STATE_OK, 1},

      {"commit: connection closed mid-body", Phase::kCommit,
       [](const std::string&, const std::string&) { return CutShort("{\"url"); }, UPLOAD_STATE_FAILED, 1},
      {"commit: no status line", Phase::kCommit,
       [](const std::string&, const std::string&) { return Bytes("{\"url\":\"http://127.0.0.1/f/x\"}"); },
       UPLOAD_STATE_FAILED, 1},
      {"commit: endless body", Phase::kCommit,
       [](const std::string&, const std::string&) { return Endless(kChunkedHead, kEndlessBody); },
       UPLOAD_STATE_FAILED, 1},
      // A 200 is the service's word that it stored the file, even when the
      // body carries no URL.
      {"commit: 200 with garbage", Phase::kCommit,
       [](const std::string&, const std::string&) { return Bytes(Json200(Garbage(4096))); }, UPLOAD_STATE_OK, 1},
      {"commit: result URL of 100 KiB", Phase::kCommit,
       [](const std::string& base, const std::string&) {
         return Bytes(Json200("{\"url\":\"" + base + "/f/" + std::string(100 * 1024, 'u') + "\"}"));
       },
       UPLOAD_STATE_OK, 1},
  };
  for (const char* index : {"-1", "-2147483648", "1", "2147483647", "4294967296", "9223372036854775807",
                            "-9223372036854775808", "18446744073709551615", "1e308", "0.5", "\"0\"", "null"}) {
    faults.push_back(IndexFault(index));
  }
  return faults;
}

// These wait out the transport's 30 s limit on every one of six attempts, or
// on a request that never gets a byte.
std::vector<Fault> SlowFaults() {
  return {
      {"prepare: silent", Phase::kPrepare,
       [](const std::string&, const std::string&) {
         CannedReply reply;
         reply.silent = true;
         return reply;
       },
       UPLOAD_STATE_TIMEOUT, 0},
      // A chunk PUT has no total time limit, only the 512 B/s-for-300 s floor;
      // this server gives up on a connection after 40 s, so each attempt ends
      // as a reply cut short and the sixth failure ends the upload.
      {"chunk PUT: drip of one byte a second", Phase::kChunk,
       [](const std::string&, const std::string&) { return Drip(Json200("{}")); }, UPLOAD_STATE_FAILED, 6},
      {"commit: drip of one byte a second", Phase::kCommit,
       [](const std::string& base, const std::string&) { return Drip(Json200("{\"url\":\"" + base + "/f/x\"}")); },
       UPLOAD_STATE_TIMEOUT, 1},
  };
}

// The process's peak resident set so far, in KiB.
int64_t PeakRssKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stoll(line.substr(6));
  }
  return 0;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

class HostileService : public ::testing::TestWithParam<Fault> {
 protected:
  FakePlatform platform;
  TempDir dir;
};

TEST_P(HostileService, UploadEndsInItsDocumentedStateWithTheFileUnchanged) {
  const Fault& fault = GetParam();
  const std::string bytes = RandomBytes(kFileSize);
  const std::string path = dir.WriteFile("hostile.bin", bytes);

  std::atomic<int> puts{0};
  std::atomic<int> storedPuts{0};
  std::string base;  // set before the upload starts, read by the handler afterwards
  LoopbackServer server([&](const CapturedRequest& request) -> CannedReply {
    const std::string line = request.RequestLine();
    Phase phase;
    if (line.rfind("POST /anonymous/prepare_put ", 0) == 0) {
      phase = Phase::kPrepare;
    } else if (line.rfind("POST /anonymous/commit_put ", 0) == 0) {
      phase = Phase::kCommit;
    } else if (line.rfind("PUT ", 0) == 0) {
      phase = Phase::kChunk;
      ++puts;
      // A whole chunk arrived: the service has it, whatever it answers.
      if (request.complete && request.body.size() == kFileSize) ++storedPuts;
    } else {
      return Bytes(Json200("{}"));  // the completion reports
    }
    if (phase == fault.phase) return fault.reply(base, dir.path().string());
    switch (phase) {
      case Phase::kPrepare:
        return Bytes(Json200(RequiredList("{\"index\":0,\"url\":\"" + base + "/chunks/0\"}")));
      case Phase::kChunk:
        if (!request.complete || request.body.size() != kFileSize) return Bytes(HttpReply(400, "Bad Request", "{}"));
        return Bytes(Json200("{}"));
      case Phase::kCommit:
        // As the real service does: no commit before every chunk is stored.
        if (storedPuts == 0) return Bytes(HttpReply(400, "Bad Request", "{\"error\":\"missing chunks\"}"));
        return Bytes(Json200("{\"url\":\"" + base + "/f/ok\"}"));
    }
    return CannedReply{};
  });
  base = server.Url("");
  server.SetBodyReadLimit(fault.bodyReadLimit);

  const int64_t peakBefore = PeakRssKiB();
  const auto start = std::chrono::steady_clock::now();
  UploadInfo info{};
  {
    TaskRun run(platform, Endpoints{"127.0.0.1:" + std::to_string(server.port()), base}, path);
    // Six attempts at the 30 s limit fit with room to spare.
    ASSERT_TRUE(run.Wait(seconds(400))) << "the upload did not end";
    ASSERT_EQ(run.task().FillInfo(&info), 0);
  }
  const auto elapsed = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start);
  const int64_t peakGrowthMiB = (PeakRssKiB() - peakBefore) / 1024;

  // The outcome, for the table of hostile inputs in the notes.
  std::cout << "[ outcome  ] " << fault.name << " | state " << info.state << " | PUTs "
            << puts.load() << " | " << elapsed.count() << " ms | peak RSS +" << peakGrowthMiB << " MiB\n";

  EXPECT_EQ(info.state, fault.state);
  if (fault.puts >= 0) {
    EXPECT_EQ(puts.load(), fault.puts);
  }
  // Generous: what matters is that nothing grows with what the server sends.
  EXPECT_LT(peakGrowthMiB, 256);
  // The host's file is only ever read, and nothing is written beside it.
  EXPECT_TRUE(ReadWholeFile(path) == bytes) << "the local file changed";
  std::vector<std::string> entries;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    entries.push_back(entry.path().filename().string());
  EXPECT_EQ(entries, std::vector<std::string>{"hostile.bin"});
  // Whatever the service sent, the URL slot stays terminated inside itself.
  EXPECT_LT(std::char_traits<char16_t>::length(reinterpret_cast<const char16_t*>(info.url)), 256u);
}

std::string RowName(const ::testing::TestParamInfo<Fault>& info) {
  const std::string& text = info.param.name;
  std::string name;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool digitNext = i + 1 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '9';
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
      name += c;
    } else if ((c == '-' || c == '.') && digitNext) {
      name += c == '-' ? "minus" : "point";  // keeps "-1" apart from "1", "0.5" from "05"
    } else if (c == '"') {
      name += "quoted";
    } else if (!name.empty() && name.back() != '_') {
      name += '_';
    }
  }
  while (!name.empty() && name.back() == '_') name.pop_back();
  return name;
}

INSTANTIATE_TEST_SUITE_P(Quick, HostileService, ::testing::ValuesIn(QuickFaults()), RowName);
INSTANTIATE_TEST_SUITE_P(Slow, HostileService, ::testing::ValuesIn(SlowFaults()), RowName);

}  // namespace
}  // namespace chunkup::testing

// The transport against a loopback server that records the exact request
// bytes and answers with canned bytes.
#include "http/transport.h"
#include "tests/http/post_status.h"

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/writer.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "http/shared_dns_cache.h"
#include "tests/http/env_guard.h"
#include "tests/http/loopback_server.h"
#include "tests/http/test_callback.h"

namespace chunkup {
namespace {

using testing::CannedReply;
using testing::CapturedRequest;
using testing::EnvGuard;
using testing::EnvValue;
using testing::HttpReply;
using testing::LoopbackServer;
using testing::TestCallback;
using Clock = std::chrono::steady_clock;

const char* const kVariables[] = {"CURL_RESHARE_HANDLE", "CURL_USERAGENT", "CURL_UPLOAD_SPEEDLIMIT",
                                  "CURL_DOWNLOAD_SPEEDLIMIT"};

// Every test starts with none of the transport's variables set, whatever the
// environment of the test run holds.
class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kVariables) m_cleared.push_back(std::make_unique<EnvGuard>(name, std::nullopt));
  }
  std::vector<std::unique_ptr<EnvGuard>> m_cleared;
};

std::string PseudoRandomBytes(size_t size) {
  std::string bytes(size, '\0');
  uint32_t state = 0x12345678u;
  for (char& c : bytes) {
    state = state * 1664525u + 1013904223u;
    c = static_cast<char>(state >> 24);
  }
  return bytes;
}

struct PutOutcome {
  CURLcode code;
  int status;
  double seconds;
};

PutOutcome Put(const std::string& url, const std::string& data, UploadSource& source, ITskCallBack* callback) {
  source.data = data.data();
  source.offset = 0;
  source.remaining = static_cast<uint32_t>(data.size());
  source.goOn = 1;
  source.callback = callback;
  std::unique_ptr<const char*[], void (*)(HeaderList)> headers(
      MakeHeaderList(kContentTypeHeader, kNoExpectHeader, kKeepAliveHeader), FreeHeaderList);
  ByteBuffer body, headerText;
  const auto start = Clock::now();
  CURLcode code = PerformPut(headers.get(), body, url.c_str(), source, headerText);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return {code, ParseHttpStatus(headerText.data(), headerText.data() + headerText.size()), seconds};
}

// --- pieces without a network ---

TEST(HeaderList, KeepsPresentLinesInOrderAndIsNullWhenEmpty) {
  struct Case {
    const char* first;
    const char* second;
    const char* third;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"A: 1", "B: 2", "C: 3", {"A: 1", "B: 2", "C: 3"}},
      {nullptr, "B: 2", nullptr, {"B: 2"}},
      {"A: 1", nullptr, "C: 3", {"A: 1", "C: 3"}},
  };
  for (const Case& c : cases) {
    HeaderList list = MakeHeaderList(c.first, c.second, c.third);
    ASSERT_NE(list, nullptr);
    std::vector<std::string> lines;
    for (HeaderList line = list; *line; ++line) lines.emplace_back(*line);
    EXPECT_EQ(lines, c.expected);
    FreeHeaderList(list);
  }
  EXPECT_EQ(MakeHeaderList(nullptr, nullptr, nullptr), nullptr);
}

TEST(AppendBytes, RefusesToGrowPastTheCap) {
  ByteBuffer buffer(kMaxReplyBytes - 2, 'x');
  char bytes[] = "abc";
  EXPECT_EQ(AppendBytes(bytes, 1, 2, &buffer), 2u);
  EXPECT_EQ(buffer.size(), kMaxReplyBytes);
  EXPECT_EQ(AppendBytes(bytes, 1, 1, &buffer), 0u);  // libcurl turns a short count into CURLE_WRITE_ERROR
  EXPECT_EQ(buffer.size(), kMaxReplyBytes);
  EXPECT_EQ(AppendBytes(bytes, 1, 0, &buffer), 0u);
}

TEST(ParseHttpStatus, ReadsTheFinalStatusOutOfHeaderText) {
  struct Case {
    const char* name;
    std::string text;
    int expected;
  };
  const Case cases[] = {
      {"plain 200", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n", 200},
      {"interim 100 skipped", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\n", 200},
      {"409 with reason", "HTTP/1.1 409 Conflict\r\n\r\n", 409},
      {"several spaces", "HTTP/1.1   503 Busy\r\n", 503},
      {"digits then line end", "HTTP/1.1 200\r\nContent-Length: 2\r\n\r\n", -1},
      {"later line qualifies", "HTTP/1.1 200\r\nX-Code: 204 later\r\n", 204},
      {"only interim", "HTTP/1.1 100 Continue\r\n\r\n", -1},
      {"empty", "", -1},
      {"no space at all", "garbage", -1},
      {"no digits", "HTTP/1.1 OK fine\r\n", -1},
      {"overlong number", "HTTP/1.1 99999999999999999999 x\r\n", -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseHttpStatus(c.text.data(), c.text.data() + c.text.size()), c.expected) << c.name;
  }
  EXPECT_EQ(ParseHttpStatus(nullptr, nullptr), -1);
}

TEST(ParseJsonReply, AcceptsOnlyStrictObjectsAndArrays) {
  struct Case {
    const char* name;
    std::string body;
    bool parses;
  };
  const Case cases[] = {
      {"object", R"({"url":"x","linkid":"y"})", true},
      {"array", "[1,2]", true},
      {"null", "null", false},
      {"bare string", R"("text")", false},
      {"invalid", R"({"a":)", false},
      {"leading comment", "// note\n{}", false},
      {"empty", "", false},
      {"nested too deep", std::string(200000, '['), false},
  };
  for (const Case& c : cases) {
    ByteBuffer body(c.body.begin(), c.body.end());
    Json::Value reply;
    EXPECT_EQ(ParseJsonReply(body, reply), c.parses) << c.name;
  }

  // A failed parse leaves what the reader read.
  Json::Value reply(Json::objectValue);
  reply["old"] = 1;
  ByteBuffer text{'"', 'h', 'i', '"'};
  EXPECT_FALSE(ParseJsonReply(text, reply));
  EXPECT_EQ(reply, Json::Value("hi"));
  ByteBuffer null{'n', 'u', 'l', 'l'};
  EXPECT_FALSE(ParseJsonReply(null, reply));
  EXPECT_TRUE(reply.isNull());
}

// --- what goes on the wire ---

TEST_F(TransportTest, PostSendsTheStandardHeadersAndTheCompactJsonText) {
  // The second body is past the size at which libcurl would otherwise ask for
  // "Expect: 100-continue".
  Json::Value small(Json::objectValue);
  small["path"] = "/a b";
  small["keys"].append("k1");
  small["chunkSize"] = 4194304;
  Json::Value large(Json::objectValue);
  large["blob"] = std::string(1200000, 'z');

  for (const Json::Value* request : {&small, &large}) {
    LoopbackServer server(CannedReply{HttpReply(200, "OK", "{}")});
    Json::Value reply;
    ASSERT_EQ(testing::PostStatus(server.Url("/anonymous/prepare_put?x=1").c_str(), reply, *request), 200);
    ASSERT_TRUE(server.WaitForRequests(1));
    const CapturedRequest sent = server.Requests().at(0);

    EXPECT_EQ(sent.RequestLine(), "POST /anonymous/prepare_put?x=1 HTTP/1.1");
    const std::vector<std::string> names = sent.HeaderNames();
    EXPECT_EQ(names, (std::vector<std::string>{"Host", "Accept", "Content-Type", "Connection", "Content-Length"}));
    EXPECT_EQ(sent.Header("Content-Type"), "application/octet-stream");
    EXPECT_EQ(sent.Header("Connection"), "Keep-Alive");
    EXPECT_FALSE(sent.HasHeader("Expect"));
    EXPECT_FALSE(sent.HasHeader("User-Agent"));

    Json::FastWriter writer;
    const std::string expected = writer.write(*request);
    ASSERT_EQ(expected.back(), '\n');
    EXPECT_TRUE(sent.complete);
    EXPECT_EQ(sent.body, expected);
    EXPECT_EQ(sent.Header("Content-Length"), std::to_string(expected.size()));
  }
  // Members go out in key order.
  Json::FastWriter writer;
  EXPECT_EQ(writer.write(small), "{\"chunkSize\":4194304,\"keys\":[\"k1\"],\"path\":\"/a b\"}\n");
}

TEST_F(TransportTest, UserAgentOnlyWhenTheVariableIsNonEmpty) {
  struct Case {
    std::optional<std::string> value;
    std::optional<std::string> expected;
  };
  const Case cases[] = {{std::nullopt, std::nullopt}, {"", std::nullopt}, {"uploader/2.1 (test)", "uploader/2.1 (test)"}};
  for (const Case& c : cases) {
    EnvGuard agent("CURL_USERAGENT", c.value);
    LoopbackServer server(CannedReply{HttpReply(200, "OK", "{}")});
    Json::Value reply;
    ASSERT_EQ(testing::PostStatus(server.Url("/p").c_str(), reply, Json::Value(Json::objectValue)), 200);
    std::string data = "chunk";
    UploadSource source;
    ASSERT_EQ(Put(server.Url("/c").c_str(), data, source, nullptr).status, 200);
    ASSERT_TRUE(server.WaitForRequests(2));
    for (const CapturedRequest& sent : server.Requests()) {
      EXPECT_EQ(sent.HasHeader("User-Agent"), c.expected.has_value()) << sent.RequestLine();
      if (c.expected) {
        EXPECT_EQ(sent.Header("User-Agent"), *c.expected);
      }
    }
  }
}

TEST_F(TransportTest, PutSendsTheChunkBytesAndCountsProgress) {
  const std::string data = PseudoRandomBytes(1536 * 1024);  // past libcurl's 100-continue threshold
  LoopbackServer server(CannedReply{HttpReply(201, "Created", "ignored")});
  TestCallback callback;
  UploadSource source;
  const PutOutcome outcome = Put(server.Url("/chunk/7"), data, source, &callback);
  ASSERT_EQ(outcome.code, CURLE_OK);
  EXPECT_EQ(outcome.status, 201);
  EXPECT_EQ(source.remaining, 0u);
  EXPECT_EQ(source.offset, data.size());
  EXPECT_EQ(source.goOn, 1);
  EXPECT_EQ(callback.progress(), static_cast<int64_t>(data.size()));
  EXPECT_GE(callback.cancelQuestions(), callback.progressCalls());

  ASSERT_TRUE(server.WaitForRequests(1));
  const CapturedRequest sent = server.Requests().at(0);
  EXPECT_EQ(sent.RequestLine(), "PUT /chunk/7 HTTP/1.1");
  EXPECT_EQ(sent.HeaderNames(),
            (std::vector<std::string>{"Host", "Accept", "Content-Type", "Connection", "Content-Length"}));
  EXPECT_EQ(sent.Header("Content-Length"), std::to_string(data.size()));
  EXPECT_FALSE(sent.HasHeader("Expect"));
  EXPECT_TRUE(sent.body == data);
}

TEST_F(TransportTest, ZeroLengthPutSendsAnEmptyBody) {
  LoopbackServer server(CannedReply{HttpReply(200, "OK", "")});
  TestCallback callback;
  UploadSource source;
  const PutOutcome outcome = Put(server.Url("/empty"), "", source, &callback);
  EXPECT_EQ(outcome.code, CURLE_OK);
  EXPECT_EQ(outcome.status, 200);
  EXPECT_EQ(callback.progress(), 0);
  EXPECT_EQ(source.goOn, 1);
  ASSERT_TRUE(server.WaitForRequests(1));
  const CapturedRequest sent = server.Requests().at(0);
  EXPECT_EQ(sent.Header("Content-Length"), "0");
  EXPECT_TRUE(sent.body.empty());
}

TEST_F(TransportTest, PostWithoutABodyPointerSendsAnEmptyBody) {
  // libcurl would otherwise read the body from standard input.
  LoopbackServer server(CannedReply{HttpReply(200, "OK", "{}")});
  ByteBuffer body, headerText;
  EXPECT_EQ(PerformPost(nullptr, body, server.Url("/x").c_str(), nullptr, 0, headerText), CURLE_OK);
  EXPECT_EQ(ParseHttpStatus(headerText.data(), headerText.data() + headerText.size()), 200);
  ASSERT_TRUE(server.WaitForRequests(1));
  EXPECT_EQ(server.Requests().at(0).Header("Content-Length"), "0");
  EXPECT_EQ(PerformPost(nullptr, body, server.Url("/x").c_str(), nullptr, 5, headerText), CURLE_BAD_FUNCTION_ARGUMENT);
}

TEST_F(TransportTest, CancelBeforeTheFirstPieceSendsNoBody) {
  const std::string data = PseudoRandomBytes(300000);
  LoopbackServer server(CannedReply{HttpReply(200, "OK", "")});
  TestCallback callback(0);
  UploadSource source;
  const PutOutcome outcome = Put(server.Url("/c"), data, source, &callback);
  EXPECT_EQ(outcome.code, CURLE_ABORTED_BY_CALLBACK);
  EXPECT_EQ(source.remaining, data.size());
  EXPECT_EQ(source.offset, 0u);
  EXPECT_EQ(source.goOn, 0);
  EXPECT_EQ(callback.progress(), 0);
  ASSERT_TRUE(server.WaitForRequests(1));
  EXPECT_TRUE(server.Requests().at(0).body.empty());
}

TEST_F(TransportTest, CancelMidwayStopsAtTheNextPiece) {
  const std::string data = PseudoRandomBytes(2 * 1024 * 1024);
  LoopbackServer server(CannedReply{HttpReply(200, "OK", "")});
  TestCallback callback(3);
  UploadSource source;
  const PutOutcome outcome = Put(server.Url("/c"), data, source, &callback);
  EXPECT_EQ(outcome.code, CURLE_ABORTED_BY_CALLBACK);
  EXPECT_EQ(source.goOn, 0);
  EXPECT_EQ(callback.progressCalls(), 3);
  EXPECT_GT(callback.progress(), 0);
  EXPECT_EQ(source.offset, callback.progress());
  EXPECT_EQ(source.remaining, data.size() - source.offset);
  ASSERT_TRUE(server.WaitForRequests(1));
  const CapturedRequest sent = server.Requests().at(0);
  EXPECT_FALSE(sent.complete);
  EXPECT_LE(sent.body.size(), source.offset);
  EXPECT_TRUE(sent.body == data.substr(0, sent.body.size()));

  // A source already stopped is not sent at all.
  TestCallback untouched;
  source.data = data.data();
  source.remaining = 10;
  source.offset = 0;
  source.goOn = 0;
  source.callback = &untouched;
  char target[16];
  EXPECT_EQ(ReadUploadSource(target, 1, sizeof target, &source), size_t{CURL_READFUNC_ABORT});
  EXPECT_EQ(untouched.cancelQuestions(), 0);
}

// --- what comes back ---

TEST_F(TransportTest, PostResultFollowsTheReply) {
  constexpr int kAnyCurlError = -1000;
  struct Case {
    const char* name;
    std::string reply;
    int expected;
    // What `reply` holds afterwards; "untouched" means the sentinel is still there.
    std::string replyAfter;
  };
  const std::string big(kMaxReplyBytes + 1, ' ');
  const Case cases[] = {
      {"200 object", HttpReply(200, "OK", R"({"url":"http://x/1"})"), 200, R"({"url":"http://x/1"})"},
      {"409 with reason, body parsed", HttpReply(409, "Conflict", R"({"linkid":"L"})"), 409, R"({"linkid":"L"})"},
      {"server error is a status", HttpReply(500, "Internal Server Error", "oops"), 500, "untouched"},
      {"interim 100 first", "HTTP/1.1 100 Continue\r\n\r\n" + HttpReply(200, "OK", "[3]"), 200, "[3]"},
      {"null body", HttpReply(200, "OK", "null"), 200, "null"},
      {"bare string body", HttpReply(200, "OK", R"("just text")"), 200, R"("just text")"},
      {"invalid body", HttpReply(200, "OK", "{not json"), 200, ""},
      {"no space after the code", "HTTP/1.1 200\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}", -1, "untouched"},
      {"no status line", "hello there\r\n\r\n{}", kAnyCurlError, "untouched"},
      {"closed mid-body", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"a\":", CURLE_PARTIAL_FILE, "untouched"},
      {"body past the cap", HttpReply(200, "OK", big), CURLE_WRITE_ERROR, "untouched"},
  };
  for (const Case& c : cases) {
    LoopbackServer server(CannedReply{c.reply});
    Json::Value reply(Json::objectValue);
    reply["sentinel"] = true;
    const int result = testing::PostStatus(server.Url("/x").c_str(), reply, Json::Value(Json::objectValue));
    if (c.expected == kAnyCurlError) {
      EXPECT_GT(result, 0) << c.name;  // some libcurl error, whichever it names
      EXPECT_LT(result, 100) << c.name << " gave " << result;
    } else {
      EXPECT_EQ(result, c.expected) << c.name;
    }
    if (c.replyAfter == "untouched") {
      EXPECT_EQ(reply, [] {
        Json::Value v(Json::objectValue);
        v["sentinel"] = true;
        return v;
      }()) << c.name;
    } else if (!c.replyAfter.empty()) {
      Json::Value expected;
      Json::Reader().parse(c.replyAfter, expected);
      EXPECT_EQ(reply, expected) << c.name;
    }
  }
}

TEST_F(TransportTest, HeaderTextPastTheCapFailsTheRequest) {
  // Interim replies are collected too, so a server can pile up header text
  // across many of them even when each one is small.
  std::string interim = "HTTP/1.1 100 Continue\r\nX-Pad: " + std::string(8000, 'p') + "\r\n\r\n";
  std::string reply;
  while (reply.size() <= kMaxReplyBytes) reply += interim;
  reply += HttpReply(200, "OK", "{}");
  LoopbackServer server(CannedReply{reply});
  Json::Value result;
  const int code = testing::PostStatus(server.Url("/x").c_str(), result, Json::Value(Json::objectValue));
  // Newer libcurl builds refuse oversized reply headers on their own (a
  // receive error) before the transport's cap is reached; either way the
  // request fails and nothing is parsed.
  EXPECT_TRUE(code == CURLE_WRITE_ERROR || code == CURLE_RECV_ERROR) << code;
  EXPECT_TRUE(result.isNull());
}

TEST_F(TransportTest, NothingListeningIsACouldNotConnect) {
  std::string url;
  {
    LoopbackServer gone(CannedReply{});
    url = gone.Url("/x");
  }
  Json::Value reply;
  EXPECT_EQ(testing::PostStatus(url.c_str(), reply, Json::Value(Json::objectValue)), CURLE_COULDNT_CONNECT);
}

// --- settings from the environment ---

TEST_F(TransportTest, UploadSpeedLimitCapsPutsInKibPerSecond) {
  // 300 KiB at 100 KiB/s takes about three seconds; without a cap it takes
  // milliseconds. The bounds are loose on purpose.
  const std::string data = PseudoRandomBytes(300 * 1024);
  struct Case {
    std::optional<std::string> value;
    bool capped;
  };
  const Case cases[] = {{std::nullopt, false}, {"100", true}, {"100k", true}, {"0", false}, {"-5", false}, {"abc", false}};
  for (const Case& c : cases) {
    EnvGuard limit("CURL_UPLOAD_SPEEDLIMIT", c.value);
    LoopbackServer server(CannedReply{HttpReply(200, "OK", "")});
    UploadSource source;
    const PutOutcome outcome = Put(server.Url("/c"), data, source, nullptr);
    const std::string label = c.value.value_or("(unset)");
    ASSERT_EQ(outcome.code, CURLE_OK) << label;
    EXPECT_EQ(outcome.status, 200) << label;
    if (c.capped) {
      EXPECT_GT(outcome.seconds, 1.5) << label;
      EXPECT_LT(outcome.seconds, 15.0) << label;
    } else {
      EXPECT_LT(outcome.seconds, 1.5) << label;
    }
  }
}

TEST_F(TransportTest, SpeedLimitsLeavePostsAloneAndCapPutReplies) {
  const std::string payload = PseudoRandomBytes(3 * 1024 * 1024);
  {
    // POSTs are never capped, whatever the variables say.
    EnvGuard up("CURL_UPLOAD_SPEEDLIMIT", "100");
    EnvGuard down("CURL_DOWNLOAD_SPEEDLIMIT", "100");
    LoopbackServer server(CannedReply{HttpReply(200, "OK", "[" + std::string(300 * 1024, ' ') + "]")});
    Json::Value request(Json::objectValue);
    request["blob"] = std::string(300 * 1024, 'b');
    Json::Value reply;
    const auto start = Clock::now();
    EXPECT_EQ(testing::PostStatus(server.Url("/x").c_str(), reply, request), 200);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 1.5);
  }
  {
    // 3 MiB at 1000 KiB/s: about three seconds.
    EnvGuard down("CURL_DOWNLOAD_SPEEDLIMIT", "1000");
    LoopbackServer server(CannedReply{HttpReply(200, "OK", payload)});
    UploadSource source;
    const PutOutcome outcome = Put(server.Url("/c"), "x", source, nullptr);
    EXPECT_EQ(outcome.code, CURLE_OK);
    EXPECT_GT(outcome.seconds, 1.5);
  }
}

TEST_F(TransportTest, ReshareVariableRenewsTheCacheOnceOnlyWhenTrue) {
  LoopbackServer server([](const CapturedRequest&) { return CannedReply{HttpReply(200, "OK", "{}")}; });
  auto post = [&] {
    Json::Value reply;
    return testing::PostStatus(server.Url("/x").c_str(), reply, Json::Value(Json::objectValue));
  };
  auto put = [&] {
    UploadSource source;
    return Put(server.Url("/c"), "abc", source, nullptr).status;
  };
  ASSERT_EQ(post(), 200);  // the cache exists from here on

  struct Case {
    const char* value;
    bool renews;
  };
  const Case cases[] = {{"TRUE", true}, {"tRuE", true}, {"true", true}, {"1", false}, {"yes", false}, {"false", false}};
  for (const Case& c : cases) {
    for (bool usePut : {false, true}) {
      EnvGuard reshare("CURL_RESHARE_HANDLE", c.value);
      const uint64_t before = SharedDnsCacheGeneration();
      ASSERT_EQ(usePut ? put() : post(), 200);
      EXPECT_EQ(SharedDnsCacheGeneration(), before + (c.renews ? 1 : 0)) << c.value;
      if (c.renews) {
        EXPECT_FALSE(EnvValue("CURL_RESHARE_HANDLE").has_value()) << c.value;
      } else {
        EXPECT_EQ(EnvValue("CURL_RESHARE_HANDLE"), std::optional<std::string>(c.value));
      }
      // The next request keeps the cache it finds.
      const uint64_t after = SharedDnsCacheGeneration();
      ASSERT_EQ(post(), 200);
      EXPECT_EQ(SharedDnsCacheGeneration(), after) << c.value;
      EXPECT_EQ(LiveSharedDnsCacheCount(), 1u) << c.value;
    }
  }
}

TEST_F(TransportTest, RenewedCacheIsReleasedWhenItsLastRequestEnds) {
  // The first request is held at the server while the cache is renewed under it.
  std::mutex lock;
  std::condition_variable released;
  bool letGo = false;
  LoopbackServer server([&](const CapturedRequest& request) {
    if (request.RequestLine().find("/held") != std::string::npos) {
      std::unique_lock<std::mutex> guard(lock);
      released.wait_for(guard, std::chrono::seconds(20), [&] { return letGo; });
    }
    return CannedReply{HttpReply(200, "OK", "{}")};
  });

  Json::Value warmUp;
  ASSERT_EQ(testing::PostStatus(server.Url("/warm").c_str(), warmUp, Json::Value(Json::objectValue)), 200);
  ASSERT_EQ(LiveSharedDnsCacheCount(), 1u);

  int heldResult = 0;
  std::thread held([&] {
    Json::Value reply;
    heldResult = testing::PostStatus(server.Url("/held").c_str(), reply, Json::Value(Json::objectValue));
  });
  auto releaseHeld = [&] {
    {
      std::lock_guard<std::mutex> guard(lock);
      letGo = true;
    }
    released.notify_all();
    if (held.joinable()) held.join();
  };
  struct Finally {
    std::function<void()> run;
    ~Finally() { run(); }
  } finally{releaseHeld};  // also on an early return from a failed assertion
  ASSERT_TRUE(server.WaitForHeads(2));

  {
    EnvGuard reshare("CURL_RESHARE_HANDLE", "true");
    Json::Value reply;
    EXPECT_EQ(testing::PostStatus(server.Url("/after").c_str(), reply, Json::Value(Json::objectValue)), 200);
  }
  EXPECT_EQ(LiveSharedDnsCacheCount(), 2u);  // the old one still serves the held request

  releaseHeld();
  EXPECT_EQ(heldResult, 200);
  EXPECT_EQ(LiveSharedDnsCacheCount(), 1u);
}

}  // namespace
}  // namespace chunkup

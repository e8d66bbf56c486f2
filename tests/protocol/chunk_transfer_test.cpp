// The chunk loop without a service: every attempt here fails before a request
// is made (missing or short file, a URL that is not http) or is never made
// (malformed list), so what is observed is the loop's own bookkeeping.
#include <gtest/gtest.h>
#include <json/reader.h>

#include <atomic>
#include <thread>

#include "fingerprint/chunk_hashing.h"
#include "protocol/protocol.h"
#include "tests/protocol/upload_harness.h"
#include "tests/support/fake_platform.h"

namespace chunkup::testing {
namespace {

Json::Value ParseJson(const std::string& text) {
  Json::Value value;
  Json::Reader reader;
  EXPECT_TRUE(reader.parse(text, value)) << text;
  return value;
}

// No request may leave: the URLs point at a port nothing listens on.
constexpr const char* kNowhere = "http://127.0.0.1:9/chunks/x";

class LoopObserver final : public IChunkLoopObserver {
 public:
  int32_t OnProgress(int32_t count) override {
    progress += count;
    return 0;
  }
  bool IsCancelled() override { return cancelled.load(); }
  bool IsPaused() override { return paused.load(); }
  void PresetProgress(int64_t bytes) override { progress = bytes; }

  std::atomic<int64_t> progress{0};
  std::atomic<bool> cancelled{false}, paused{false};
};

Manifest ManifestFor(FakePlatform& platform, const std::string& path, uint64_t size) {
  Manifest manifest;
  manifest.path = platform.MakePath(U16(path));
  manifest.size = size;
  manifest.chunkCount = ChunkCountForSize(size);
  return manifest;
}

PrepareDecision Decision(const std::string& reply, uint32_t chunkCount) {
  return InterpretPrepareReply(HttpResult{CURLE_OK, 200}, reply == "absent" ? Json::Value() : ParseJson(reply),
                               chunkCount);
}

// Lists and the attempts (file opens) the loop makes for them, with its
// verdict. The file is missing, so each attempt at an http URL fails before
// any network traffic.
struct ListCase {
  const char* name;
  const char* reply;
  int expectedOpens;
  OutcomeKind expected;
};

class RequiredList : public ::testing::TestWithParam<ListCase> {};

TEST_P(RequiredList, AttemptsAndVerdict) {
  const ListCase& c = GetParam();
  FakePlatform platform;
  TempDir dir;
  const Manifest manifest = ManifestFor(platform, dir.PathOf("gone.bin"), 3 * uint64_t{kChunk});  // three chunks
  LoopObserver observer;

  const PrepareDecision decision = Decision(c.reply, manifest.chunkCount);
  ASSERT_TRUE(decision.outcome.ok());
  EXPECT_EQ(SendRequiredChunks(platform, manifest, decision, observer).kind, c.expected);
  EXPECT_EQ(platform.OpenCalls(), c.expectedOpens);
  EXPECT_TRUE(platform.Sleeps().empty());  // no pause: failed attempts follow at once
}

#define CHUNK(index, url) "{\"index\":" #index ",\"url\":\"" url "\"}"
INSTANTIATE_TEST_SUITE_P(
    Lists, RequiredList,
    ::testing::Values(
        ListCase{"MissingFileFailsSixAttempts", R"({"required":[)" CHUNK(0, "http://127.0.0.1:9/c") "]}", 6,
                 OutcomeKind::kChunkFailed},
        // Six attempts at the first chunk, and the read-ahead of the second.
        ListCase{"FailureStopsTheList",
                 R"({"required":[)" CHUNK(0, "http://127.0.0.1:9/c") "," CHUNK(1, "http://127.0.0.1:9/c") "]}", 7,
                 OutcomeKind::kChunkFailed},
        ListCase{"UpperCaseSchemeIsHttp", R"({"required":[)" CHUNK(0, "HTTPS://127.0.0.1:9/c") "]}", 6,
                 OutcomeKind::kChunkFailed},
        // Only http and https are ever spoken: other URLs fail every attempt
        // without touching the file, let alone writing one.
        ListCase{"FileUrlIsRefused", R"({"required":[)" CHUNK(0, "file:///tmp/chunkup-never") "]}", 0,
                 OutcomeKind::kChunkFailed},
        ListCase{"FtpUrlIsRefused", R"({"required":[)" CHUNK(0, "ftp://127.0.0.1:9/c") "]}", 0,
                 OutcomeKind::kChunkFailed},
        ListCase{"DictUrlIsRefused", R"({"required":[)" CHUNK(0, "dict://127.0.0.1:9/c") "]}", 0,
                 OutcomeKind::kChunkFailed},
        ListCase{"UrlWithoutSchemeIsRefused", R"({"required":[)" CHUNK(0, "127.0.0.1:9/c") "]}", 0,
                 OutcomeKind::kChunkFailed},
        ListCase{"EmptyUrlIsRefused", R"({"required":[)" CHUNK(0, "") "]}", 0, OutcomeKind::kChunkFailed},
        ListCase{"IndexAsStringStops", R"({"required":[{"index":"0","url":"http://h/"}]})", 0, OutcomeKind::kOk},
        ListCase{"IndexEqualToChunkCountStops", R"({"required":[)" CHUNK(3, "http://h/") "]}", 0, OutcomeKind::kOk},
        ListCase{"NegativeIndexStops", R"({"required":[)" CHUNK(-1, "http://h/") "]}", 0, OutcomeKind::kOk},
        ListCase{"HugeIndexStops", R"({"required":[)" CHUNK(99999999999, "http://h/") "]}", 0, OutcomeKind::kOk},
        ListCase{"FractionalIndexStops", R"({"required":[)" CHUNK(1.5, "http://h/") "]}", 0, OutcomeKind::kOk},
        ListCase{"MissingUrlStops", R"({"required":[{"index":0}]})", 0, OutcomeKind::kOk},
        ListCase{"UrlNotAStringStops", R"({"required":[{"index":0,"url":7}]})", 0, OutcomeKind::kOk},
        ListCase{"ElementNotAnObjectStops", R"({"required":[0]})", 0, OutcomeKind::kOk},
        ListCase{"EmptyList", R"({"required":[]})", 0, OutcomeKind::kOk},
        ListCase{"AbsentList", R"({})", 0, OutcomeKind::kOk},
        ListCase{"ReplyNotAnObject", "absent", 0, OutcomeKind::kOk}),
    [](const ::testing::TestParamInfo<ListCase>& info) { return std::string(info.param.name); });
#undef CHUNK

TEST(PrepareReply, WhatEachReplyMeans) {
  struct Case {
    const char* name;
    HttpResult result;
    const char* body;
    OutcomeKind kind;
    int httpStatus;
    size_t orders;
  } cases[] = {
      {"200 with a list", {CURLE_OK, 200}, R"({"required":[{"index":1,"url":"http://h/1"}]})", OutcomeKind::kOk, 0, 1},
      {"409 held", {CURLE_OK, 409}, R"({"url":"http://h/f/1","linkid":"L"})", OutcomeKind::kAlreadyHeld, 0, 0},
      {"required not a list", {CURLE_OK, 200}, R"({"required":{"index":1}})", OutcomeKind::kUnusableReply, 0, 0},
      {"refused", {CURLE_OK, 503}, "{}", OutcomeKind::kHttpStatus, 503, 0},
      {"odd success status", {CURLE_OK, 201}, "{}", OutcomeKind::kHttpStatus, 201, 0},
      {"no status line", {CURLE_OK, -1}, "", OutcomeKind::kUnusableReply, 0, 0},
      {"time-out", {CURLE_OPERATION_TIMEDOUT, -1}, "", OutcomeKind::kTransport, 0, 0},
  };
  for (const Case& c : cases) {
    const PrepareDecision decision =
        InterpretPrepareReply(c.result, *c.body ? ParseJson(c.body) : Json::Value(), 2);
    EXPECT_EQ(decision.outcome.kind, c.kind) << c.name;
    EXPECT_EQ(decision.outcome.httpStatus, c.httpStatus) << c.name;
    EXPECT_EQ(decision.required.size(), c.orders) << c.name;
  }
  const PrepareDecision held = InterpretPrepareReply({CURLE_OK, 409}, ParseJson(R"({"url":"http://h/f/1","linkid":"L"})"), 1);
  EXPECT_EQ(held.url.value_or(""), "http://h/f/1");
  EXPECT_EQ(held.linkId.value_or(""), "L");
}

TEST(ChunkTransfer, ProgressStartsWithTheChunksTheServiceHolds) {
  FakePlatform platform;
  TempDir dir;
  // 10 MiB: three chunks, the last one 2 MiB. Only the last is asked for, so
  // the other two count as sent, as whole chunks.
  const Manifest manifest = ManifestFor(platform, dir.PathOf("gone.bin"), 10 * 1048576);
  LoopObserver observer;
  EXPECT_EQ(SendRequiredChunks(platform, manifest, Decision(R"({"required":[{"index":2,"url":"http://127.0.0.1:9/c"}]})", 3),
                               observer)
                .kind,
            OutcomeKind::kChunkFailed);
  EXPECT_EQ(observer.progress.load(), 8388608);

  // An empty list leaves the count alone.
  observer.progress = 5;
  EXPECT_TRUE(SendRequiredChunks(platform, manifest, Decision(R"({"required":[]})", 3), observer).ok());
  EXPECT_EQ(observer.progress.load(), 5);

  // A list longer than the file (repeated entries) does not drive it below zero.
  std::string list = R"({"required":[)";
  for (int i = 0; i < 5; ++i) list += std::string(i ? "," : "") + R"({"index":"x","url":"u"})";
  EXPECT_TRUE(SendRequiredChunks(platform, manifest, Decision(list + "]}", 3), observer).ok());
  EXPECT_EQ(observer.progress.load(), 0);
}

TEST(ChunkTransfer, ShortOrUnreadableFileFailsTheAttemptWithoutARequest) {
  FakePlatform platform;
  TempDir dir;
  LoopObserver observer;
  // The file shrank after hashing: it holds 5 bytes where the manifest says 10.
  const Manifest shrunk = ManifestFor(platform, dir.WriteFile("short.bin", "abcde"), 10);
  EXPECT_EQ(SendChunk(platform, shrunk.path, kNowhere, 0, 10, observer).kind, OutcomeKind::kChunkFailed);

  const Manifest whole = ManifestFor(platform, dir.WriteFile("data.bin", "abcdefghij"), 10);
  platform.FailReadAt(platform.ReadCalls() + 1, 5);
  const Outcome failedRead = SendChunk(platform, whole.path, kNowhere, 0, 10, observer);
  EXPECT_EQ(failedRead.kind, OutcomeKind::kChunkFailed);
  EXPECT_EQ(failedRead.osError, 5);

  platform.FailOpenAt(platform.OpenCalls() + 1, 13);
  EXPECT_EQ(SendChunk(platform, whole.path, kNowhere, 0, 10, observer).osError, 13);
  EXPECT_EQ(observer.progress.load(), 0);
}

// After a cancel no further chunk is opened, read or sent; the loop ends so
// the commit can follow.
TEST(ChunkTransfer, CancelledLoopOpensNoFurtherChunk) {
  FakePlatform platform;
  TempDir dir;
  const Manifest manifest = ManifestFor(platform, dir.PathOf("gone.bin"), 3 * uint64_t{kChunk});
  LoopObserver observer;
  observer.cancelled = true;
  observer.paused = true;  // cancel wins over pause: no wait either
  const PrepareDecision decision = Decision(
      R"({"required":[{"index":0,"url":"http://h/"},{"index":1,"url":"http://h/"},{"index":2,"url":"http://h/"}]})", 3);
  EXPECT_TRUE(SendRequiredChunks(platform, manifest, decision, observer).ok());
  EXPECT_EQ(platform.OpenCalls(), 0);
  EXPECT_EQ(platform.ReadCalls(), 0);
  EXPECT_TRUE(platform.Sleeps().empty());
}

TEST(ChunkTransfer, PauseHoldsBetweenAttemptsInHalfSecondStepsUntilCancel) {
  FakePlatform platform;
  TempDir dir;
  const Manifest manifest = ManifestFor(platform, dir.PathOf("gone.bin"), 1);
  LoopObserver observer;
  observer.paused = true;

  std::atomic<bool> ok{false};
  std::thread worker([&] {
    ok = SendRequiredChunks(platform, manifest, Decision(R"({"required":[{"index":0,"url":"http://127.0.0.1:9/"}]})", 1),
                            observer)
             .ok();
  });
  // The first attempt runs despite the pause; then the loop waits.
  const bool waiting = WaitFor([&] { return platform.Sleeps().size() >= 2; }, std::chrono::seconds(5));
  EXPECT_EQ(platform.OpenCalls(), 1);
  observer.cancelled = true;
  worker.join();
  ASSERT_TRUE(waiting);
  EXPECT_TRUE(ok.load());  // cancelled: not tried again, the commit would follow
  EXPECT_EQ(platform.OpenCalls(), 1);
  for (uint32_t ms : platform.Sleeps()) EXPECT_EQ(ms, 500u);
}

}  // namespace
}  // namespace chunkup::testing

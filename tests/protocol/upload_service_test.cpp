// Whole uploads against the reference service on loopback: a CFileTask aimed
// at the service's ephemeral port runs the same path the exports run. After a
// successful upload the stored file is downloaded and compared byte for byte.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cctype>
#include <mutex>
#include <vector>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>

#include "api/task_registry.h"
#include "protocol/protocol.h"
#include "task/file_task.h"
#include "tests/protocol/upload_harness.h"
#include "tests/support/fake_platform.h"
#include "tests/support/service_process.h"

namespace chunkup::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

std::string QueryEscape(const std::string& text) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

constexpr size_t kOneMiBForProgress = 1048576;

class UploadAgainstService : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { s_service = new ServiceProcess(); }
  static void TearDownTestSuite() {
    delete s_service;
    s_service = nullptr;
  }
  void SetUp() override { service().Reset(); }

  static ServiceProcess& service() { return *s_service; }
  Endpoints endpoints() const { return Endpoints{service().HostPort(), service().BaseUrl()}; }

  struct Result {
    UploadInfo info{};
    bool filled = false;  // FillInfo answers nothing while the size is 0
    std::string urlText;
    std::string linkId;
  };

  Result Upload(const std::string& path) {
    TaskRun run(platform, endpoints(), path);
    EXPECT_TRUE(run.Wait(seconds(90))) << "upload of " << path << " did not end";
    return Collect(run);
  }

  static Result Collect(TaskRun& run) {
    Result out;
    out.filled = run.task().FillInfo(&out.info) == 0;
    out.urlText = chunkup_slot_text(&out.info.urlText);
    out.linkId = chunkup_slot_text(&out.info.linkid);
    return out;
  }

  // The service stores what was sent: the result URL serves the file's bytes.
  void ExpectStored(const std::string& urlText, const std::string& bytes) {
    ASSERT_FALSE(urlText.empty());
    long status = 0;
    const std::string got = service().Get(urlText, &status);
    EXPECT_EQ(status, 200);
    EXPECT_EQ(got.size(), bytes.size());
    EXPECT_TRUE(got == bytes) << "downloaded bytes differ from the file";
  }

  int64_t Stat(const char* name) { return service().Stats()[name].asInt64(); }

  FakePlatform platform;
  TempDir dir;
  static ServiceProcess* s_service;
};
ServiceProcess* UploadAgainstService::s_service = nullptr;

class FreshUpload : public UploadAgainstService, public ::testing::WithParamInterface<size_t> {};

TEST_P(FreshUpload, StoresTheFileWholeAndReportsDone) {
  const size_t size = GetParam();
  const std::string bytes = RandomBytes(size);
  const std::string path = dir.WriteFile("fresh.bin", bytes);

  const Result out = Upload(path);
  if (size != 0) ExpectStored(out.urlText, bytes);
  const int64_t chunks = static_cast<int64_t>((size + kChunk - 1) / kChunk);
  EXPECT_EQ(Stat("put"), chunks);
  EXPECT_EQ(Stat("commit"), 1);
  if (size == 0) {
    EXPECT_FALSE(out.filled);  // an empty file reports no state at all
    return;
  }
  ASSERT_TRUE(out.filled);
  EXPECT_EQ(out.info.state, UPLOAD_STATE_OK);
  EXPECT_EQ(out.info.percent, 100);
  EXPECT_EQ(out.info.fileSize, size);
  EXPECT_NE(out.info.url[0], 0);
  EXPECT_EQ(std::string(chunkup_slot_text(&out.info.urlText)), out.urlText);
}

INSTANTIATE_TEST_SUITE_P(Sizes, FreshUpload,
                         ::testing::Values(size_t{1}, size_t{kChunk}, size_t{kChunk} + 1,
                                           size_t{40} * 1048576 + 4321, size_t{0}),
                         [](const ::testing::TestParamInfo<size_t>& info) { return std::to_string(info.param); });

TEST_F(UploadAgainstService, SameContentAgainIsAlreadyHeldAndSendsNothing) {
  const std::string bytes = RandomBytes(kChunk + 99);
  const Result first = Upload(dir.WriteFile("one.bin", bytes));
  ASSERT_FALSE(first.urlText.empty());

  service().Reset();
  const Result again = Upload(dir.WriteFile("two.bin", bytes));
  EXPECT_FALSE(again.linkId.empty()) << "409: the service already held it";
  EXPECT_EQ(Stat("put"), 0);
  EXPECT_EQ(Stat("commit"), 0);
  ASSERT_TRUE(again.filled);
  EXPECT_EQ(again.info.state, UPLOAD_STATE_OK);
  EXPECT_EQ(again.info.percent, 100);
  EXPECT_FALSE(again.linkId.empty());
  EXPECT_EQ(std::string(chunkup_slot_text(&again.info.linkid)), again.linkId);
  ExpectStored(again.urlText, bytes);
}

TEST_F(UploadAgainstService, FileSharingAllButOneChunkSendsOnlyThatChunk) {
  std::string bytes = RandomBytes(2 * size_t{kChunk} + 1000);  // three chunks
  ASSERT_FALSE(Upload(dir.WriteFile("base.bin", bytes)).urlText.empty());

  bytes[kChunk + 17] ^= 0x5A;  // only the middle chunk differs
  service().Reset();
  const Result out = Upload(dir.WriteFile("edited.bin", bytes));
  EXPECT_EQ(Stat("put"), 1);
  ExpectStored(out.urlText, bytes);
}

TEST_F(UploadAgainstService, ResumeAfterCancelSendsOnlyTheMissingChunks) {
  // Through the registry, as a host would: cancel, then upload the same path.
  CTaskRegistry registry(platform, endpoints());
  const std::string bytes = RandomBytes(5 * size_t{kChunk});
  const std::string path = dir.WriteFile("resume.bin", bytes);
  ASSERT_TRUE(service().SetKnobs("delay_ms=300"));

  uint32_t firstId = 0;
  std::thread first([&] { registry.AddTask(U16(path), &firstId, 0); });
  const bool midway = WaitFor([&] { return Stat("put_stored") >= 2; }, seconds(30), milliseconds(50));
  uint32_t liveId = 0;
  registry.AddTask(U16(path), &liveId, 0);  // a live task: hands back its id at once
  registry.Cancel(liveId);
  first.join();
  ASSERT_TRUE(midway);
  const int64_t storedBefore = Stat("put_stored");
  ASSERT_LT(storedBefore, 5) << "the upload ended before the cancel took effect";

  service().Reset();
  uint32_t secondId = 0;
  registry.AddTask(U16(path), &secondId, 0);
  EXPECT_NE(secondId, liveId);
  EXPECT_EQ(Stat("put"), 5 - storedBefore);
  UploadInfo info{};
  registry.GetInfo(secondId, &info);
  EXPECT_EQ(info.state, UPLOAD_STATE_OK);
  ExpectStored(chunkup_slot_text(&info.urlText), bytes);
}

// Faults injected at the service, with what the task must end with.
struct FaultCase {
  const char* name;
  std::string knobs;
  size_t size;
  int32_t state;
  int64_t puts;  // PUTs the service saw, refused and cut ones included; -n: at least n
  int64_t commits;
  bool stored;
};
// Test listings show the case's name, not its bytes.
void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

class ServiceFault : public UploadAgainstService, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(ServiceFault, EndsWithTheExpectedState) {
  const FaultCase& c = GetParam();
  const std::string bytes = RandomBytes(c.size);
  ASSERT_TRUE(service().SetKnobs(c.knobs)) << c.knobs;

  const Result out = Upload(dir.WriteFile("fault.bin", bytes));
  ASSERT_TRUE(out.filled);
  EXPECT_EQ(out.info.state, c.state);
  if (c.puts < 0) {
    EXPECT_GE(Stat("put"), -c.puts);
  } else {
    EXPECT_EQ(Stat("put"), c.puts);
  }
  EXPECT_EQ(Stat("commit"), c.commits);
  if (c.stored) {
    ExpectStored(out.urlText, bytes);
  } else {
    EXPECT_TRUE(out.urlText.empty());
    EXPECT_EQ(out.info.url[0], 0);
  }
}

const size_t kSmall = 100000;
const size_t kOneMiB = 1048576;

INSTANTIATE_TEST_SUITE_P(
    Faults, ServiceFault,
    ::testing::Values(
        FaultCase{"ChunkRefusedFiveTimesThenAccepted", "put_status=500&put_count=5", kSmall, UPLOAD_STATE_OK, 6,
                  1, true},
        FaultCase{"ChunkRefusedSixTimes", "put_status=500&put_count=6", kSmall, UPLOAD_STATE_REFUSED, 6, 0,
                  false},
        // 409 means "already held" only as the prepare reply; a chunk refused
        // with it six times stored nothing.
        FaultCase{"ChunkRefusedWith409SixTimes", "put_status=409&put_count=6", kSmall, UPLOAD_STATE_REFUSED, 6, 0,
                  false},
        FaultCase{"CommitRefusedWith409", "commit_status=409&commit_body=", kSmall, UPLOAD_STATE_REFUSED, 1, 1, false},
        FaultCase{"ConnectionClosedMidChunkIsOneFailedAttempt", "put_close=1", kOneMiB, UPLOAD_STATE_OK, 2, 1,
                  true},
        // libcurl replaces a pooled connection that died before any answer
        // once, without it counting as an attempt; six failed attempts then
        // take six to twelve PUTs.
        FaultCase{"ConnectionClosedOnEveryAttempt", "put_close=100", kOneMiB, UPLOAD_STATE_FAILED, -6, 0, false},
        FaultCase{"PrepareRefused", "prepare_status=500&prepare_body=", kSmall, UPLOAD_STATE_REFUSED, 0, 0,
                  false},
        FaultCase{"RequiredOfTheWrongType",
                  "prepare_status=200&prepare_body=" + QueryEscape(R"({"required":"none"})"), kSmall,
                  UPLOAD_STATE_FAILED, 0, 0, false},
        FaultCase{"AlreadyHeldWithAnEmptyReply", "prepare_status=409&prepare_body=", kSmall, UPLOAD_STATE_OK, 0,
                  0, false},
        // A commit the service refuses is a failed upload, not a done one.
        FaultCase{"CommitRefused", "commit_status=500&commit_body=", kSmall, UPLOAD_STATE_REFUSED, 1, 1, false},
        FaultCase{"CommitAnsweredWithoutJson", "commit_status=503&commit_body=busy", kSmall,
                  UPLOAD_STATE_REFUSED, 1, 1, false},
        // Accepted, but the reply names no URL: done, with nothing to show.
        FaultCase{"CommitAcceptedWithoutUrl", "commit_status=200&commit_body=" + QueryEscape("{}"), kSmall,
                  UPLOAD_STATE_OK, 1, 1, false}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

TEST_F(UploadAgainstService, PauseLetsThePutInFlightFinishAndHoldsTheNextUntilRestart) {
  const std::string bytes = RandomBytes(3 * size_t{kChunk});
  ASSERT_TRUE(service().SetKnobs("delay_ms=600"));  // each PUT reply takes a while
  TaskRun run(platform, endpoints(), dir.WriteFile("pause.bin", bytes));

  ASSERT_TRUE(WaitFor([&] { return Stat("put") >= 1; }, seconds(30), milliseconds(10)));
  run.task().Pause();
  // The worker reaches the pause wait only after the attempt in flight ended.
  ASSERT_TRUE(WaitFor([&] { return !platform.Sleeps().empty(); }, seconds(30)));
  const Json::Value atPause = service().Stats();
  EXPECT_EQ(atPause["put"].asInt64(), atPause["put_stored"].asInt64());  // the PUT in flight was stored
  std::this_thread::sleep_for(milliseconds(1600));
  EXPECT_EQ(Stat("put"), atPause["put"].asInt64());  // nothing sent while paused
  EXPECT_FALSE(run.done());

  service().Reset();  // no more delays
  run.task().Restart();
  ASSERT_TRUE(run.Wait());
  const Result out = Collect(run);
  EXPECT_EQ(out.info.state, UPLOAD_STATE_OK);
  for (uint32_t ms : platform.Sleeps()) EXPECT_EQ(ms, 500u);
  ExpectStored(out.urlText, bytes);
}

TEST_F(UploadAgainstService, CancelWhilePausedEndsTheWait) {
  const std::string bytes = RandomBytes(3 * size_t{kChunk});
  TaskRun run(platform, endpoints(), dir.WriteFile("paused-cancel.bin", bytes));
  run.task().Pause();  // takes hold after the first attempt
  ASSERT_TRUE(WaitFor([&] { return platform.Sleeps().size() >= 2; }, seconds(30)));
  EXPECT_EQ(Stat("put"), 1);

  const auto cancelledAt = std::chrono::steady_clock::now();
  run.task().Cancel();
  // The wait polls every 500 ms; the rest (aborted attempts, the commit) is
  // local traffic. Far less than the bound, which only guards against a hang.
  ASSERT_TRUE(WaitFor([&] { return run.task().IsFinished(); }, seconds(10)));
  const auto took = std::chrono::steady_clock::now() - cancelledAt;
  EXPECT_LT(took, seconds(5));
  EXPECT_EQ(Stat("put_stored"), 1);  // the later chunks were never sent whole
  EXPECT_EQ(Collect(run).info.state, UPLOAD_STATE_REFUSED);  // the service cannot commit a file it lacks
  run.task().Restart();
  ASSERT_TRUE(run.Wait());
}

// A cancel aborts the PUT in flight, and no later chunk is opened, read or
// sent; the commit still goes out and is refused for the missing chunks.
TEST_F(UploadAgainstService, CancelDuringAPutAbortsItAndSendsNoFurtherChunk) {
  const std::string bytes = RandomBytes(5 * size_t{kChunk});
  // Sending is capped at 512 KiB/s, so a whole chunk would take 8 s.
  ASSERT_EQ(setenv("CURL_UPLOAD_SPEEDLIMIT", "512", 1), 0);
  struct Unset {
    ~Unset() { unsetenv("CURL_UPLOAD_SPEEDLIMIT"); }
  } unsetAfter;
  {
    TaskRun run(platform, endpoints(), dir.WriteFile("cancel-put.bin", bytes));
    // 5 % of 20 MiB is 1 MiB into the first chunk.
    ASSERT_TRUE(WaitFor([&] { return run.Info().percent >= 5; }, seconds(30), milliseconds(5)));
    const int opensAtCancel = platform.OpenCalls();
    run.task().Cancel();
    ASSERT_TRUE(run.Wait(seconds(30)));
    EXPECT_EQ(platform.OpenCalls(), opensAtCancel) << "no chunk is opened after the cancel";
    EXPECT_EQ(Stat("put"), 1) << "only the PUT in flight";
    EXPECT_EQ(Stat("put_stored"), 0);
    EXPECT_EQ(Stat("commit"), 1);
    EXPECT_EQ(Collect(run).info.state, UPLOAD_STATE_REFUSED);
  }
}

// Bytes counted during an attempt that fails are taken back: the count never
// claims what the service did not store.
TEST_F(UploadAgainstService, FailedAttemptsGiveTheirProgressBack) {
  ASSERT_TRUE(service().SetKnobs("put_status=500&put_count=6"));
  const std::string path = dir.WriteFile("refused.bin", RandomBytes(kOneMiBForProgress));
  struct Counter final : IChunkLoopObserver {
    int32_t OnProgress(int32_t count) override {
      now += count;
      peak = std::max(peak, now);
      return 0;
    }
    bool IsCancelled() override { return false; }
    bool IsPaused() override { return false; }
    void PresetProgress(int64_t bytes) override { now = bytes; }
    int64_t now = 0, peak = 0;
  } counter;
  Manifest manifest;
  manifest.path = platform.MakePath(U16(path));
  manifest.size = kOneMiBForProgress;
  manifest.chunkCount = 1;
  PrepareDecision decision;
  decision.listedCount = 1;
  decision.required.push_back(ChunkOrder{0, service().BaseUrl() + "/chunks/refused"});
  const chunkup::Outcome outcome = SendRequiredChunks(platform, manifest, decision, counter);
  EXPECT_EQ(outcome.kind, OutcomeKind::kHttpStatus);
  EXPECT_EQ(outcome.httpStatus, 500);
  EXPECT_EQ(counter.peak, int64_t{kOneMiBForProgress}) << "the bytes were counted while they went out";
  EXPECT_EQ(counter.now, 0) << "and taken back when the attempt failed";
}

// Only regular files are read: anything else ends the task at once, with
// FAILED and no request to the service.
TEST_F(UploadAgainstService, PathsThatAreNotRegularFilesFailAtOnceAndSendNothing) {
  const std::string fifo = dir.PathOf("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {fifo, dir.path().string(), std::string("/dev/null")}) {
    TaskRun run(platform, endpoints(), path);
    ASSERT_TRUE(run.Wait(seconds(10))) << path << " must not block the upload";
    UploadInfo info{};
    EXPECT_EQ(run.task().FillInfo(&info), 0) << path;
    EXPECT_EQ(info.state, UPLOAD_STATE_FAILED) << path;
    EXPECT_EQ(info.fileSize, 0u) << path;
  }
  EXPECT_EQ(Stat("prepare"), 0);
  EXPECT_EQ(Stat("report"), 0) << "nothing to report for a file never read";
}

// Every open checks what it opened, not only the first: a file swapped for a
// FIFO after it was hashed fails its chunk reads at once instead of blocking
// the upload on a pipe nobody writes.
TEST_F(UploadAgainstService, FileSwappedForAFifoAfterHashingFailsWithoutBlocking) {
  const std::string path = dir.WriteFile("swapped.bin", RandomBytes(2 * size_t{kChunk}));
  std::atomic<int> opens{0};  // chunk reads open from the upload thread and the read-ahead thread
  platform.SetOpenHook([&] {
    if (++opens == 3) {  // after the facts and the digests: the first chunk read
      ::unlink(path.c_str());
      ::mkfifo(path.c_str(), 0600);
    }
  });
  TaskRun run(platform, endpoints(), path);
  const bool ended = run.Wait(seconds(60));
  platform.SetOpenHook(nullptr);
  ASSERT_TRUE(ended) << "a FIFO must not hold the chunk reads";
  UploadInfo info{};
  EXPECT_EQ(run.task().FillInfo(&info), 0);
  EXPECT_NE(info.state, UPLOAD_STATE_OK);
  EXPECT_EQ(chunkup_slot_text(&info.urlText), std::string());
  EXPECT_EQ(Stat("prepare"), 1);
  // The read ahead may have taken one chunk from the file before the swap;
  // nothing read after it goes out, so the file is never complete.
  EXPECT_LE(Stat("put_stored"), 1);
}

// The next chunk is read while the current one is sent, but never further
// ahead; a retry reads its chunk from the file again.
TEST_F(UploadAgainstService, ChunksAreReadOneAheadOfTheirPutAndAgainForARetry) {
  const std::string bytes = RandomBytes(4 * size_t{kChunk});
  ASSERT_TRUE(service().SetKnobs("put_status=500&put_count=1&delay_ms=50"));
  std::mutex lock;
  std::vector<int64_t> putsAtOpen;  // PUTs the service had seen at each open
  platform.SetOpenHook([&] {
    const int64_t puts = Stat("put");
    std::lock_guard<std::mutex> guard(lock);
    putsAtOpen.push_back(puts);
  });
  const Result out = Upload(dir.WriteFile("ahead.bin", bytes));
  platform.SetOpenHook(nullptr);
  ExpectStored(out.urlText, bytes);
  // The facts, the digests, then chunks 0..3 and one more read of chunk 0.
  ASSERT_EQ(putsAtOpen.size(), 7u);
  const std::vector<int64_t> chunkOpens(putsAtOpen.begin() + 2, putsAtOpen.end());
  // The j-th chunk read finds at least j - 1 PUTs started: besides the chunk
  // in flight, at most one more has been read.
  for (size_t j = 0; j < chunkOpens.size(); ++j) EXPECT_GE(chunkOpens[j], static_cast<int64_t>(j) - 1) << j;
  EXPECT_EQ(Stat("put"), 5);
}

// The whole upload, its commit and its reports share one pooled connection.
TEST_F(UploadAgainstService, WholeUploadTravelsOnOneConnection) {
  if (!service().Stats().isMember("connections")) GTEST_SKIP() << "this service does not count connections";
  const std::string bytes = RandomBytes(3 * size_t{kChunk} + 5);
  service().Reset();
  const Result out = Upload(dir.WriteFile("one-connection.bin", bytes));
  ExpectStored(out.urlText, bytes);
  service().Reset();  // the download above used a connection of its own
  const Result again = Upload(dir.WriteFile("one-connection-2.bin", RandomBytes(2 * size_t{kChunk})));
  ASSERT_FALSE(again.urlText.empty());
  EXPECT_LE(Stat("connections"), 1) << "prepare, PUTs, commit and reports on one connection";
}

TEST_F(UploadAgainstService, RequestBodiesAreTheCompactDocumentsByteForByte) {
  const std::string path = dir.WriteFile("abc.txt", "abc");
  // Last written 2010-01-01 00:00:00 UTC.
  const struct timespec times[2] = {{1262304000, 0}, {1262304000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);

  const Result out = Upload(path);
  const Json::Value stats = service().Stats();
  // The bodies are fixed by what earlier releases sent; the service and its
  // peers compare them as text.
  EXPECT_EQ(stats["last_prepare_body"].asString(),
            R"({"chunkSize":4194304,"fileSize":"3","keys":["qZk-NkcGgWq6PiVxeFDCbJzQ2J0="],"path":"home/abc.txt"})"
            "\n");
  if (!out.linkId.empty()) GTEST_SKIP() << "the service already held abc.txt";
  EXPECT_EQ(out.info.state, UPLOAD_STATE_OK);
  EXPECT_EQ(stats["last_commit_body"].asString(),
            R"({"chunkSize":4194304,"editTime":"12623040000000000","fileSize":"3",)"
            R"("keys":["qZk-NkcGgWq6PiVxeFDCbJzQ2J0="],"mimeType":"application/x-msdownload","path":"home/abc.txt"})"
            "\n");
}

TEST_F(UploadAgainstService, NameIsSentAsRawUtf8AndAnEmptyFileHasNoKeys) {
  const std::string name = "\xC3\xBC\xE2\x82\xAC \xF0\x9F\x93\x84.bin";  // ü€ and an emoji outside the BMP
  const std::string path = dir.WriteFile(name, "");
  // Refused, so the empty file is not stored and the fresh-upload cases still
  // find the service without it.
  ASSERT_TRUE(service().SetKnobs("prepare_status=500"));
  Upload(path);
  EXPECT_EQ(service().Stats()["last_prepare_body"].asString(),
            R"({"chunkSize":4194304,"fileSize":"0","keys":[],"path":"home/)" + name + "\"}\n");
}

TEST_F(UploadAgainstService, CancelBeforePrepareSendsNothing) {
  TaskRun run(platform, endpoints(), dir.WriteFile("early.bin", "x"), [](CFileTask& task) { task.Cancel(); });
  ASSERT_TRUE(run.Wait());
  EXPECT_EQ(Stat("prepare"), 0);
  EXPECT_EQ(run.Info().state, UPLOAD_STATE_OK) << "a cancel is not a failure";
}

}  // namespace
}  // namespace chunkup::testing

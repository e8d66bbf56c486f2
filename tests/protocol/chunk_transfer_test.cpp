// The chunk loop and the file routines without a service: every attempt here
// fails before a request is made (missing or short file) or is never made
// (malformed list), so what is observed is the loop's own bookkeeping.
#include <gtest/gtest.h>
#include <json/reader.h>

#include <thread>

#include "protocol/file_routines.h"
#include "protocol/protocol.h"
#include "task/file_task.h"
#include "task/status.h"
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

// No request may leave: the URL points at a port nothing listens on.
constexpr const char* kNowhere = "127.0.0.1:9/chunks/x";

struct TaskOnFile {
  TaskOnFile(FakePlatform& platform, const std::string& path, int64_t size)
      : task(0, platform, Endpoints{"127.0.0.1:9", "http://127.0.0.1:9"}) {
    task.m_path = U16(path);
    task.m_name = platform.FindFileName(task.m_path);
    task.m_fileSize = size;
    task.m_chunkCount = static_cast<uint32_t>((size + kChunk - 1) / kChunk);
  }
  CFileTask task;
};

TEST(FileRoutines, ChunkModeWordUnpacksToSharedReadOfAnExistingFile) {
  const FileOpenArgs args = DecodeOpenMode(kChunkReadMode);
  EXPECT_EQ(args.access, kGenericRead);
  EXPECT_EQ(args.share, kFileShareRead | kFileShareWrite | kFileShareDelete);
  EXPECT_EQ(args.disposition, kOpenExisting);
  EXPECT_EQ(args.flags, kFileAttributeNormal);

  // The flag byte moves to the top of the flags; unused bits are dropped.
  const FileOpenArgs flagged = DecodeOpenMode(0xFF408703u);
  EXPECT_EQ(flagged.flags, 0x40000000u | kFileAttributeNormal);
  EXPECT_EQ(flagged.access, kGenericRead);
}

TEST(FileRoutines, OpenReadCloseAndTheEmptyHolder) {
  FakePlatform platform;
  TempDir dir;
  const std::string path = dir.WriteFile("data.bin", "0123456789");

  FileHandle file;
  EXPECT_EQ(CloseFileIfOpen(file), 0);  // empty holder: nothing to do
  char buffer[16] = {};
  uint32_t got = 99;
  EXPECT_NE(ReadFromFile(file, buffer, 4, &got), 0);
  EXPECT_EQ(got, 0u);

  ASSERT_EQ(OpenFileWithMode(platform, kChunkReadMode, file, U16(path)), 0);
  ASSERT_TRUE(file.IsOpen());
  ASSERT_EQ(SeekFile(file, 6), 0);
  ASSERT_EQ(ReadFromFile(file, buffer, 16, &got), 0);
  EXPECT_EQ(std::string(buffer, got), "6789");  // short only at the end of the file
  EXPECT_EQ(CloseFileIfOpen(file), 0);
  EXPECT_FALSE(file.IsOpen());

  EXPECT_NE(OpenFileWithMode(platform, kChunkReadMode, file, U16(dir.PathOf("missing"))), 0);
  EXPECT_FALSE(file.IsOpen());

  platform.FailOpenAt(platform.OpenCalls() + 1, 13);
  EXPECT_EQ(OpenFileWithMode(platform, kChunkReadMode, file, U16(path)), 13);
  EXPECT_FALSE(file.IsOpen());
}

// Lists whose elements never lead to a request, with the number of attempts
// (file opens) the loop makes and its verdict. The task's file is missing, so
// each attempt ends with -4 before any network traffic.
struct ListCase {
  const char* name;
  const char* required;
  int expectedOpens;
  int32_t expectedResult;
};

class RequiredList : public ::testing::TestWithParam<ListCase> {};

TEST_P(RequiredList, AttemptsAndVerdict) {
  const ListCase& c = GetParam();
  FakePlatform platform;
  TempDir dir;
  TaskOnFile t(platform, dir.PathOf("gone.bin"), 3 * int64_t{kChunk});  // three chunks
  t.task.m_uploaded = 123;

  const std::string list = std::string(c.required);
  const Json::Value required = list == "absent" ? Json::Value() : ParseJson(list);
  EXPECT_EQ(SendRequiredChunks(t.task, required), c.expectedResult);
  EXPECT_EQ(platform.OpenCalls(), c.expectedOpens);
  EXPECT_TRUE(platform.Sleeps().empty());  // no pause: failed attempts follow at once
}

INSTANTIATE_TEST_SUITE_P(
    Lists, RequiredList,
    ::testing::Values(
        ListCase{"MissingFileFailsSixAttempts", R"([{"index":0,"url":"127.0.0.1:9/c"}])", 6, kStatusChunkFailed},
        ListCase{"FailureStopsTheList", R"([{"index":0,"url":"u"},{"index":1,"url":"u"}])", 6, kStatusChunkFailed},
        ListCase{"IndexAsStringStops", R"([{"index":"0","url":"u"}])", 0, 200},
        ListCase{"IndexEqualToChunkCountStops", R"([{"index":3,"url":"u"}])", 0, 200},
        ListCase{"NegativeIndexStops", R"([{"index":-1,"url":"u"}])", 0, 200},
        ListCase{"FractionalIndexStops", R"([{"index":1.5,"url":"u"}])", 0, 200},
        ListCase{"MissingUrlStops", R"([{"index":0}])", 0, 200},
        ListCase{"UrlNotAStringStops", R"([{"index":0,"url":7}])", 0, 200},
        ListCase{"ElementNotAnObjectStops", R"([0])", 0, 200},
        ListCase{"EmptyList", R"([])", 0, 200},
        ListCase{"AbsentList", "absent", 0, 200}),
    [](const ::testing::TestParamInfo<ListCase>& info) { return std::string(info.param.name); });

TEST(ChunkTransfer, ProgressStartsWithTheChunksTheServiceHolds) {
  FakePlatform platform;
  TempDir dir;
  // 10 MiB: three chunks, the last one 2 MiB. Only the last is asked for, so
  // the other two count as sent, as whole chunks.
  TaskOnFile t(platform, dir.PathOf("gone.bin"), 10 * 1048576);
  EXPECT_EQ(SendRequiredChunks(t.task, ParseJson(R"([{"index":2,"url":"u"}])")), kStatusChunkFailed);
  EXPECT_EQ(t.task.m_uploaded.load(), 8388608);

  // An empty list leaves the count alone.
  t.task.m_uploaded = 5;
  EXPECT_EQ(SendRequiredChunks(t.task, ParseJson("[]")), 200);
  EXPECT_EQ(t.task.m_uploaded.load(), 5);

  // A list longer than the file (repeated entries) does not drive it below zero.
  std::string list = "[";
  for (int i = 0; i < 5; ++i) list += std::string(i ? "," : "") + R"({"index":"x","url":"u"})";
  EXPECT_EQ(SendRequiredChunks(t.task, ParseJson(list + "]")), 200);
  EXPECT_EQ(t.task.m_uploaded.load(), 0);
}

TEST(ChunkTransfer, ShortFileFailsEveryAttemptWithoutARequest) {
  FakePlatform platform;
  TempDir dir;
  // The file shrank after hashing: it holds 5 bytes where the task expects 10.
  TaskOnFile t(platform, dir.WriteFile("short.bin", "abcde"), 10);
  EXPECT_EQ(SendChunk(t.task, kNowhere, 0, 10), kStatusChunkFailed);
  EXPECT_EQ(SendRequiredChunks(t.task, ParseJson(R"([{"index":0,"url":"127.0.0.1:9/c"}])")), kStatusChunkFailed);
  EXPECT_EQ(platform.OpenCalls(), 7);
}

TEST(ChunkTransfer, FailingReadIsAFailedAttempt) {
  FakePlatform platform;
  TempDir dir;
  TaskOnFile t(platform, dir.WriteFile("data.bin", "abcdefghij"), 10);
  platform.FailReadAt(1, 5);
  EXPECT_EQ(SendChunk(t.task, kNowhere, 0, 10), kStatusChunkFailed);
}

TEST(ChunkTransfer, CancelledTaskGivesEachChunkOneAttempt) {
  FakePlatform platform;
  TempDir dir;
  TaskOnFile t(platform, dir.PathOf("gone.bin"), 3 * int64_t{kChunk});
  t.task.m_cancel = true;
  t.task.m_pause = true;  // cancel wins over pause: no wait either
  const Json::Value list = ParseJson(R"([{"index":0,"url":"u"},{"index":1,"url":"u"},{"index":2,"url":"u"}])");
  EXPECT_EQ(SendRequiredChunks(t.task, list), 200);
  EXPECT_EQ(platform.OpenCalls(), 3);
  EXPECT_TRUE(platform.Sleeps().empty());
}

TEST(ChunkTransfer, PauseHoldsBetweenAttemptsInHalfSecondStepsUntilCancel) {
  FakePlatform platform;
  TempDir dir;
  TaskOnFile t(platform, dir.PathOf("gone.bin"), 1);
  t.task.m_pause = true;

  std::atomic<int32_t> result{0};
  std::thread worker([&] { result = SendRequiredChunks(t.task, ParseJson(R"([{"index":0,"url":"u"}])")); });
  // The first attempt runs despite the pause; then the loop waits.
  const bool waiting = WaitFor([&] { return platform.Sleeps().size() >= 2; }, std::chrono::seconds(5));
  EXPECT_EQ(platform.OpenCalls(), 1);
  t.task.m_cancel = true;
  worker.join();
  ASSERT_TRUE(waiting);
  EXPECT_EQ(result.load(), 200);  // cancelled: not tried again, the commit would follow
  EXPECT_EQ(platform.OpenCalls(), 1);
  for (uint32_t ms : platform.Sleeps()) EXPECT_EQ(ms, 500u);
}

}  // namespace
}  // namespace chunkup::testing

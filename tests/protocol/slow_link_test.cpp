// A link too slow to carry a chunk within the 30 s the JSON requests get still
// uploads: chunk PUTs have only a connect time-out and the low-speed limit.
#include <gtest/gtest.h>

#include <cstdlib>

#include "task/file_task.h"
#include "tests/protocol/upload_harness.h"
#include "tests/support/fake_platform.h"
#include "tests/support/service_process.h"

namespace chunkup::testing {
namespace {

TEST(SlowLink, ChunkTakingLongerThanThirtySecondsIsStored) {
  ServiceProcess service;
  FakePlatform platform;
  TempDir dir;
  // 100 KiB/s: one 4 MiB chunk takes about 41 s.
  ASSERT_EQ(setenv("CURL_UPLOAD_SPEEDLIMIT", "100", 1), 0);
  struct Unset {
    ~Unset() { unsetenv("CURL_UPLOAD_SPEEDLIMIT"); }
  } unsetAfter;
  const std::string bytes = RandomBytes(kChunk);
  TaskRun run(platform, Endpoints{service.HostPort(), service.BaseUrl()}, dir.WriteFile("slow.bin", bytes));
  ASSERT_TRUE(run.Wait(std::chrono::seconds(240)));
  const UploadInfo info = run.Info();
  EXPECT_EQ(info.state, UPLOAD_STATE_OK);
  EXPECT_EQ(service.Stats()["put"].asInt64(), 1) << "one attempt, not six timed-out ones";
  EXPECT_EQ(service.Get(chunkup_slot_text(&info.urlText)), bytes);
}

}  // namespace
}  // namespace chunkup::testing

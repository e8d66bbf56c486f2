// How a task's status, counts and flags turn into what the host reads.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "task/file_task.h"
#include "task/info_text.h"
#include "task/status.h"
#include "tests/support/fake_platform.h"

namespace chunkup {
namespace {

using testing::FakePlatform;

class FillInfoTest : public ::testing::Test {
 protected:
  FillInfoTest() { platform.SetTick(100000); }
  UploadInfo Fill(int* result = nullptr) {
    UploadInfo info;
    std::memset(&info, 0, sizeof info);
    int rc = task.FillInfo(&info);
    if (result) *result = rc;
    return info;
  }
  FakePlatform platform;
  CFileTask task{0, platform, Endpoints{"127.0.0.1:1", "http://127.0.0.1:1"}};
};

TEST(StateForStatusTest, MapsEveryKindOfStatus) {
  struct Case {
    int32_t status;
    int32_t state;
  } cases[] = {
      {200, UPLOAD_STATE_OK},        {409, UPLOAD_STATE_OK},  // 409 is checked before "400 or more"
      {28, UPLOAD_STATE_TIMEOUT},    {-4, UPLOAD_STATE_TRANSFER_FAILED},
      {-101, UPLOAD_STATE_TRANSFER_FAILED},
      {400, UPLOAD_STATE_REFUSED},   {404, UPLOAD_STATE_REFUSED},
      {500, UPLOAD_STATE_REFUSED},   {-1, UPLOAD_STATE_FAILED},
      {-5, UPLOAD_STATE_FAILED},     {7, UPLOAD_STATE_FAILED},  // libcurl: could not connect
      {42, UPLOAD_STATE_FAILED},     {1, UPLOAD_STATE_FAILED},
      {201, UPLOAD_STATE_FAILED},    {399, UPLOAD_STATE_FAILED},
  };
  for (const Case& c : cases) EXPECT_EQ(StateForStatus(c.status), c.state) << "status " << c.status;
}

TEST_F(FillInfoTest, UnknownSizeWritesNothing) {
  int rc = 0;
  UploadInfo info = Fill(&rc);
  EXPECT_EQ(rc, -1);
  UploadInfo zero;
  std::memset(&zero, 0, sizeof zero);
  EXPECT_EQ(std::memcmp(&info, &zero, sizeof info), 0);
}

TEST_F(FillInfoTest, PercentTable) {
  struct Case {
    const char* name;
    int64_t size;
    int64_t uploaded;
    bool finished;
    bool paused;
    int32_t lastPercent;
    int32_t percent;
  } cases[] = {
      {"half way", 1000, 500, false, false, 0, 50},
      {"truncated toward zero", 3, 2, false, false, 0, 66},
      {"every byte handed over but not finished", 1000, 1000, false, false, 0, 99},
      {"over-counted after retries, not finished", 1000, 2500, false, false, 0, 99},
      {"finished keeps the last value", 1000, 1000, true, false, 73, 73},
      {"paused keeps the last value", 1000, 800, false, true, 40, 40},
      {"paused with all bytes counted", 1000, 1000, false, true, 40, 99},
      {"last value above 100 is capped", 1000, 10, true, false, 250, 100},
      {"negative count is huge unsigned", 1000, -1, false, false, 0, 99},
      {"large file, exact double", int64_t{6} << 30, int64_t{3} << 30, false, false, 0, 50},
  };
  for (const Case& c : cases) {
    task.m_fileSize = c.size;
    task.m_uploaded = c.uploaded;
    task.m_finished = c.finished;
    task.m_pause = c.paused;
    task.m_lastPercent = c.lastPercent;
    task.m_status = 200;
    int rc = 0;
    UploadInfo info = Fill(&rc);
    EXPECT_EQ(rc, 0) << c.name;
    EXPECT_EQ(info.percent, c.percent) << c.name;
    EXPECT_EQ(info.fileSize, static_cast<uint64_t>(c.size)) << c.name;
    EXPECT_EQ(info.reserved, 0) << c.name;
  }
}

TEST_F(FillInfoTest, ComputedPercentIsRememberedForPause) {
  task.m_fileSize = 1000;
  task.m_status = 200;
  task.m_uploaded = 420;
  EXPECT_EQ(Fill().percent, 42);
  task.m_pause = true;
  task.m_uploaded = 900;
  EXPECT_EQ(Fill().percent, 42);
  task.m_pause = false;
  EXPECT_EQ(Fill().percent, 90);
}

TEST_F(FillInfoTest, SpeedIsZeroWhilePausedOrCancelledButTheMeterStillMoves) {
  task.m_fileSize = 100 << 20;
  task.m_status = 200;
  task.OnProgress(1);  // starts both windows at tick 100000
  task.OnProgress(3 * 1024 * 1000 - 1);
  platform.SetTick(101000);
  EXPECT_EQ(Fill().speed, 3000);  // 3072000 B over 1000 ms: 3072000 B/s, 3000 KiB/s

  task.m_pause = true;
  platform.SetTick(121000);  // 21 s after the window began: this call moves it on
  EXPECT_EQ(Fill().speed, 0);
  EXPECT_EQ(task.m_speed.windowStart, 121000u);
  EXPECT_EQ(task.m_speed.prevBytes, 3u * 1024 * 1000);

  task.m_pause = false;
  task.m_cancel = true;
  EXPECT_EQ(Fill().speed, 0);
}

TEST_F(FillInfoTest, AlreadyHeldFileCountsAsWhollySent) {
  task.m_fileSize = 5000;
  task.m_status = 409;
  task.m_finished = true;
  task.m_lastPercent = 0;
  UploadInfo info = Fill();
  EXPECT_EQ(info.state, UPLOAD_STATE_OK);
  EXPECT_EQ(task.m_uploaded.load(), 5000);
}

TEST_F(FillInfoTest, KnownResultUrlMeansDone) {
  task.m_fileSize = 1000;
  task.m_status = 200;
  task.m_uploaded = 10;
  task.OnProgress(5000);
  platform.SetTick(103000);
  task.SetResultUrl("http://h/f/abc");
  task.SetLinkId("L1");
  UploadInfo info = Fill();
  EXPECT_EQ(info.percent, 100);
  EXPECT_EQ(info.speed, 0);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(info.url)), u"http://h/f/abc");
  EXPECT_STREQ(chunkup_slot_text(&info.urlText), "http://h/f/abc");
  EXPECT_STREQ(chunkup_slot_text(&info.linkid), "L1");
}

TEST_F(FillInfoTest, OverlongResultUrlIsCutAndStaysTerminated) {
  task.m_fileSize = 1;
  task.m_status = 200;
  const std::string longUrl = "http://h/" + std::string(400, 'x');
  task.SetResultUrl(longUrl);
  UploadInfo info;
  std::memset(&info, 0xAB, sizeof info);  // garbage around the field must not matter
  std::memset(&info.url, 0xAB, sizeof info.url);
  task.FillInfo(&info);
  EXPECT_EQ(info.url[255], 0);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(info.url)).size(), 255u);
  EXPECT_EQ(info.urlText.length, longUrl.size());
  EXPECT_STREQ(chunkup_slot_text(&info.urlText), longUrl.c_str());
}

TEST(InfoTextTest, SlotLayout) {
  struct Case {
    size_t length;
    uint32_t capacity;
    bool inlined;
  } cases[] = {{1, 15, true}, {15, 15, true}, {16, 31, false}, {31, 31, false}, {32, 47, false}, {300, 303, false}};
  for (const Case& c : cases) {
    UploadTextSlot slot;
    std::memset(&slot, 0, sizeof slot);
    const std::string text(c.length, 'k');
    WriteSlotText(slot, text);
    EXPECT_EQ(slot.reserved, 0u);
    EXPECT_EQ(slot.length, c.length);
    EXPECT_EQ(slot.capacity, c.capacity);
    EXPECT_EQ(chunkup_slot_text(&slot) == slot.inline_text, c.inlined) << c.length;
    EXPECT_EQ(std::string(chunkup_slot_text(&slot)), text);
  }
  UploadTextSlot empty;
  std::memset(&empty, 0x5A, sizeof empty);
  WriteSlotText(empty, "");
  UploadTextSlot zero{};
  EXPECT_EQ(std::memcmp(&empty, &zero, sizeof zero), 0);
}

TEST_F(FillInfoTest, PollingALongUrlDoesNotAllocatePerPoll) {
  task.m_fileSize = 1;
  task.m_status = 200;
  task.SetResultUrl("http://127.0.0.1:8642/f/" + std::string(64, 'q'));
  task.SetLinkId(std::string(40, 'L'));
  const char* firstUrlBlock = nullptr;
  const char* firstLinkBlock = nullptr;
  for (int i = 0; i < 200000; ++i) {
    UploadInfo info = Fill();
    if (i == 0) {
      firstUrlBlock = chunkup_slot_text(&info.urlText);
      firstLinkBlock = chunkup_slot_text(&info.linkid);
    }
    ASSERT_EQ(chunkup_slot_text(&info.urlText), firstUrlBlock);
    ASSERT_EQ(chunkup_slot_text(&info.linkid), firstLinkBlock);
  }
  EXPECT_EQ(InternedTextCountForTesting() <= 64u, true);
}

TEST(SpeedMeterTest, RateTable) {
  struct Case {
    const char* name;
    uint32_t start;
    uint32_t bytes;
    uint32_t now;
    uint32_t rate;
  } cases[] = {
      {"1500 bytes over 1000 ms", 5000, 1500, 6000, 1000},
      {"999 bytes over 1000 ms", 5000, 999, 6000, 0},
      {"same tick as the start", 5000, 123456, 5000, 0},
      {"across the 32-bit wrap", 0xFFFFFC18u /* -1000 */, 4000, 1000, 2000},
  };
  for (const Case& c : cases) {
    SpeedMeter meter;
    meter.Start(c.start);
    meter.windowBytes = c.bytes;
    EXPECT_EQ(meter.Rate(c.now), c.rate) << c.name;
  }
}

TEST(SpeedMeterTest, WindowMovesOnAfterTheRateIsTaken) {
  SpeedMeter meter;
  meter.Start(1000);
  meter.windowBytes = 40000;
  EXPECT_EQ(meter.Rate(20999), 2000u);  // 19999 ms: no move yet
  EXPECT_EQ(meter.windowStart, 1000u);
  EXPECT_EQ(meter.Rate(21000), 2000u);  // computed before the move
  EXPECT_EQ(meter.prevStart, 1000u);
  EXPECT_EQ(meter.prevBytes, 40000u);
  EXPECT_EQ(meter.windowStart, 21000u);
  EXPECT_EQ(meter.windowBytes, 0u);
  meter.windowBytes = 20000;
  EXPECT_EQ(meter.Rate(31000), 2000u);  // 60000 bytes over 30 s, both windows
}

TEST(SpeedMeterTest, FirstRateStartsAnIdleMeter) {
  SpeedMeter meter;
  EXPECT_EQ(meter.Rate(7000), 0u);
  EXPECT_EQ(meter.windowStart, 7000u);
  EXPECT_EQ(meter.prevStart, 7000u);
}

TEST_F(FillInfoTest, ProgressCountsAndStartsTheMeterOnlyOnPositiveCounts) {
  platform.SetTick(5000);
  EXPECT_EQ(task.OnProgress(0), 0);
  EXPECT_EQ(task.OnProgress(-10), 0);
  EXPECT_EQ(task.m_uploaded.load(), -10);
  EXPECT_EQ(task.m_speed.windowStart, 0u);
  task.OnProgress(100);
  platform.SetTick(9000);
  task.OnProgress(50);
  EXPECT_EQ(task.m_uploaded.load(), 140);
  EXPECT_EQ(task.m_speed.windowStart, 5000u);
  EXPECT_EQ(task.m_speed.prevStart, 5000u);
  EXPECT_EQ(task.m_speed.windowBytes, 150u);
}

TEST_F(FillInfoTest, IsCancelledFollowsTheFlag) {
  EXPECT_FALSE(task.IsCancelled());
  task.m_cancel = true;
  EXPECT_TRUE(task.IsCancelled());
}

}  // namespace
}  // namespace chunkup

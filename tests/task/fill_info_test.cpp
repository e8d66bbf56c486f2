// How an upload's outcome, counts and flags turn into what the host reads.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "task/file_task.h"
#include "task/info_text.h"
#include "tests/support/fake_platform.h"
#include "tests/support/temp_dir.h"

namespace chunkup {
namespace {

using testing::FakePlatform;

UploadInfo Compose(const InfoInputs& in, int32_t* lastPercent, int* result = nullptr) {
  UploadInfo info;
  std::memset(&info, 0, sizeof info);
  const int rc = ComposeUploadInfo(in, lastPercent, &info);
  if (result) *result = rc;
  return info;
}

TEST(StateForOutcomeTest, MapsEveryKindOfOutcome) {
  struct Case {
    const char* name;
    Outcome outcome;
    int32_t state;
  } cases[] = {
      {"running or committed", Outcome::Ok(), UPLOAD_STATE_OK},
      {"already held", Outcome::Of(OutcomeKind::kAlreadyHeld), UPLOAD_STATE_OK},
      {"cancelled", Outcome::Of(OutcomeKind::kCancelled), UPLOAD_STATE_OK},
      {"time-out", Outcome::Transport(28), UPLOAD_STATE_TIMEOUT},
      {"connection refused", Outcome::Transport(7), UPLOAD_STATE_FAILED},
      {"aborted", Outcome::Transport(42), UPLOAD_STATE_FAILED},
      {"chunk failed", Outcome::Of(OutcomeKind::kChunkFailed), UPLOAD_STATE_TRANSFER_FAILED},
      {"400", Outcome::Http(400), UPLOAD_STATE_REFUSED},
      {"409 outside the prepare", Outcome::Http(409), UPLOAD_STATE_REFUSED},
      {"500", Outcome::Http(500), UPLOAD_STATE_REFUSED},
      {"201", Outcome::Http(201), UPLOAD_STATE_FAILED},
      {"a status of 28 is not a time-out", Outcome::Http(28), UPLOAD_STATE_FAILED},
      {"no status line", Outcome::Of(OutcomeKind::kUnusableReply), UPLOAD_STATE_FAILED},
      {"file unreadable", Outcome::File(OutcomeKind::kFileUnreadable, 5), UPLOAD_STATE_FAILED},
  };
  for (const Case& c : cases) EXPECT_EQ(StateForOutcome(c.outcome), c.state) << c.name;
}

TEST(ComposeUploadInfoTest, UnknownSizeWritesNothingUnlessTheFileWasUnreadable) {
  int32_t last = 0;
  int rc = 0;
  UploadInfo info = Compose(InfoInputs{}, &last, &rc);
  EXPECT_EQ(rc, -1);
  UploadInfo zero;
  std::memset(&zero, 0, sizeof zero);
  EXPECT_EQ(std::memcmp(&info, &zero, sizeof info), 0);

  InfoInputs unreadable;
  unreadable.outcome = Outcome::File(OutcomeKind::kFileUnreadable, -2);
  unreadable.finished = true;
  info = Compose(unreadable, &last, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(info.state, UPLOAD_STATE_FAILED);
  EXPECT_EQ(info.fileSize, 0u);
}

TEST(ComposeUploadInfoTest, PercentTable) {
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
      {"over-counted, not finished", 1000, 2500, false, false, 0, 99},
      {"finished keeps the last value", 1000, 1000, true, false, 73, 73},
      {"paused keeps the last value", 1000, 800, false, true, 40, 40},
      {"paused with all bytes counted", 1000, 1000, false, true, 40, 99},
      {"last value above 100 is capped", 1000, 10, true, false, 250, 100},
      {"a negative count is none", 1000, -1, false, false, 0, 0},
      {"large file, exact double", int64_t{6} << 30, int64_t{3} << 30, false, false, 0, 50},
  };
  for (const Case& c : cases) {
    InfoInputs in;
    in.fileSize = c.size;
    in.uploaded = c.uploaded;
    in.finished = c.finished;
    in.paused = c.paused;
    int32_t last = c.lastPercent;
    int rc = 0;
    UploadInfo info = Compose(in, &last, &rc);
    EXPECT_EQ(rc, 0) << c.name;
    EXPECT_EQ(info.percent, c.percent) << c.name;
    EXPECT_EQ(info.fileSize, static_cast<uint64_t>(c.size)) << c.name;
    EXPECT_EQ(info.reserved, 0) << c.name;
  }
}

TEST(ComposeUploadInfoTest, ComputedPercentIsRememberedForPause) {
  InfoInputs in;
  in.fileSize = 1000;
  in.uploaded = 420;
  int32_t last = 0;
  EXPECT_EQ(Compose(in, &last).percent, 42);
  in.paused = true;
  in.uploaded = 900;
  EXPECT_EQ(Compose(in, &last).percent, 42);
  in.paused = false;
  EXPECT_EQ(Compose(in, &last).percent, 90);
}

TEST(ComposeUploadInfoTest, SpeedIsKibPerSecondAndZeroWhilePausedOrCancelled) {
  InfoInputs in;
  in.fileSize = 100 << 20;
  in.rate = 3072000;
  int32_t last = 0;
  EXPECT_EQ(Compose(in, &last).speed, 3000);
  in.rate = uint64_t{1} << 50;  // far beyond any link: capped, never negative
  EXPECT_EQ(Compose(in, &last).speed, INT32_MAX);
  in.paused = true;
  EXPECT_EQ(Compose(in, &last).speed, 0);
  in.paused = false;
  in.cancelled = true;
  EXPECT_EQ(Compose(in, &last).speed, 0);
}

TEST(ComposeUploadInfoTest, AlreadyHeldFileCountsAsWhollySent) {
  InfoInputs in;
  in.fileSize = 5000;
  in.outcome = Outcome::Of(OutcomeKind::kAlreadyHeld);
  int32_t last = 0;
  UploadInfo info = Compose(in, &last);
  EXPECT_EQ(info.state, UPLOAD_STATE_OK);
  EXPECT_EQ(info.percent, 99);
}

TEST(ComposeUploadInfoTest, KnownResultUrlMeansDone) {
  InfoInputs in;
  in.fileSize = 1000;
  in.uploaded = 10;
  in.rate = 5000;
  in.resultUrl = u"http://h/f/abc";
  in.resultUrlText = "http://h/f/abc";
  in.linkId = "L1";
  int32_t last = 0;
  UploadInfo info = Compose(in, &last);
  EXPECT_EQ(info.percent, 100);
  EXPECT_EQ(info.speed, 0);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(info.url)), u"http://h/f/abc");
  EXPECT_STREQ(chunkup_slot_text(&info.urlText), "http://h/f/abc");
  EXPECT_STREQ(chunkup_slot_text(&info.linkid), "L1");
}

TEST(ComposeUploadInfoTest, OverlongResultUrlIsCutAndStaysTerminated) {
  const std::string longUrl = "http://h/" + std::string(400, 'x');
  const std::u16string wide(longUrl.begin(), longUrl.end());
  InfoInputs in;
  in.fileSize = 1;
  in.resultUrl = wide;
  in.resultUrlText = longUrl;
  UploadInfo info;
  std::memset(&info, 0xAB, sizeof info);  // garbage around the field must not matter
  int32_t last = 0;
  ComposeUploadInfo(in, &last, &info);
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

TEST(ComposeUploadInfoTest, PollingALongUrlDoesNotAllocatePerPoll) {
  const std::string url = "http://127.0.0.1:8642/f/" + std::string(64, 'q');
  const std::u16string wide(url.begin(), url.end());
  const std::string linkId(40, 'L');
  InfoInputs in;
  in.fileSize = 1;
  in.resultUrl = wide;
  in.resultUrlText = url;
  in.linkId = linkId;
  int32_t last = 0;
  const char* firstUrlBlock = nullptr;
  const char* firstLinkBlock = nullptr;
  for (int i = 0; i < 200000; ++i) {
    UploadInfo info = Compose(in, &last);
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
    uint64_t start;
    uint64_t bytes;
    uint64_t now;
    uint64_t rate;
  } cases[] = {
      {"1500 bytes over 1000 ms", 5000, 1500, 6000, 1000},
      {"999 bytes over 1000 ms", 5000, 999, 6000, 0},
      {"same tick as the start", 5000, 123456, 5000, 0},
      {"a clock past 32 bits", 0x100000000ull, 4000, 0x100000000ull + 2000, 2000},
      // 200 MB/s for 20 s: the byte count is far past 32 bits.
      {"200 MB/s", 1000, 4000000000ull, 21000, 200000000},
      {"6 GiB in 20 s", 1000, 6ull << 30, 21000, (6ull << 30) / 20000 * 1000},
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

// Through the task: the meter starts on the first counted bytes, and a rate
// far above 107 MB/s (where the old 32-bit counters wrapped) reads steadily.
TEST(TaskSpeedTest, FastUploadShowsASteadySpeed) {
  FakePlatform platform;
  platform.SetTick(5000);
  testing::TempDir dir;
  // Port 1 is closed: the prepare fails at once and the task ends, its size known.
  CFileTask task(0, platform, Endpoints{"127.0.0.1:1", "http://127.0.0.1:1"});
  task.Run(testing::U16(dir.WriteFile("big.bin", std::string(1000, 'b'))));
  ASSERT_TRUE(task.IsFinished());

  EXPECT_EQ(task.OnProgress(-10), 0);  // a take-back never starts the meter
  // 4 MiB handed over every 20 ms, about 210 MB/s, polled once a second.
  constexpr int32_t kPiece = 4 << 20;
  std::vector<int32_t> speeds;
  for (int step = 1; step <= 3000; ++step) {
    task.OnProgress(kPiece);
    platform.AdvanceTick(20);
    if (step % 50 == 0) {
      UploadInfo info{};
      ASSERT_EQ(task.FillInfo(&info), 0);
      speeds.push_back(info.speed);
    }
  }
  const int32_t expected = static_cast<int32_t>(uint64_t{kPiece} / 20 * 1000 / 1024);  // 204,800 KiB/s
  for (size_t i = 0; i < speeds.size(); ++i) {
    EXPECT_GT(speeds[i], expected * 9 / 10) << "second " << i + 1;
    EXPECT_LE(speeds[i], expected) << "second " << i + 1;
  }
}

}  // namespace
}  // namespace chunkup

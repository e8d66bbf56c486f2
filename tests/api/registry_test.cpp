// Identifiers, path matching and the life of registry entries. Uploads here
// aim at a closed loopback port, so they fail fast; what matters is the
// registry's bookkeeping around them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <thread>

#include "api/task_registry.h"
#include "tests/support/fake_platform.h"
#include "tests/support/temp_dir.h"

namespace chunkup {
namespace {

using testing::FakePlatform;
using testing::TempDir;
using testing::U16;

const Endpoints kClosedPort{"127.0.0.1:1", "http://127.0.0.1:1"};

class RegistryTest : public ::testing::Test {
 protected:
  RegistryTest() {
    platform.SetTick(1);
    platform.SetSleepAdvancesClock(true);  // report passes need no real waiting
  }
  uint32_t Add(const std::u16string& path, CTaskRegistry& r) {
    uint32_t id = 0xDEADBEEF;
    EXPECT_EQ(r.AddTask(path, &id, 0), 0);
    return id;
  }
  uint32_t Add(const std::string& path) { return Add(U16(path), registry); }
  bool AllZero(uint32_t id) {
    UploadInfo info;
    std::memset(&info, 0x77, sizeof info);
    EXPECT_EQ(registry.GetInfo(id, &info), 0);
    UploadInfo zero;
    std::memset(&zero, 0, sizeof zero);
    return std::memcmp(&info, &zero, sizeof info) == 0;
  }

  FakePlatform platform;
  CTaskRegistry registry{platform, kClosedPort};
  TempDir dir;
};

TEST_F(RegistryTest, IdentifiersCountUpAndLivePathsKeepTheirs) {
  const std::string a = dir.WriteFile("a.bin", "aaa");
  const std::string b = dir.WriteFile("b.bin", "bbbb");
  const std::string missing = (dir.path() / "missing.bin").string();

  EXPECT_EQ(Add(a), 1u);
  EXPECT_EQ(Add(b), 2u);
  EXPECT_EQ(Add(a), 1u) << "a task that ended without a cancel keeps its path";
  EXPECT_EQ(Add(missing), 3u);
  EXPECT_EQ(Add(missing), 3u) << "without a cancel, a missing file's task keeps its path";
  EXPECT_TRUE(AllZero(3));
  EXPECT_EQ(Add(b), 2u);
}

TEST_F(RegistryTest, PathsAreComparedExactly) {
  const std::string a = dir.WriteFile("Same.bin", "x");
  const std::string d = dir.path().string();
  const std::string spellings[] = {a, d + "/same.bin", d + "//Same.bin", d + "/./Same.bin", a + "\u00a0"};
  uint32_t expected = 1;
  for (const std::string& p : spellings) EXPECT_EQ(Add(p), expected++) << p;
  EXPECT_EQ(Add(a), 1u);
}

TEST_F(RegistryTest, CancelledAndFinishedTaskMakesWayForANewUpload) {
  const std::string a = dir.WriteFile("a.bin", "payload");
  ASSERT_EQ(Add(a), 1u);
  EXPECT_FALSE(AllZero(1));
  EXPECT_EQ(registry.Cancel(1), 0);
  EXPECT_EQ(Add(a), 2u);
  EXPECT_TRUE(AllZero(1)) << "the old entry is gone";
  EXPECT_FALSE(AllZero(2));
  EXPECT_EQ(Add(dir.WriteFile("b.bin", "b")), 3u) << "a purged identifier is never issued again";
}

// A missing file ends its task at once; cancelled, it makes way like any
// other, so the path can be uploaded once the file is there.
TEST_F(RegistryTest, CancelledTaskOfAMissingFileIsReleased) {
  const std::string missing = (dir.path() / "gone.bin").string();
  ASSERT_EQ(Add(missing), 1u);
  EXPECT_TRUE(AllZero(1)) << "no size, no state";
  registry.Cancel(1);
  dir.WriteFile("gone.bin", "here now");
  EXPECT_EQ(Add(missing), 2u);
  EXPECT_FALSE(AllZero(2));
}

// The identifier is written as soon as the task is registered, so another
// host thread can follow (and steer) the upload while UploadFile blocks.
TEST_F(RegistryTest, TaskIdIsWrittenBeforeTheUploadEnds) {
  const std::string a = dir.WriteFile("follow.bin", "follow me");
  std::mutex lock;
  std::condition_variable changed;
  bool held = false, released = false;
  platform.SetOpenHook([&] {
    std::unique_lock<std::mutex> hold(lock);
    held = true;
    changed.notify_all();
    changed.wait_for(hold, std::chrono::seconds(20), [&] { return released; });
  });
  uint32_t id = 0;  // the host's variable; guarded by `lock` once the hook holds the upload
  std::thread uploader([&] { registry.AddTask(U16(a), &id, 0); });
  {
    std::unique_lock<std::mutex> hold(lock);
    ASSERT_TRUE(changed.wait_for(hold, std::chrono::seconds(20), [&] { return held; }));
    EXPECT_EQ(id, 1u) << "written while the upload is still at its first open";
    UploadInfo info{};
    EXPECT_EQ(registry.GetInfo(id, &info), 0);
    released = true;
    changed.notify_all();
  }
  uploader.join();
  platform.SetOpenHook(nullptr);
  EXPECT_EQ(id, 1u);
}

// A task whose UploadFile call is still running must not be destroyed, even
// once it is both cancelled and finished.
TEST_F(RegistryTest, TaskStillInUseIsNotPurged) {
  const std::string a = dir.WriteFile("busy.bin", "busy");
  std::mutex lock;
  std::condition_variable changed;
  bool openReleased = false, inPauseWait = false, sleepReleased = false;

  platform.SetOpenHook([&] {
    std::unique_lock<std::mutex> hold(lock);
    changed.wait_for(hold, std::chrono::seconds(20), [&] { return openReleased; });
  });
  platform.SetSleepHook([&](uint32_t ms) {
    if (ms != 2000) return;  // only the completion thread's pause wait
    std::unique_lock<std::mutex> hold(lock);
    inPauseWait = true;
    changed.notify_all();
    changed.wait_for(hold, std::chrono::seconds(20), [&] { return sleepReleased; });
  });

  std::thread uploader([&] { EXPECT_EQ(Add(a), 1u); });
  // The task is registered once its file is being opened; flag it then.
  for (int i = 0; i < 2000 && platform.OpenCalls() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::lock_guard<std::mutex> hold(lock);
    if (registry.Cancel(1) == 0) registry.Pause(1);
  }
  registry.Cancel(1);
  registry.Pause(1);
  {
    std::unique_lock<std::mutex> hold(lock);
    openReleased = true;
    changed.notify_all();
    ASSERT_TRUE(changed.wait_for(hold, std::chrono::seconds(20), [&] { return inPauseWait; }));
  }
  // Cancelled and finished, but its completion thread is still at work.
  EXPECT_EQ(Add(a), 1u);
  {
    std::lock_guard<std::mutex> hold(lock);
    sleepReleased = true;
    changed.notify_all();
  }
  uploader.join();
  platform.SetOpenHook(nullptr);
  platform.SetSleepHook(nullptr);
  EXPECT_EQ(Add(a), 2u) << "once UploadFile has returned, the task makes way";
}

TEST_F(RegistryTest, IdentifiersRunOutWithoutWrappingToZero) {
  CTaskRegistry nearEnd(platform, kClosedPort, std::numeric_limits<uint32_t>::max() - 1);
  const std::u16string a = U16(dir.WriteFile("a.bin", "a"));
  EXPECT_EQ(Add(a, nearEnd), std::numeric_limits<uint32_t>::max());
  uint32_t id = 12345;
  EXPECT_EQ(nearEnd.AddTask(U16(dir.WriteFile("b.bin", "b")), &id, 0), -1);
  EXPECT_EQ(id, 12345u) << "nothing is written when no identifier is left";
  EXPECT_EQ(Add(a, nearEnd), std::numeric_limits<uint32_t>::max()) << "known paths still answer";
}

TEST_F(RegistryTest, ArgumentChecks) {
  uint32_t id = 99;
  EXPECT_EQ(registry.AddTask(u"", &id, 0), 0);
  EXPECT_EQ(id, 99u);
  EXPECT_EQ(registry.AddTask(U16(dir.WriteFile("a", "a")), nullptr, 0), 0);
  UploadInfo info;
  EXPECT_EQ(registry.GetInfo(0, &info), -1);
  EXPECT_EQ(registry.GetInfo(1, nullptr), -1);
  EXPECT_EQ(registry.Cancel(0), -1);
  EXPECT_EQ(registry.Pause(0), -1);
  EXPECT_EQ(registry.Restart(0), -1);
  EXPECT_EQ(registry.Cancel(7), 0);
  EXPECT_EQ(registry.Pause(7), 0);
  EXPECT_EQ(registry.Restart(7), 0);
  EXPECT_TRUE(AllZero(7));
  EXPECT_EQ(Add(dir.WriteFile("b", "b")), 1u) << "nothing was registered by the rejected calls";
}

}  // namespace
}  // namespace chunkup

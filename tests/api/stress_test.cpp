// Many host threads calling every entry point at once, on shared and fresh
// identifiers, while uploads run and end. Run under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "api/task_registry.h"
#include "chunkup.h"
#include "tests/support/fake_platform.h"
#include "tests/support/temp_dir.h"

namespace chunkup {
namespace {

using testing::FakePlatform;
using testing::TempDir;
using testing::U16;

TEST(RegistryStressTest, AllEntryPointsFromManyThreads) {
  FakePlatform platform;
  platform.SetTick(1);
  platform.SetSleepAdvancesClock(true);
  CTaskRegistry registry(platform, Endpoints{"127.0.0.1:1", "http://127.0.0.1:1"});
  TempDir dir;
  std::vector<std::u16string> shared;
  for (int i = 0; i < 4; ++i) shared.push_back(U16(dir.WriteFile("shared" + std::to_string(i), std::string(1000 + i, 's'))));

  constexpr int kThreads = 8;
  constexpr int kRounds = 40;
  std::atomic<uint32_t> highestSeen{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t));
      for (int round = 0; round < kRounds; ++round) {
        const uint32_t someId = 1 + rng() % (highestSeen.load() + 2);
        UploadInfo info;
        switch (rng() % 6) {
          case 0: {
            uint32_t id = 0;
            const std::u16string& path = shared[rng() % shared.size()];
            ASSERT_EQ(registry.AddTask(path, &id, 0), 0);
            ASSERT_NE(id, 0u);
            uint32_t seen = highestSeen.load();
            while (id > seen && !highestSeen.compare_exchange_weak(seen, id)) {
            }
            break;
          }
          case 1: {
            uint32_t id = 0;
            std::u16string fresh = U16(dir.WriteFile("t" + std::to_string(t) + "-" + std::to_string(round), "fresh"));
            ASSERT_EQ(registry.AddTask(fresh, &id, 0), 0);
            ASSERT_NE(id, 0u);
            break;
          }
          case 2:
            ASSERT_EQ(registry.GetInfo(someId, &info), 0);
            ASSERT_LE(info.percent, 100);
            break;
          case 3: ASSERT_EQ(registry.Cancel(someId), 0); break;
          case 4: ASSERT_EQ(registry.Pause(someId), 0); break;
          default: ASSERT_EQ(registry.Restart(someId), 0); break;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
}

// The real exports share one process-wide registry; hammer the paths that
// need no service: argument checks, unknown identifiers and missing files.
TEST(ExportsStressTest, ArgumentChecksAndMissingFilesFromManyThreads) {
  TempDir dir;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      const std::u16string missing = U16((dir.path() / ("missing" + std::to_string(t % 3))).string());
      for (int i = 0; i < 200; ++i) {
        uint32_t id = 0;
        ASSERT_EQ(UploadFile(reinterpret_cast<const chunkup_char16*>(missing.c_str()), &id, 0), 0);
        ASSERT_NE(id, 0u);
        UploadInfo info;
        ASSERT_EQ(GetUploadInfo(id, &info), 0);
        ASSERT_EQ(info.state, UPLOAD_STATE_NONE);
        ASSERT_EQ(PauseUpload(id), 0);
        ASSERT_EQ(RestartUpload(id), 0);
        ASSERT_EQ(CancelUpload(id + 1000000), 0);
        ASSERT_EQ(GetUploadInfo(0, &info), -1);
        ASSERT_EQ(UploadFile(nullptr, &id, 0), -1);
      }
    });
  }
  for (auto& thread : threads) thread.join();
}

}  // namespace
}  // namespace chunkup

// Uploads in flight against the reference service while other host threads
// poll, pause, resume and cancel them: every shared field of a task is read
// and written at once. Run under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "api/task_registry.h"
#include "tests/support/fake_platform.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_dir.h"

namespace chunkup {
namespace {

using testing::FakePlatform;
using testing::ServiceProcess;
using testing::TempDir;
using testing::U16;

TEST(UploadStressTest, ControlAndPollWhileUploadsRun) {
  ServiceProcess service;
  FakePlatform platform;  // records opened pages instead of starting a browser
  CTaskRegistry registry(platform, Endpoints{service.HostPort(), service.BaseUrl()});
  TempDir dir;

  constexpr int kUploaders = 3;
  constexpr int kFilesEach = 3;
  std::atomic<int> uploadersLeft{kUploaders};
  std::atomic<uint32_t> highestId{0};
  std::vector<std::thread> threads;
  for (int u = 0; u < kUploaders; ++u) {
    threads.emplace_back([&, u] {
      std::mt19937 rng(static_cast<unsigned>(u));
      for (int f = 0; f < kFilesEach; ++f) {
        // Two chunks, the second short; distinct content per file.
        std::string bytes(4194304 + 1000 + static_cast<size_t>(u * 10 + f), '\0');
        for (auto& b : bytes) b = static_cast<char>(rng());
        const std::u16string path = U16(dir.WriteFile("u" + std::to_string(u) + "f" + std::to_string(f), bytes));
        uint32_t id = 0;
        ASSERT_EQ(registry.AddTask(path, &id, 0), 0);
        ASSERT_NE(id, 0u);
        uint32_t seen = highestId.load();
        while (id > seen && !highestId.compare_exchange_weak(seen, id)) {
        }
      }
      --uploadersLeft;
    });
  }
  for (int c = 0; c < 3; ++c) {
    threads.emplace_back([&, c] {
      std::mt19937 rng(static_cast<unsigned>(100 + c));
      // Bounded: stops when the uploads are done, or after 3000 steps.
      for (int step = 0; step < 3000 && uploadersLeft.load() > 0; ++step) {
        const uint32_t id = 1 + rng() % (highestId.load() + 1);
        UploadInfo info;
        switch (rng() % 10) {
          case 0: registry.Pause(id); break;
          case 1: case 2: registry.Restart(id); break;
          case 3: if (rng() % 8 == 0) registry.Cancel(id); break;
          default:
            ASSERT_EQ(registry.GetInfo(id, &info), 0);
            ASSERT_LE(info.percent, 100);
            ASSERT_GE(info.speed, 0);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      // Leave no task held in a pause wait.
      for (uint32_t id = 1; id <= highestId.load() + kUploaders; ++id) registry.Restart(id);
    });
  }
  // Keep releasing pauses until the uploaders are through (bounded by their work).
  threads.emplace_back([&] {
    for (int i = 0; i < 12000 && uploadersLeft.load() > 0; ++i) {
      for (uint32_t id = 1; id <= highestId.load() + 1; ++id) registry.Restart(id);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  for (auto& thread : threads) thread.join();

  for (uint32_t id = 1; id <= highestId.load(); ++id) {
    UploadInfo info;
    ASSERT_EQ(registry.GetInfo(id, &info), 0);
    EXPECT_NE(info.state, UPLOAD_STATE_NONE) << "task " << id << " read its file";
  }
}

}  // namespace
}  // namespace chunkup

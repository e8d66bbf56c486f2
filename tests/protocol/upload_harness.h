// Helpers for driving real uploads against the reference service: files with
// chosen content, and a task run on its own thread with bounded waits.
#pragma once

#include <atomic>
#include <chrono>
#include <cstring>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "task/file_task.h"
#include "tests/support/fake_platform.h"
#include "tests/support/random_bytes.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_for.h"

namespace chunkup::testing {

inline constexpr uint32_t kChunk = 4194304;

// One CFileTask whose Run (upload and completion) goes on a thread of its
// own, so the test can watch and steer it meanwhile.
class TaskRun {
 public:
  // `beforeRun`, when given, runs on the task's thread just before Run.
  TaskRun(Platform& platform, Endpoints endpoints, const std::string& path,
          std::function<void(CFileTask&)> beforeRun = nullptr)
      : m_task(std::make_unique<CFileTask>(0, platform, std::move(endpoints))) {
    m_thread = std::thread([this, wide = U16(path), beforeRun = std::move(beforeRun)] {
      if (beforeRun) beforeRun(*m_task);
      m_task->Run(wide);
      m_done = true;
    });
  }
  ~TaskRun() {
    // Never leave a worker blocked: a run the test gave up on is cancelled.
    if (!m_done) {
      m_task->Cancel();
      m_task->Restart();
    }
    m_thread.join();
  }
  TaskRun(const TaskRun&) = delete;
  TaskRun& operator=(const TaskRun&) = delete;

  CFileTask& task() { return *m_task; }
  bool done() const { return m_done; }
  bool Wait(std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    return WaitFor([this] { return m_done.load(); }, limit);
  }
  UploadInfo Info() {
    UploadInfo info{};
    m_task->FillInfo(&info);
    return info;
  }

 private:
  std::unique_ptr<CFileTask> m_task;
  std::atomic<bool> m_done{false};
  std::thread m_thread;
};

}  // namespace chunkup::testing

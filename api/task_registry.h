#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "chunkup.h"
#include "platform/platform.h"
#include "task/file_task.h"

namespace chunkup {

// The one collection of upload tasks: issues identifiers, owns the tasks and
// keeps each after its upload so its final state stays readable.
class CTaskRegistry {
 public:
  // With no endpoints, each task takes them from the environment when it
  // starts (Endpoints::FromEnvironment).
  CTaskRegistry(Platform& platform, std::optional<Endpoints> endpoints, uint32_t lastId = 0);
  CTaskRegistry(const CTaskRegistry&) = delete;
  CTaskRegistry& operator=(const CTaskRegistry&) = delete;

  // The process-wide registry on the system platform, with endpoints read
  // from the environment for every task; made on first use (thread-safe) and
  // never destroyed.
  static CTaskRegistry& Instance();

  // Registers and runs an upload, or hands back the identifier of the live
  // task for the same path. Blocks while a new task runs. -1 only once every
  // identifier has been issued.
  int32_t AddTask(const std::u16string& path, uint32_t* taskId, int32_t option);
  int32_t GetInfo(uint32_t taskId, UploadInfo* info);
  int32_t Cancel(uint32_t taskId);
  int32_t Pause(uint32_t taskId);
  int32_t Restart(uint32_t taskId);

 private:
  struct TaskEntry {
    std::u16string path;
    std::unique_ptr<CFileTask> task;
  };
  template <typename Action>
  int32_t WithTask(uint32_t taskId, Action action);

  Platform& m_platform;
  const std::optional<Endpoints> m_endpoints;
  std::mutex m_lock;  // guards m_lastId and m_tasks
  uint32_t m_lastId;
  std::map<uint32_t, TaskEntry> m_tasks;
};

}  // namespace chunkup

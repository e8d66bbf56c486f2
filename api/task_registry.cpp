#include "api/task_registry.h"

#include <cstring>
#include <limits>

namespace chunkup {

CTaskRegistry::CTaskRegistry(Platform& platform, Endpoints endpoints, uint32_t lastId)
    : m_platform(platform), m_endpoints(std::move(endpoints)), m_lastId(lastId) {}

CTaskRegistry& CTaskRegistry::Instance() {
  // Leaked on purpose: upload threads may still run while the process exits.
  static CTaskRegistry* instance = new CTaskRegistry(SystemPlatform(), Endpoints::BuildDefaults());
  return *instance;
}

int32_t CTaskRegistry::AddTask(const std::u16string& path, uint32_t* taskId, int32_t option) {
  if (path.empty() || taskId == nullptr) return 0;

  CFileTask* task = nullptr;
  uint32_t id = 0;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    bool liveFound = false;
    for (auto it = m_tasks.begin(); it != m_tasks.end();) {
      if (it->second.path != path) {
        ++it;
        continue;
      }
      CFileTask& existing = *it->second.task;
      // A cancelled and finished task makes way for a new upload, but only
      // once its UploadFile call is done with it.
      if (existing.IsCancelled() && existing.IsFinished() && !existing.InUse()) {
        it = m_tasks.erase(it);
        continue;
      }
      *taskId = it->first;
      liveFound = true;
      ++it;
    }
    if (liveFound) return 0;
    if (m_lastId == std::numeric_limits<uint32_t>::max()) return -1;  // identifiers are never reused

    id = ++m_lastId;
    auto created = std::make_unique<CFileTask>(option, m_platform, m_endpoints);
    task = created.get();
    task->SetInUse(true);
    m_tasks.emplace(id, TaskEntry{path, std::move(created)});
    // Written now, so the host can follow the upload it has just started
    // from another thread; written again when the upload is done.
    *taskId = id;
  }

  task->Run(path);
  task->SetInUse(false);  // the last touch: from here on the registry may purge it
  *taskId = id;
  return 0;
}

template <typename Action>
int32_t CTaskRegistry::WithTask(uint32_t taskId, Action action) {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_tasks.find(taskId);
  if (it != m_tasks.end()) action(*it->second.task);
  return 0;
}

int32_t CTaskRegistry::GetInfo(uint32_t taskId, UploadInfo* info) {
  if (taskId == 0 || info == nullptr) return -1;
  std::memset(info, 0, sizeof *info);
  return WithTask(taskId, [info](CFileTask& task) { task.FillInfo(info); });
}

int32_t CTaskRegistry::Cancel(uint32_t taskId) {
  if (taskId == 0) return -1;
  return WithTask(taskId, [](CFileTask& task) { task.Cancel(); });
}

int32_t CTaskRegistry::Pause(uint32_t taskId) {
  if (taskId == 0) return -1;
  return WithTask(taskId, [](CFileTask& task) { task.Pause(); });
}

int32_t CTaskRegistry::Restart(uint32_t taskId) {
  if (taskId == 0) return -1;
  return WithTask(taskId, [](CFileTask& task) { task.Restart(); });
}

}  // namespace chunkup

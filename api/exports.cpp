// The five functions hosts call. Each checks its arguments, then hands over
// to the process-wide registry.
#include "api/task_registry.h"
#include "chunkup.h"

using chunkup::CTaskRegistry;

extern "C" {

CHUNKUP_EXPORT int32_t CHUNKUP_CALL UploadFile(const chunkup_char16* path, uint32_t* taskId, int32_t option) {
  if (path == nullptr || taskId == nullptr) return -1;
  std::u16string text(reinterpret_cast<const char16_t*>(path));
  return CTaskRegistry::Instance().AddTask(text, taskId, option);
}

CHUNKUP_EXPORT int32_t CHUNKUP_CALL GetUploadInfo(uint32_t taskId, UploadInfo* info) {
  if (taskId == 0 || info == nullptr) return -1;
  return CTaskRegistry::Instance().GetInfo(taskId, info);
}

CHUNKUP_EXPORT int32_t CHUNKUP_CALL CancelUpload(uint32_t taskId) {
  if (taskId == 0) return -1;
  return CTaskRegistry::Instance().Cancel(taskId);
}

CHUNKUP_EXPORT int32_t CHUNKUP_CALL PauseUpload(uint32_t taskId) {
  if (taskId == 0) return -1;
  return CTaskRegistry::Instance().Pause(taskId);
}

CHUNKUP_EXPORT int32_t CHUNKUP_CALL RestartUpload(uint32_t taskId) {
  if (taskId == 0) return -1;
  return CTaskRegistry::Instance().Restart(taskId);
}

}  // extern "C"

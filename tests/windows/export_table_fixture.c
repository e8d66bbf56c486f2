/* Stand-ins for the five exports, for DLLs whose export tables are wrong on
 * purpose: the export table check must reject each of them. */
#include <stdint.h>

#if defined(CHUNKUP_FIXTURE_HELPER_ONLY)
__declspec(dllexport) int32_t HelperValue(void) { return 1; }
#else
#if defined(CHUNKUP_FIXTURE_USES_HELPER)
__declspec(dllimport) int32_t HelperValue(void);
#define FIXTURE_RESULT HelperValue()
#else
#define FIXTURE_RESULT 0
#endif
int32_t __stdcall UploadFile(const void* path, uint32_t* taskId, int32_t option) {
  (void)path, (void)taskId, (void)option;
  return FIXTURE_RESULT;
}
int32_t __stdcall GetUploadInfo(uint32_t taskId, void* info) {
  (void)taskId, (void)info;
  return 0;
}
int32_t __stdcall CancelUpload(uint32_t taskId) { return (int32_t)taskId; }
int32_t __stdcall PauseUpload(uint32_t taskId) { return (int32_t)taskId; }
int32_t __stdcall RestartUpload(uint32_t taskId) { return (int32_t)taskId; }
int32_t ExtraHelper(void) { return 0; }
#endif

#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "chunkup.h"
#include "platform/platform.h"
#include "task/speed_meter.h"
#include "task/task_callback.h"

namespace chunkup {

// Where a task sends its requests. The exports use the build's constants,
// overridden from the environment when a task starts; tests aim a task at a
// server on an ephemeral port.
struct Endpoints {
  std::string fileServiceHost;  // "host:port" (plain HTTP) or "http[s]://host:port"
  std::string webBaseUrl;       // "http[s]://host:port", no trailing slash

  static Endpoints BuildDefaults();
  // The build defaults, each replaced by CHUNKUP_FILE_SERVICE_HOST or
  // CHUNKUP_WEB_BASE_URL when that is set and not empty. Whoever controls the
  // environment controls where files go, as with http_proxy.
  static Endpoints FromEnvironment();
};

// One upload of one file: the upload thread (hashing, prepare, chunks, commit)
// and then the completion thread (reports, result page).
//
// Sharing between threads: the flags, counters and status are atomics. The
// speed meter and the result strings are guarded by m_fieldsLock, which
// FillInfo holds for its whole run (it runs both under the registry lock and
// on the completion thread). m_path and m_name are written by Run before any
// worker starts. The digest table, chunk count and last-write time belong to
// the upload thread.
class CFileTask final : public ITskCallBack {
 public:
  CFileTask(int32_t option, Platform& platform, Endpoints endpoints);
  ~CFileTask();
  CFileTask(const CFileTask&) = delete;
  CFileTask& operator=(const CFileTask&) = delete;

  // Checks the path, then runs the upload thread and the completion thread
  // one after the other, waiting for each.
  void Run(const std::u16string& path);
  // Body of the upload thread; returns the hashing step's result.
  int32_t Upload();
  // Body of the completion thread (report/).
  int32_t Report();
  // Makes a fresh page UUID and the two web-site URLs from it (report/).
  void MakePageUrls();
  // Fills `info` (not zeroed here); -1 without writing while the size is 0.
  int FillInfo(UploadInfo* info);

  int32_t OnProgress(int32_t count) override;
  bool IsCancelled() override;

  Platform& platform() const { return m_platform; }
  const Endpoints& endpoints() const { return m_endpoints; }

  // Result strings, each written whole under the lock.
  void SetResultUrl(const std::string& text);  // keeps the text and its UTF-16 form
  void SetLinkId(const std::string& id);
  void SetPageUrls(std::string uploadPageUrl, std::string receivePageUrl);
  std::string ResultUrlText() const;
  std::u16string ResultUrl() const;
  std::string LinkId() const;
  std::string UploadPageUrl() const;
  std::string ReceivePageUrl() const;

  SpeedMeter m_speed;  // guarded by m_fieldsLock
  std::u16string m_path;
  std::u16string m_name;
  std::unique_ptr<uint8_t[]> m_digests;  // 20 bytes per chunk; null while there is none
  uint32_t m_chunkCount = 0;
  std::atomic<int64_t> m_fileSize{0};
  FileTime m_lastWrite = 0;
  std::u16string m_resultUrl;        // guarded by m_fieldsLock
  std::string m_uploadPageUrl;       // guarded by m_fieldsLock
  std::string m_resultUrlText;       // guarded by m_fieldsLock
  std::string m_receivePageUrl;      // guarded by m_fieldsLock
  std::string m_linkId;              // guarded by m_fieldsLock
  std::unique_ptr<PlatformThread> m_uploadThread;
  std::unique_ptr<PlatformThread> m_reportThread;
  std::atomic<int64_t> m_uploaded{0};
  std::atomic<bool> m_cancel{false};
  std::atomic<bool> m_pause{false};
  std::atomic<bool> m_finished{false};
  std::atomic<int32_t> m_lastPercent{0};
  std::atomic<int32_t> m_status{1};

  // True from registration until Run has returned; the registry never
  // destroys a task while it is set.
  std::atomic<bool> m_inUse{false};

  mutable std::mutex m_fieldsLock;

 private:
  Platform& m_platform;
  const Endpoints m_endpoints;
};

// The reported state for a status code.
int32_t StateForStatus(int32_t status);

}  // namespace chunkup

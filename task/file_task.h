#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "base/outcome.h"
#include "chunkup.h"
#include "platform/platform.h"
#include "protocol/protocol.h"
#include "report/report.h"
#include "task/info_text.h"
#include "task/speed_meter.h"

namespace chunkup {

// Where a task sends its requests. The exports use the build's constants;
// tests aim a task at a server on an ephemeral port.
struct Endpoints {
  std::string fileServiceHost;  // "host:port", no scheme
  std::string webBaseUrl;       // "http://host:port", no trailing slash

  static Endpoints BuildDefaults();
};

// One upload of one file, and the one place that runs its steps in order:
// file facts and chunk digests, prepare, chunk transfer, commit (the upload
// thread), then the completion reports (the completion thread).
//
// Sharing between threads: the flags and counters are atomics. The outcome,
// the speed meter and the result strings are guarded by m_fieldsLock, which
// FillInfo holds for its whole run. The manifest belongs to the upload thread
// (Run writes its path before the thread starts).
class CFileTask final : public IChunkLoopObserver, public IReportSource {
 public:
  CFileTask(int32_t option, Platform& platform, Endpoints endpoints);
  ~CFileTask();
  CFileTask(const CFileTask&) = delete;
  CFileTask& operator=(const CFileTask&) = delete;

  // Checks the path, then runs the upload thread and the completion thread
  // one after the other, waiting for each. A path where nothing exists ends
  // the task at once (finished, size 0).
  void Run(const std::u16string& path);
  // Fills `info` (not zeroed here); -1 without writing while the size is 0,
  // unless the task ended because its file could not be read.
  int FillInfo(UploadInfo* info);

  // The host's controls.
  void Cancel() { m_cancel = true; }
  void Pause() { m_pause = true; }
  void Restart() { m_pause = false; }
  bool IsFinished() override { return m_finished.load(); }

  // True from registration until Run has returned; the registry never
  // destroys a task while it is set.
  void SetInUse(bool inUse) { m_inUse = inUse; }
  bool InUse() const { return m_inUse.load(); }

  // Progress and cancel, as the chunk transfer reports and asks them.
  int32_t OnProgress(int32_t count) override;
  bool IsCancelled() override { return m_cancel.load(); }
  bool IsPaused() override { return m_pause.load(); }
  void PresetProgress(int64_t bytes) override { m_uploaded = bytes; }

 private:
  void Upload();
  void Finish(const Outcome& outcome);
  void Report();

  // IReportSource
  bool TakeSnapshot(ReportValues* values) override;
  uint64_t FileSize() override { return static_cast<uint64_t>(m_fileSize.load()); }
  std::string ResultUrlText() override;

  void SetResultUrl(const std::string& text);  // keeps the text and its UTF-16 form
  void SetLinkId(const std::string& id);

  Platform& m_platform;
  const Endpoints m_endpoints;

  Manifest m_manifest;  // the upload thread's
  std::u16string m_name;
  bool m_fileNeverRead = false;  // the upload thread's, read by Run after it ended
  std::unique_ptr<PlatformThread> m_uploadThread;
  std::unique_ptr<PlatformThread> m_reportThread;

  std::atomic<int64_t> m_fileSize{0};
  std::atomic<int64_t> m_uploaded{0};
  std::atomic<bool> m_cancel{false};
  std::atomic<bool> m_pause{false};
  std::atomic<bool> m_finished{false};
  std::atomic<bool> m_inUse{false};

  mutable std::mutex m_fieldsLock;
  Outcome m_outcome;                 // guarded by m_fieldsLock
  int32_t m_lastPercent = 0;         // guarded by m_fieldsLock
  SpeedMeter m_speed;                // guarded by m_fieldsLock
  std::u16string m_resultUrl;        // guarded by m_fieldsLock
  std::string m_resultUrlText;       // guarded by m_fieldsLock
  std::string m_linkId;              // guarded by m_fieldsLock
};

}  // namespace chunkup

#include "task/file_task.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "fingerprint/chunk_hashing.h"
#include "task/info_text.h"

namespace chunkup {

Endpoints Endpoints::BuildDefaults() { return Endpoints{CHUNKUP_FILE_SERVICE_HOST, CHUNKUP_WEB_BASE_URL}; }

CFileTask::CFileTask(int32_t /*option: accepted, changes nothing*/, Platform& platform, Endpoints endpoints)
    : m_platform(platform), m_endpoints(std::move(endpoints)) {}

CFileTask::~CFileTask() {
  // Both threads have ended before the registry lets a task go; joining here
  // only releases their handles.
  if (m_uploadThread) m_uploadThread->Join();
  if (m_reportThread) m_reportThread->Join();
}

void CFileTask::Run(const std::u16string& path) {
  if (path.empty()) return;
  // The one conversion of the host's path; every later open uses this form.
  m_manifest.path = m_platform.MakePath(path);
  if (!m_platform.PathExists(m_manifest.path)) {
    // Nothing to upload; finished, so a cancel releases the path.
    m_finished = true;
    return;
  }
  m_name = m_platform.FileNameOf(path);
  m_manifest.name = Utf16ToUtf8(m_name);

  if (!m_uploadThread) {
    m_uploadThread = m_platform.StartThread([this] { Upload(); });
    if (!m_uploadThread) {
      m_finished = true;
      return;
    }
    m_uploadThread->Join();
  }
  if (m_fileNeverRead) return;  // nothing to report: no request at all for such a path
  if (!m_reportThread) {
    m_reportThread = m_platform.StartThread([this] { Report(); });
    if (m_reportThread) m_reportThread->Join();
  }
}

void CFileTask::Finish(const Outcome& outcome) {
  {
    std::lock_guard<std::mutex> guard(m_fieldsLock);
    m_outcome = outcome;
  }
  m_finished = true;
}

void CFileTask::Upload() {
  FileFacts facts;
  if (const int error = ReadFileFacts(m_platform, m_manifest.path, &facts)) {
    // Not opened, or not a regular file: nothing is sent.
    m_fileNeverRead = true;
    Finish(Outcome::File(OutcomeKind::kFileUnreadable, error));
    return;
  }
  m_manifest.size = facts.size;
  m_manifest.lastWrite = facts.lastWrite;
  m_manifest.chunkCount = ChunkCountForSize(facts.size);
  m_fileSize = static_cast<int64_t>(std::min<uint64_t>(facts.size, INT64_MAX));

  const Outcome hashed = DigestFileChunks(m_platform, m_manifest.path, m_manifest.chunkCount,
                                          [this] { return m_cancel.load(); }, &m_manifest.digests);
  if (!hashed.ok()) return Finish(hashed);
  if (m_cancel) return Finish(Outcome::Of(OutcomeKind::kCancelled));  // cancelled after hashing: nothing is sent

  const PrepareDecision decision = PreparePut(m_endpoints.fileServiceHost, m_manifest);
  if (decision.outcome.kind == OutcomeKind::kAlreadyHeld) {
    if (decision.url) SetResultUrl(*decision.url);
    if (decision.linkId) SetLinkId(*decision.linkId);
    return Finish(decision.outcome);
  }
  if (!decision.outcome.ok()) return Finish(decision.outcome);

  const Outcome sent = SendRequiredChunks(m_platform, m_manifest, decision, *this);
  if (!sent.ok()) return Finish(sent);  // a chunk failed every attempt: no commit

  const CommitResult committed = CommitPut(m_endpoints.fileServiceHost, m_manifest);
  if (committed.url) SetResultUrl(*committed.url);
  Finish(committed.outcome);
}

void CFileTask::Report() {
  const ReportPages pages = MakeReportPages(m_endpoints.webBaseUrl, m_platform.NewUuid());
  RunCompletionReports(m_platform, pages, m_manifest.name, *this);
}

int CFileTask::FillInfo(UploadInfo* info) {
  std::lock_guard<std::mutex> guard(m_fieldsLock);
  InfoInputs in;
  in.outcome = m_outcome;
  in.fileSize = m_fileSize.load();
  in.finished = m_finished.load();
  if (in.fileSize == 0) return ComposeUploadInfo(in, &m_lastPercent, info);  // the meter stays where it is

  if (in.outcome.kind == OutcomeKind::kAlreadyHeld) m_uploaded = in.fileSize;
  in.uploaded = m_uploaded.load();
  in.paused = m_pause.load();
  in.cancelled = m_cancel.load();
  // Rate() also moves the meter's windows on, so it runs on every poll.
  in.rate = m_speed.Rate(m_platform.MonotonicMs());
  in.resultUrl = m_resultUrl;
  in.resultUrlText = m_resultUrlText;
  in.linkId = m_linkId;
  return ComposeUploadInfo(in, &m_lastPercent, info);
}

bool CFileTask::TakeSnapshot(ReportValues* values) {
  UploadInfo info;
  std::memset(&info, 0, sizeof info);
  if (FillInfo(&info) != 0 || info.fileSize == 0) return false;
  values->fileSize = info.fileSize;
  values->percent = info.percent;
  values->speedKiB = info.speed;
  if (info.url[0] != 0) values->resultUrl = chunkup_slot_text(&info.urlText);
  return true;
}

int32_t CFileTask::OnProgress(int32_t count) {
  m_uploaded += count;
  if (count <= 0) return 0;
  std::lock_guard<std::mutex> guard(m_fieldsLock);
  // The clock is read only for the task's first positive count.
  if (m_speed.IsIdle()) m_speed.Start(m_platform.MonotonicMs());
  m_speed.windowBytes += static_cast<uint64_t>(count);
  return 0;
}

void CFileTask::SetResultUrl(const std::string& text) {
  std::u16string wide = m_platform.SystemCodePageToUtf16(text);
  std::lock_guard<std::mutex> guard(m_fieldsLock);
  m_resultUrlText = text;
  m_resultUrl = std::move(wide);
}

void CFileTask::SetLinkId(const std::string& id) {
  std::lock_guard<std::mutex> guard(m_fieldsLock);
  m_linkId = id;
}

std::string CFileTask::ResultUrlText() {
  std::lock_guard<std::mutex> guard(m_fieldsLock);
  return m_resultUrlText;
}

}  // namespace chunkup

#include "task/file_task.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "fingerprint/chunk_hashing.h"
#include "task/info_text.h"

namespace chunkup {

Endpoints Endpoints::BuildDefaults() { return Endpoints{CHUNKUP_FILE_SERVICE_HOST, CHUNKUP_WEB_BASE_URL}; }

int32_t StateForOutcome(const Outcome& outcome) {
  switch (outcome.kind) {
    case OutcomeKind::kOk:
    case OutcomeKind::kAlreadyHeld:
    case OutcomeKind::kCancelled:
      return UPLOAD_STATE_OK;
    case OutcomeKind::kTransport:
      return outcome.curlCode == CURLE_OPERATION_TIMEDOUT ? UPLOAD_STATE_TIMEOUT : UPLOAD_STATE_FAILED;
    case OutcomeKind::kChunkFailed:
      return UPLOAD_STATE_TRANSFER_FAILED;
    case OutcomeKind::kHttpStatus:
      return outcome.httpStatus >= 400 ? UPLOAD_STATE_REFUSED : UPLOAD_STATE_FAILED;
    case OutcomeKind::kUnusableReply:
    case OutcomeKind::kFileUnreadable:
      return UPLOAD_STATE_FAILED;
  }
  return UPLOAD_STATE_FAILED;
}

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
  const int64_t fileSize = m_fileSize.load();
  const bool finished = m_finished.load();
  const bool unreadable = finished && m_outcome.kind == OutcomeKind::kFileUnreadable;
  if (fileSize == 0 && !unreadable) return -1;

  info->state = StateForOutcome(m_outcome);
  if (m_outcome.kind == OutcomeKind::kAlreadyHeld) m_uploaded = fileSize;
  info->fileSize = static_cast<uint64_t>(fileSize);
  if (fileSize == 0) return 0;  // an unreadable file: the state is all there is to say

  const bool paused = m_pause.load();
  const uint64_t uploaded = static_cast<uint64_t>(std::max<int64_t>(m_uploaded.load(), 0));
  int32_t percent;
  if (finished || paused) {
    percent = m_lastPercent.load();
  } else {
    // Divide first, then scale; keep the low 32 bits of the truncated value.
    const double share = static_cast<double>(uploaded) / static_cast<double>(static_cast<uint64_t>(fileSize)) * 100.0;
    const double low = std::fmod(std::trunc(share), 4294967296.0);
    percent = static_cast<int32_t>(static_cast<uint32_t>(low));
    m_lastPercent = percent;
  }
  if (static_cast<uint32_t>(percent) > 100) percent = 100;
  if (uploaded >= static_cast<uint64_t>(fileSize) && !finished) percent = 99;  // all handed over, not done yet

  // Rate() also moves the meter's windows on, so it runs in every case.
  const uint64_t rate = m_speed.Rate(m_platform.MonotonicMs());
  const uint64_t kib = std::min<uint64_t>(rate / 1024, INT32_MAX);
  info->speed = (m_cancel.load() || paused) ? 0 : static_cast<int32_t>(kib);
  info->percent = percent;

  if (!m_resultUrl.empty()) {
    // url holds 256 units; a longer URL is cut so its terminator survives.
    const size_t units = std::min<size_t>(m_resultUrl.size(), 255);
    std::memcpy(info->url, m_resultUrl.data(), units * sizeof(char16_t));
    info->url[units] = 0;
    info->percent = 100;
    info->speed = 0;
    WriteSlotText(info->urlText, m_resultUrlText);
  }
  if (!m_linkId.empty()) WriteSlotText(info->linkid, m_linkId);
  return 0;
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

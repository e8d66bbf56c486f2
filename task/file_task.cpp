#include "task/file_task.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "fingerprint/chunk_hashing.h"
#include "fingerprint/encodings.h"
#include "task/info_text.h"
#include "task/status.h"

namespace chunkup {

Endpoints Endpoints::BuildDefaults() { return Endpoints{CHUNKUP_FILE_SERVICE_HOST, CHUNKUP_WEB_BASE_URL}; }

Endpoints Endpoints::FromEnvironment() {
  Endpoints endpoints = BuildDefaults();
  const auto override = [](const char* name, std::string& target) {
    std::string value;
    if (!GetEnvironmentValue(name, &value)) return;
    // Paths are appended to both: "https://host/" would give "//anonymous/...".
    while (!value.empty() && value.back() == '/') value.pop_back();
    if (!value.empty()) target = value;
  };
  override("CHUNKUP_FILE_SERVICE_HOST", endpoints.fileServiceHost);
  override("CHUNKUP_WEB_BASE_URL", endpoints.webBaseUrl);
  return endpoints;
}

int32_t StateForStatus(int32_t status) {
  // Checked in this order, so 409 counts as done and not as refused.
  if (status == kStatusRunning || status == kStatusAlreadyHeld) return UPLOAD_STATE_OK;
  if (status == kStatusTimedOut) return UPLOAD_STATE_TIMEOUT;
  if (status == kStatusChunkFailed || status == kStatusTransferFailedLegacy) return UPLOAD_STATE_TRANSFER_FAILED;
  if (status >= 400) return UPLOAD_STATE_REFUSED;
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
  if (!m_platform.PathExists(path)) return;  // stays at status 1 and never finishes
  m_path = path;
  m_name = m_platform.FindFileName(path);

  if (!m_uploadThread) {
    m_uploadThread = m_platform.StartThread([this] { Upload(); });
    if (m_uploadThread) m_uploadThread->Join();
  }
  if (!m_reportThread) {
    m_reportThread = m_platform.StartThread([this] { Report(); });
    if (m_reportThread) m_reportThread->Join();
  }
}

int32_t CFileTask::Upload() {
  m_digests.reset();
  m_chunkCount = 0;
  m_lastWrite = 0;
  {
    std::lock_guard<std::mutex> guard(m_fieldsLock);
    m_resultUrl.clear();
    m_resultUrlText.clear();
  }
  m_status = kStatusRunning;
  const int32_t result = HashFileChunks(*this);
  m_finished = true;
  return result;
}

int CFileTask::FillInfo(UploadInfo* info) {
  std::lock_guard<std::mutex> guard(m_fieldsLock);
  const int64_t fileSize = m_fileSize.load();
  if (fileSize == 0) return -1;

  const int32_t status = m_status.load();
  info->state = StateForStatus(status);
  if (status == kStatusAlreadyHeld) m_uploaded = fileSize;
  info->fileSize = static_cast<uint64_t>(fileSize);

  const bool finished = m_finished.load();
  const bool paused = m_pause.load();
  const uint64_t uploaded = static_cast<uint64_t>(m_uploaded.load());
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
  const uint32_t rate = m_speed.Rate(m_platform.TickCount());
  info->speed = (m_cancel.load() || paused) ? 0 : static_cast<int32_t>(rate) / 1024;
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

int32_t CFileTask::OnProgress(int32_t count) {
  m_uploaded += count;
  if (count <= 0) return 0;
  std::lock_guard<std::mutex> guard(m_fieldsLock);
  // The clock is read only for the task's first positive count.
  if (m_speed.IsIdle()) m_speed.Start(m_platform.TickCount());
  m_speed.windowBytes += static_cast<uint32_t>(count);
  return 0;
}

bool CFileTask::IsCancelled() { return m_cancel.load(); }

void CFileTask::SetResultUrl(const std::string& text) {
  std::u16string wide = AnsiToWide(m_platform, text);
  std::lock_guard<std::mutex> guard(m_fieldsLock);
  m_resultUrlText = text;
  m_resultUrl = std::move(wide);
}

void CFileTask::SetLinkId(const std::string& id) {
  std::lock_guard<std::mutex> guard(m_fieldsLock);
  m_linkId = id;
}

void CFileTask::SetPageUrls(std::string uploadPageUrl, std::string receivePageUrl) {
  std::lock_guard<std::mutex> guard(m_fieldsLock);
  m_uploadPageUrl = std::move(uploadPageUrl);
  m_receivePageUrl = std::move(receivePageUrl);
}

std::string CFileTask::ResultUrlText() const {
  std::lock_guard<std::mutex> guard(m_fieldsLock);
  return m_resultUrlText;
}

std::u16string CFileTask::ResultUrl() const {
  std::lock_guard<std::mutex> guard(m_fieldsLock);
  return m_resultUrl;
}

std::string CFileTask::LinkId() const {
  std::lock_guard<std::mutex> guard(m_fieldsLock);
  return m_linkId;
}

std::string CFileTask::UploadPageUrl() const {
  std::lock_guard<std::mutex> guard(m_fieldsLock);
  return m_uploadPageUrl;
}

std::string CFileTask::ReceivePageUrl() const {
  std::lock_guard<std::mutex> guard(m_fieldsLock);
  return m_receivePageUrl;
}

}  // namespace chunkup

// The completion thread: reports the upload to the web site under a fresh
// page UUID and shows the upload page once the web site has accepted a report.
#include "report/report.h"

#include <json/value.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fingerprint/encodings.h"
#include "http/transport.h"
#include "task/file_task.h"
#include "task/info_text.h"

namespace chunkup {
namespace {

constexpr uint32_t kPausedWaitMs = 2000;
constexpr uint32_t kPassIntervalMs = 1000;

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

// percent x size / 100, truncated, without the product overflowing 64 bits.
uint64_t ShareOfSize(uint32_t percent, uint64_t size) {
  return size / 100 * percent + size % 100 * percent / 100;
}

// The record's fields for the first and the last report.
void PresetInfo(UploadInfo& info, CFileTask& task, int32_t percent) {
  info.speed = 0;
  info.percent = percent;
  info.fileSize = static_cast<uint64_t>(task.m_fileSize.load());
  WriteSlotText(info.urlText, task.ResultUrlText());
}

}  // namespace

void CFileTask::MakePageUrls() {
  const std::string uuid = m_platform.NewUuid();
  const std::string& base = m_endpoints.webBaseUrl;
  SetPageUrls(base + "/g/upload/" + uuid, base + "/g/receive/" + uuid);
}

int SendReport(const UploadInfo& info, CFileTask& task) {
  const auto fileSize = static_cast<int64_t>(info.fileSize);
  const auto uploaded = static_cast<int64_t>(ShareOfSize(static_cast<uint32_t>(info.percent), info.fileSize));
  // Computed in 64 bits: a meter reading above 2 GiB/s must not overflow.
  const int64_t speed = static_cast<int64_t>(info.speed) * 1024;

  std::string url = task.ReceivePageUrl();
  url += "?filesize=" + std::to_string(fileSize);
  url += "&uploaded=" + std::to_string(uploaded);
  url += "&speed=" + std::to_string(speed);
  url += "&name=";
  // A name that does not convert goes out empty: the report still tells the
  // web site about the size, progress and result URL.
  std::unique_ptr<char, FreeDeleter> name(WideToUtf8Buffer(task.platform(), task.m_name.c_str()));
  if (name) FormUrlEncode(url, name.get());
  const char* resultUrl = chunkup_slot_text(&info.urlText);
  if (resultUrl[0] != '\0' && info.percent == 100) {
    url += "&url=";
    FormUrlEncode(url, resultUrl);
  }

  Json::Value reply;
  const int result = PostJsonRequest(url.c_str(), reply, Json::Value());  // body: "null\n"
  return result == 200 ? 0 : -1;
}

void OpenResultPage(CFileTask& task) {
  // CHUNKUP_OPEN_PAGE=0: a headless host wants the reports but no browser.
  std::string openPage;
  if (GetEnvironmentValue("CHUNKUP_OPEN_PAGE", &openPage) && openPage == "0") return;
  task.platform().OpenUrl(AnsiToWide(task.platform(), task.UploadPageUrl()));
}

int32_t CFileTask::Report() {
  MakePageUrls();

  bool accepted = false;
  bool opened = false;
  UploadInfo info;
  std::memset(&info, 0, sizeof info);

  PresetInfo(info, *this, 0);
  if (SendReport(info, *this) == 0) {
    OpenResultPage(*this);
    accepted = opened = true;
  }

  for (;;) {
    if (m_pause) m_platform.SleepMs(kPausedWaitMs);
    if (FillInfo(&info) == 0 && SendReport(info, *this) == 0) accepted = true;
    if (accepted && !opened) {
      OpenResultPage(*this);
      opened = true;
    }
    if (m_finished) break;
    if (m_cancel) {
      if (m_finished) break;
      return 0;  // cancelled while the upload still runs: no last report
    }
    m_platform.SleepMs(kPassIntervalMs);
  }

  // The last report always claims the whole file; its answer is not looked at.
  PresetInfo(info, *this, 100);
  SendReport(info, *this);
  return 0;
}

}  // namespace chunkup

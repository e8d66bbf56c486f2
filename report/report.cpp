#include "report/report.h"

#include <json/value.h>

#include <string>

#include "http/transport.h"
#include "report/form_encoding.h"

namespace chunkup {
namespace {

constexpr uint32_t kPausedWaitMs = 2000;
constexpr uint32_t kPassIntervalMs = 1000;

// percent x size / 100, truncated, without the product overflowing 64 bits.
uint64_t ShareOfSize(uint32_t percent, uint64_t size) {
  return size / 100 * percent + size % 100 * percent / 100;
}

// The values of the first and the last report.
ReportValues PresetValues(IReportSource& source, int32_t percent) {
  ReportValues values;
  values.percent = percent;
  values.fileSize = source.FileSize();
  values.resultUrl = source.ResultUrlText();
  return values;
}

void OpenUploadPage(Platform& platform, const ReportPages& pages) {
  platform.OpenUrl(platform.SystemCodePageToUtf16(pages.uploadPageUrl));
}

}  // namespace

ReportPages MakeReportPages(const std::string& webBaseUrl, const std::string& pageUuid) {
  return ReportPages{webBaseUrl + "/g/upload/" + pageUuid, webBaseUrl + "/g/receive/" + pageUuid};
}

int SendReport(const std::string& receivePageUrl, const std::string& name, const ReportValues& values) {
  const auto fileSize = static_cast<int64_t>(values.fileSize);
  const auto uploaded = static_cast<int64_t>(ShareOfSize(static_cast<uint32_t>(values.percent), values.fileSize));
  // Computed in 64 bits: a meter reading above 2 GiB/s must not overflow.
  const int64_t speed = static_cast<int64_t>(values.speedKiB) * 1024;

  std::string url = receivePageUrl;
  url += "?filesize=" + std::to_string(fileSize);
  url += "&uploaded=" + std::to_string(uploaded);
  url += "&speed=" + std::to_string(speed);
  url += "&name=";
  FormUrlEncode(url, name.c_str());
  if (!values.resultUrl.empty() && values.percent == 100) {
    url += "&url=";
    FormUrlEncode(url, values.resultUrl.c_str());
  }

  Json::Value reply;
  const HttpResult result = PostJsonRequest(url.c_str(), reply, Json::Value());  // body: "null\n"
  return result.code == CURLE_OK && result.status == 200 ? 0 : -1;
}

void RunCompletionReports(Platform& platform, const ReportPages& pages, const std::string& name,
                          IReportSource& source) {
  bool accepted = false;
  bool opened = false;

  ReportValues values = PresetValues(source, 0);
  if (SendReport(pages.receivePageUrl, name, values) == 0) {
    OpenUploadPage(platform, pages);
    accepted = opened = true;
  }

  for (;;) {
    if (source.IsPaused()) platform.SleepMs(kPausedWaitMs);
    if (source.TakeSnapshot(&values) && SendReport(pages.receivePageUrl, name, values) == 0) accepted = true;
    if (accepted && !opened) {
      OpenUploadPage(platform, pages);
      opened = true;
    }
    if (source.IsFinished()) break;
    if (source.IsCancelled()) {
      if (source.IsFinished()) break;
      return;  // cancelled while the upload still runs: no last report
    }
    platform.SleepMs(kPassIntervalMs);
  }

  // The last report always claims the whole file; its answer is not looked at.
  SendReport(pages.receivePageUrl, name, PresetValues(source, 100));
}

}  // namespace chunkup

// The completion report to the web site and the opening of the upload page.
// The report knows the upload only through IReportSource and the values it
// is given.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace chunkup {

// What one report tells the web site.
struct ReportValues {
  uint64_t fileSize = 0;
  int32_t percent = 0;
  int32_t speedKiB = 0;
  std::string resultUrl;  // sent only with percent 100
};

// The upload being reported, as the completion thread sees it.
class IReportSource {
 public:
  virtual bool IsPaused() = 0;
  virtual bool IsCancelled() = 0;
  virtual bool IsFinished() = 0;
  // The progress the host would see now; false while there is none to report
  // (the file size is not known yet, or is 0).
  virtual bool TakeSnapshot(ReportValues* values) = 0;
  virtual uint64_t FileSize() = 0;
  virtual std::string ResultUrlText() = 0;

 protected:
  ~IReportSource() = default;
};

// The web-site addresses of one upload's page.
struct ReportPages {
  std::string uploadPageUrl;   // opened in the browser
  std::string receivePageUrl;  // where reports go
};
ReportPages MakeReportPages(const std::string& webBaseUrl, const std::string& pageUuid);

// One report; 0 when the web site answered 200, else -1.
int SendReport(const std::string& receivePageUrl, const std::string& name, const ReportValues& values);

// The completion thread's work: a first report, one per second while the
// upload runs, and a last one; the upload page is opened once, after the
// first report the web site accepts.
void RunCompletionReports(Platform& platform, const ReportPages& pages, const std::string& name,
                          IReportSource& source);

}  // namespace chunkup

// The web pages of the service: a short home page and the upload page that
// follows one upload through its reports.
#pragma once

#include <string>
#include <vector>

#include "service/store.h"

namespace chunkup::service {

std::string RenderHomePage();
// The list of stored files (GET /f/): files newest first with their URLs,
// total in the store, and where this page starts.
std::string RenderFileList(const std::vector<FileRecord>& files, const std::vector<std::string>& urls, int64_t total,
                           int64_t offset, int64_t limit);
// validId false: the id is not an upload page id at all.
std::string RenderUploadPage(const std::string& uuid, const std::vector<ReportRecord>& reports, bool validId);

// What the page shows for a list of reports; also used by tests.
struct PageState {
  enum Kind { kUnknown, kUploading, kDone, kFailed } kind = kUnknown;
  std::string name;
  int64_t fileSize = 0;
  int64_t uploaded = 0;
  int64_t speed = 0;  // bytes per second
  int percent = 0;
  std::string resultUrl;
};
PageState StateOf(const std::vector<ReportRecord>& reports);

}  // namespace chunkup::service

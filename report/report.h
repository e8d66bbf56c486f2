// The completion report to the web site and the opening of the upload page.
#pragma once

#include "chunkup.h"

namespace chunkup {

class CFileTask;

// One report built from `info`; 0 when the web site answered 200, else -1.
int SendReport(const UploadInfo& info, CFileTask& task);
// Shows the task's upload page in the browser.
void OpenResultPage(CFileTask& task);

}  // namespace chunkup

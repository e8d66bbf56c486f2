// Placeholder until the completion report lands.
#include "report/report.h"

#include "task/file_task.h"

namespace chunkup {

void CFileTask::MakePageUrls() {}
int32_t CFileTask::Report() { return 0; }

}  // namespace chunkup

// Placeholder until the protocol lands.
#include "protocol/protocol.h"

#include "task/file_task.h"

namespace chunkup {

int32_t PreparePut(CFileTask& task) { return task.m_cancel ? 200 : -1; }

}  // namespace chunkup

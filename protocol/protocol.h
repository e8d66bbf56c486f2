// The conversation with the file service: prepare, chunk transfer, commit.
#pragma once

#include <json/value.h>

#include <cstdint>

namespace chunkup {

class CFileTask;
class Platform;

// Announces the file; on 200 sends the required chunks and commits. Returns
// the task's new status.
int32_t PreparePut(CFileTask& task);
int32_t SendRequiredChunks(CFileTask& task, const Json::Value& required);
int32_t SendChunk(CFileTask& task, const char* url, int64_t offset, uint32_t length);
int32_t CommitPut(CFileTask& task);
// FILETIME of 1970-01-01 00:00:00 UTC.
int64_t UnixEpochAsFileTime(Platform& platform);

}  // namespace chunkup

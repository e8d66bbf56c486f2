#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace chunkup {

class CFileTask;

inline constexpr uint32_t kChunkSize = 4194304;  // 4 MiB
inline constexpr uint32_t kReadBlock = 4096;
inline constexpr uint32_t kDigestSize = 20;

// Size and last-write time of the task's file; size 0 when it does not open.
int64_t GetFileSizeAndTime(CFileTask& task);
// Takes the file's facts, digests every chunk, then runs the prepare exchange.
// Returns the exchange's result, or an OS error code when the file could not
// be opened or read (the task's status then says so too).
int32_t HashFileChunks(CFileTask& task);

}  // namespace chunkup

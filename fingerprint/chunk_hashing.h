#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace chunkup {

class CFileTask;
struct Sha1State;

inline constexpr uint32_t kChunkSize = 4194304;  // 4 MiB
inline constexpr uint32_t kReadBlock = 4096;
inline constexpr uint32_t kDigestSize = 20;

// Size and last-write time of the task's file; size 0 when it does not open.
int64_t GetFileSizeAndTime(CFileTask& task);
// Takes the file's facts, digests every chunk, then runs the prepare exchange.
// Returns the exchange's result, or an OS error code when the file could not
// be opened or read (the task's status then says so too).
int32_t HashFileChunks(CFileTask& task);

// The number of chunks of a file of `size` bytes (low 32 bits).
uint32_t ChunkCountForSize(int64_t size);
// The facts the chunk loop works from: file size, last-write time and chunk
// count, stored on the task.
void TakeFileFacts(CFileTask& task);
// The chunk loop on its own, for the facts already on the task: opens the
// file again and fills a fresh digest table of m_chunkCount entries, stopping
// between chunks when the task is cancelled. Returns 0 (also when cancelled),
// or the OS error code of a failed open or read, after which the task's status
// is kStatusFileUnreadable. Does nothing and returns 0 for no chunks.
int32_t DigestFileChunks(CFileTask& task);
// Reads one chunk (up to kChunkSize bytes, in reads of kReadBlock bytes into
// `buffer`) into `state`; the first short read ends it. 0 or an OS error code.
int HashOneChunk(PlatformFile& file, Sha1State& state, uint8_t* buffer);

}  // namespace chunkup

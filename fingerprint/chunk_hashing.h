// File facts and chunk digests: a file in, its size, last-write time and one
// SHA-1 per 4 MiB chunk out. Knows nothing of tasks or the network.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "base/outcome.h"
#include "platform/platform.h"

namespace chunkup {

struct Sha1State;

inline constexpr uint32_t kChunkSize = 4194304;  // 4 MiB
inline constexpr uint32_t kReadBlock = 4096;
inline constexpr uint32_t kDigestSize = 20;

// The number of chunks of a file of `size` bytes (low 32 bits).
uint32_t ChunkCountForSize(uint64_t size);

struct FileFacts {
  uint64_t size = 0;
  std::optional<FileTimestamp> lastWrite;  // empty when the file system would not tell
};

// Opens the file with writers shut out and takes its size and last-write
// time. 0, or the error of the open or of the size query.
int ReadFileFacts(Platform& platform, const FilePath& path, FileFacts* facts);

// Opens the file again (writers shut out) and digests `chunkCount` chunks in
// order into `digests` (20 bytes each, zero-filled past where it stopped).
// `cancelled` is asked before each chunk; a cancel ends the loop with
// kCancelled. A failed open or read is kFileUnreadable with the OS error.
// No chunks: kOk at once, without opening the file.
Outcome DigestFileChunks(Platform& platform, const FilePath& path, uint32_t chunkCount,
                         const std::function<bool()>& cancelled, std::vector<uint8_t>* digests);

// Feeds one chunk (up to kChunkSize bytes, read kReadBlock bytes at a time
// into `buffer`) into `state`; a short read is the end of the file and ends
// the chunk. 0 or the OS error code.
int HashOneChunk(ReadableFile& file, Sha1State& state, uint8_t* buffer);

}  // namespace chunkup

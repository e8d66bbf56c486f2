#include "fingerprint/chunk_hashing.h"

#include <memory>

#include "fingerprint/sha1.h"

namespace chunkup {

uint32_t ChunkCountForSize(uint64_t size) {
  return static_cast<uint32_t>((size + (kChunkSize - 1)) >> 22);
}

int ReadFileFacts(Platform& platform, const FilePath& path, FileFacts* facts) {
  *facts = FileFacts{};
  std::unique_ptr<ReadableFile> file;
  if (const int error = platform.OpenForRead(path, Sharing::kDenyWriters, &file)) return error;
  if (const int error = file->Size(&facts->size)) {
    facts->size = 0;
    return error;
  }
  FileTimestamp lastWrite = 0;
  if (file->LastWriteTime(&lastWrite) == 0) facts->lastWrite = lastWrite;
  return 0;
}

int HashOneChunk(ReadableFile& file, Sha1State& state, uint8_t* buffer) {
  uint32_t remaining = kChunkSize;
  for (;;) {
    size_t got = 0;
    // Read fills the block unless the file ends, so a short block is the end.
    if (const int error = file.Read(buffer, kReadBlock, &got)) return error;
    Sha1Feed(state, buffer, got);
    if (got < kReadBlock) return 0;
    remaining -= kReadBlock;
    if (remaining == 0) return 0;
  }
}

Outcome DigestFileChunks(Platform& platform, const FilePath& path, uint32_t chunkCount,
                         const std::function<bool()>& cancelled, std::vector<uint8_t>* digests) {
  digests->clear();
  if (chunkCount == 0) return Outcome::Ok();

  std::unique_ptr<ReadableFile> file;
  if (const int error = platform.OpenForRead(path, Sharing::kDenyWriters, &file))
    return Outcome::File(OutcomeKind::kFileUnreadable, error);

  digests->assign(static_cast<size_t>(chunkCount) * kDigestSize, 0);
  alignas(64) uint8_t buffer[kReadBlock];
  for (uint32_t i = 0; i < chunkCount; ++i) {
    if (cancelled && cancelled()) return Outcome::Of(OutcomeKind::kCancelled);
    Sha1State state;
    Sha1Start(state);
    if (const int error = HashOneChunk(*file, state, buffer))
      return Outcome::File(OutcomeKind::kFileUnreadable, error);
    Sha1Finish(state, digests->data() + static_cast<size_t>(i) * kDigestSize);
  }
  return Outcome::Ok();
}

}  // namespace chunkup

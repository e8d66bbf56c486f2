#include "fingerprint/chunk_hashing.h"

#include <memory>

#include "fingerprint/sha1.h"
#include "protocol/protocol.h"
#include "task/file_task.h"
#include "task/status.h"

namespace chunkup {
namespace {

// Read only, and shared for reading and deleting but not for writing: a file
// that another process holds open for writing is not read half-written.
constexpr FileOpenArgs kReadArgs{kGenericRead, kFileShareRead | kFileShareDelete, kOpenExisting,
                                 kFileAttributeNormal};

}  // namespace

uint32_t ChunkCountForSize(int64_t size) {
  return static_cast<uint32_t>((static_cast<uint64_t>(size) + (kChunkSize - 1)) >> 22);
}

int64_t GetFileSizeAndTime(CFileTask& task) {
  std::unique_ptr<PlatformFile> file;
  if (task.platform().OpenFile(task.m_path, kReadArgs, &file) != 0 || !file) return 0;
  int64_t size = 0;
  if (file->GetSize(&size) != 0 || size < 0) size = 0;
  FileTime lastWrite = 0;
  if (file->GetLastWriteTime(&lastWrite) == 0) task.m_lastWrite = lastWrite;
  file->Close();
  return size;
}

int HashOneChunk(PlatformFile& file, Sha1State& state, uint8_t* buffer) {
  uint32_t remaining = kChunkSize;
  for (;;) {
    uint32_t got = 0;
    const int error = file.Read(buffer, kReadBlock, &got);
    if (error != 0) return error;
    if (got > kReadBlock) got = kReadBlock;  // never trust a count beyond the buffer
    Sha1Feed(state, buffer, got);
    if (got < kReadBlock) return 0;  // end of the file: the chunk is complete
    remaining -= kReadBlock;
    if (remaining == 0) return 0;
  }
}

int32_t DigestFileChunks(CFileTask& task) {
  const uint32_t chunks = task.m_chunkCount;
  if (chunks == 0) return 0;

  std::unique_ptr<PlatformFile> file;
  int error = task.platform().OpenFile(task.m_path, kReadArgs, &file);
  if (error != 0 || !file) {
    // The host must not see OK for a file that was never read.
    task.m_status = kStatusFileUnreadable;
    return error != 0 ? error : kStatusFileUnreadable;
  }

  // Zero-filled, so a run that stops early leaves zeros after the last digest.
  task.m_digests = std::make_unique<uint8_t[]>(static_cast<size_t>(chunks) * kDigestSize);
  alignas(64) uint8_t buffer[kReadBlock];
  for (uint32_t i = 0; i < chunks; ++i) {
    if (task.m_cancel) break;
    Sha1State state;
    Sha1Start(state);
    error = HashOneChunk(*file, state, buffer);
    if (error != 0) {
      file->Close();
      task.m_status = kStatusFileUnreadable;
      return error;
    }
    Sha1Finish(state, task.m_digests.get() + static_cast<size_t>(i) * kDigestSize);
  }
  file->Close();  // nothing was written through it: a failed close loses nothing
  return 0;
}

void TakeFileFacts(CFileTask& task) {
  const int64_t size = GetFileSizeAndTime(task);
  task.m_fileSize = size;
  task.m_chunkCount = ChunkCountForSize(size);
}

int32_t HashFileChunks(CFileTask& task) {
  TakeFileFacts(task);
  const int32_t error = DigestFileChunks(task);
  if (error != 0) return error;

  if (task.m_cancel) {
    // A cancelled step sends nothing and leaves the status as it is.
    return task.m_chunkCount == 0 ? -1 : 0;
  }
  const int32_t status = PreparePut(task);
  task.m_status = status;
  return status;
}

}  // namespace chunkup

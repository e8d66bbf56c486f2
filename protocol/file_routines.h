// File access for the chunk transfer: an open-mode word that packs the
// arguments of a Windows file open, and a holder for the open file. Every
// routine answers 0 or the OS error code.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace chunkup {

// Bits 0-3 disposition, 8-11 share mode, 12-15 access (moved to bits 28-31 of
// the access mask), 16-23 file flags (moved to bits 24-31 of the flags).
// 0x8703: read access, shared for read, write and delete, the file must exist.
inline constexpr uint32_t kChunkReadMode = 0x8703;

FileOpenArgs DecodeOpenMode(uint32_t mode);

// One open file, or none.
class FileHandle {
 public:
  FileHandle() = default;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  // A file still open here is closed; its close result is lost.
  ~FileHandle() = default;

  bool IsOpen() const { return m_file != nullptr; }
  PlatformFile* get() const { return m_file.get(); }

 private:
  friend int OpenFileWithMode(Platform&, uint32_t, FileHandle&, const std::u16string&);
  friend int CloseFileIfOpen(FileHandle&);
  std::unique_ptr<PlatformFile> m_file;
};

// Opens `path`; on failure the holder stays empty. A file the holder already
// held is closed first.
int OpenFileWithMode(Platform& platform, uint32_t mode, FileHandle& file, const std::u16string& path);
// Positions the file at `offset` bytes from its start.
int SeekFile(FileHandle& file, int64_t offset);
// Reads up to `count` bytes; *bytesRead is short only at the end of the file.
int ReadFromFile(FileHandle& file, void* buffer, uint32_t count, uint32_t* bytesRead);
// 0 at once for an empty holder; the holder is empty afterwards either way.
int CloseFileIfOpen(FileHandle& file);

}  // namespace chunkup

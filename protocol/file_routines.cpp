#include "protocol/file_routines.h"

#include <cerrno>

namespace chunkup {

FileOpenArgs DecodeOpenMode(uint32_t mode) {
  FileOpenArgs args;
  args.disposition = mode & 0xFu;
  args.share = (mode >> 8) & 0xFu;
  args.access = ((mode >> 12) & 0xFu) << 28;
  args.flags = (((mode >> 16) & 0xFFu) << 24) | kFileAttributeNormal;
  return args;
}

int OpenFileWithMode(Platform& platform, uint32_t mode, FileHandle& file, const std::u16string& path) {
  CloseFileIfOpen(file);
  std::unique_ptr<PlatformFile> opened;
  const int rc = platform.OpenFile(path, DecodeOpenMode(mode), &opened);
  if (rc != 0) return rc;
  if (!opened) return ENOENT;  // a platform that answers 0 without a file
  file.m_file = std::move(opened);
  return 0;
}

int SeekFile(FileHandle& file, int64_t offset) {
  if (!file.IsOpen()) return EBADF;
  return file.get()->SeekFromStart(offset);
}

int ReadFromFile(FileHandle& file, void* buffer, uint32_t count, uint32_t* bytesRead) {
  *bytesRead = 0;
  if (!file.IsOpen()) return EBADF;
  // One read normally fills the buffer from a regular file; some file systems
  // (network, FUSE) hand out less, so keep reading until full or at the end.
  char* target = static_cast<char*>(buffer);
  uint32_t total = 0;
  while (total < count) {
    uint32_t got = 0;
    const int rc = file.get()->Read(target + total, count - total, &got);
    if (rc != 0) {
      *bytesRead = total;
      return rc;
    }
    if (got == 0) break;
    total += got;
  }
  *bytesRead = total;
  return 0;
}

int CloseFileIfOpen(FileHandle& file) {
  if (!file.IsOpen()) return 0;
  const int rc = file.m_file->Close();
  file.m_file.reset();
  return rc;
}

}  // namespace chunkup

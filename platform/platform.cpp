// What every platform shares.
#include "platform/platform.h"

#include <algorithm>
#include <cstring>

namespace chunkup {

int ReadableFile::Read(void* buffer, size_t count, size_t* bytesRead) {
  auto* target = static_cast<char*>(buffer);
  size_t total = 0;
  while (total < count) {
    size_t got = 0;
    const int error = ReadSome(target + total, count - total, &got);
    if (error != 0) {
      *bytesRead = total;
      return error;
    }
    if (got == 0) break;  // the end of the file
    total += std::min(got, count - total);
  }
  *bytesRead = total;
  return 0;
}

int ReadAheadFile::Seek(uint64_t offset) {
  m_pending = 0;  // what was read ahead belongs to the old position
  return SeekInOs(offset);
}

int ReadAheadFile::ReadSome(void* buffer, size_t count, size_t* bytesRead) {
  *bytesRead = 0;
  if (count == 0) return 0;
  if (m_pending == 0) {
    if (count >= kReadAhead) return ReadFromOs(buffer, count, bytesRead);
    if (!m_readAhead) m_readAhead = std::make_unique<char[]>(kReadAhead);
    size_t got = 0;
    if (const int error = ReadFromOs(m_readAhead.get(), kReadAhead, &got)) return error;
    m_next = 0;
    m_pending = std::min(got, kReadAhead);
    if (m_pending == 0) return 0;  // the end of the file
  }
  const size_t n = std::min(count, m_pending);
  std::memcpy(buffer, m_readAhead.get() + m_next, n);
  m_next += n;
  m_pending -= n;
  *bytesRead = n;
  return 0;
}

}  // namespace chunkup

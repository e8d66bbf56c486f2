// What every platform shares.
#include "platform/platform.h"

#include <algorithm>

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

}  // namespace chunkup

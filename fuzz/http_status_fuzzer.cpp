// The status of the final reply, read from whatever header text a server sends.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_check.h"
#include "http/transport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // libFuzzer's buffer has exactly `size` bytes: any read past the end is an
  // AddressSanitizer report.
  const char* begin = reinterpret_cast<const char*>(data);
  const int status = chunkup::ParseHttpStatus(begin, begin + size);
  // -1, or a number of at most six digits that is not an interim 100.
  FUZZ_CHECK(status >= -1 && status <= 999999);
  FUZZ_CHECK(status != 100);
  FUZZ_CHECK(chunkup::ParseHttpStatus(begin, begin) == -1);
  return 0;
}

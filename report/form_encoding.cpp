#include "report/form_encoding.h"

#include <cstring>

namespace chunkup {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// Reserved ASCII that the report query escapes as %xx.
bool IsEscapedPunctuation(unsigned char c) { return std::strchr("\"#$%&'+,/:;<=>?@[\\]^`{|}~", c) != nullptr; }

}  // namespace

const char* FormUrlEncode(std::string& output, const char* input) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(input); *p; ++p) {
    const unsigned char c = *p;
    if (c == ' ') {
      output += '+';
    } else if (c < 0x20 || c == 0x7F || IsEscapedPunctuation(c)) {
      // Control bytes are escaped too: a file name on Linux may hold a line
      // feed, which must never reach the request line raw.
      output += '%';
      output += kHexDigits[c >> 4];
      output += kHexDigits[c & 15];
    } else {
      output += static_cast<char>(c);  // letters, digits, !()*-._ and UTF-8 bytes
    }
  }
  return output.c_str();
}

}  // namespace chunkup

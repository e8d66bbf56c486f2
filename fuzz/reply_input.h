// The input of the reply fuzzers: a readable first line with the numbers the
// reply is judged against, then the reply body as the server sent it:
//   "<status> [<file size>]\n<body>"
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace chunkup::fuzz {

struct ReplyInput {
  int status = 200;
  int64_t fileSize = 0;
  std::string body;
};

// Reads an optional '-' and up to `maxDigits` digits; false when there is none.
inline bool ReadNumber(std::string_view& text, int maxDigits, int64_t* out) {
  bool negative = !text.empty() && text[0] == '-';
  if (negative) text.remove_prefix(1);
  int64_t value = 0;
  int digits = 0;
  while (!text.empty() && text[0] >= '0' && text[0] <= '9' && digits < maxDigits) {
    value = value * 10 + (text[0] - '0');
    text.remove_prefix(1);
    ++digits;
  }
  if (digits == 0) return false;
  *out = negative ? -value : value;
  return true;
}

inline ReplyInput ParseReplyInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  ReplyInput input;
  const size_t lineEnd = text.find('\n');
  std::string_view head = text.substr(0, lineEnd);
  input.body = lineEnd == std::string_view::npos ? std::string() : std::string(text.substr(lineEnd + 1));
  int64_t number = 0;
  if (ReadNumber(head, 4, &number)) input.status = static_cast<int>(number);
  while (!head.empty() && head[0] == ' ') head.remove_prefix(1);
  // File sizes up to 2^52 bytes (4 PiB): chunk counts up to 2^30.
  if (ReadNumber(head, 16, &number) && number >= 0) input.fileSize = number & ((int64_t{1} << 52) - 1);
  return input;
}

}  // namespace chunkup::fuzz

#include "platform/utf.h"

#include <cstdint>
#include <cstring>

namespace chunkup {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point at s[i..n); advances i past what it consumed.
char32_t DecodeUtf8(const unsigned char* s, size_t n, size_t& i) {
  unsigned char b = s[i++];
  if (b < 0x80) return b;
  int extra;
  char32_t cp;
  char32_t min;
  if (b >= 0xC2 && b <= 0xDF) {
    extra = 1, cp = b & 0x1F, min = 0x80;
  } else if (b >= 0xE0 && b <= 0xEF) {
    extra = 2, cp = b & 0x0F, min = 0x800;
  } else if (b >= 0xF0 && b <= 0xF4) {
    extra = 3, cp = b & 0x07, min = 0x10000;
  } else {
    return kReplacement;
  }
  for (int k = 0; k < extra; ++k) {
    if (i >= n || (s[i] & 0xC0) != 0x80) return kReplacement;
    cp = (cp << 6) | (s[i++] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kReplacement;
  return cp;
}

char32_t DecodeUtf16(const char16_t* s, size_t n, size_t& i) {
  char16_t u = s[i++];
  if (u < 0xD800 || u > 0xDFFF) return u;
  if (u <= 0xDBFF && i < n && s[i] >= 0xDC00 && s[i] <= 0xDFFF) {
    char32_t cp = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (s[i] - 0xDC00);
    ++i;
    return cp;
  }
  return kReplacement;
}

int Utf8Length(char32_t cp) { return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4; }

void EncodeUtf8(char32_t cp, char* out) {
  switch (Utf8Length(cp)) {
    case 1: out[0] = static_cast<char>(cp); break;
    case 2:
      out[0] = static_cast<char>(0xC0 | (cp >> 6));
      out[1] = static_cast<char>(0x80 | (cp & 0x3F));
      break;
    case 3:
      out[0] = static_cast<char>(0xE0 | (cp >> 12));
      out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out[2] = static_cast<char>(0x80 | (cp & 0x3F));
      break;
    default:
      out[0] = static_cast<char>(0xF0 | (cp >> 18));
      out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  }
}

size_t Utf16Length(const char16_t* s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

}  // namespace

int ConvertUtf8ToUtf16(const char* source, int sourceLength, char16_t* target, int capacity) {
  if (!source || sourceLength < -1 || capacity < 0) return 0;
  size_t n = sourceLength == -1 ? std::strlen(source) + 1 : static_cast<size_t>(sourceLength);
  const auto* s = reinterpret_cast<const unsigned char*>(source);
  bool measure = target == nullptr || capacity == 0;
  size_t written = 0;
  for (size_t i = 0; i < n;) {
    char32_t cp = DecodeUtf8(s, n, i);
    size_t units = cp >= 0x10000 ? 2 : 1;
    if (written + units > static_cast<size_t>(INT32_MAX)) return 0;
    if (!measure) {
      if (written + units > static_cast<size_t>(capacity)) return 0;
      if (units == 2) {
        target[written] = static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
        target[written + 1] = static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
      } else {
        target[written] = static_cast<char16_t>(cp);
      }
    }
    written += units;
  }
  return static_cast<int>(written);
}

int ConvertUtf16ToUtf8(const char16_t* source, int sourceLength, char* target, int capacity) {
  if (!source || sourceLength < -1 || capacity < 0) return 0;
  size_t n = sourceLength == -1 ? Utf16Length(source) + 1 : static_cast<size_t>(sourceLength);
  bool measure = target == nullptr || capacity == 0;
  size_t written = 0;
  for (size_t i = 0; i < n;) {
    char32_t cp = DecodeUtf16(source, n, i);
    size_t bytes = static_cast<size_t>(Utf8Length(cp));
    if (written + bytes > static_cast<size_t>(INT32_MAX)) return 0;
    if (!measure) {
      if (written + bytes > static_cast<size_t>(capacity)) return 0;
      EncodeUtf8(cp, target + written);
    }
    written += bytes;
  }
  return static_cast<int>(written);
}

std::string Utf16ToUtf8(const std::u16string& text) {
  if (text.empty()) return {};
  int n = ConvertUtf16ToUtf8(text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::string out(static_cast<size_t>(n), '\0');
  ConvertUtf16ToUtf8(text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::u16string Utf8ToUtf16(const std::string& text) {
  if (text.empty()) return {};
  int n = ConvertUtf8ToUtf16(text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::u16string out(static_cast<size_t>(n), u'\0');
  ConvertUtf8ToUtf16(text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

}  // namespace chunkup

#include "tools/cli_text.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "chunkup.h"

namespace chunkup::cli {
namespace {

// Decodes one well-formed UTF-8 sequence at text[i]; returns its length, or 0
// when the bytes there are not well-formed.
size_t DecodeUtf8(const std::string& text, size_t i, char32_t* code) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b0 = byte(i);
  if (b0 < 0x80) {
    *code = b0;
    return 1;
  }
  size_t length;
  char32_t value;
  char32_t minimum;
  if ((b0 & 0xE0) == 0xC0) {
    length = 2, value = b0 & 0x1F, minimum = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    length = 3, value = b0 & 0x0F, minimum = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    length = 4, value = b0 & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    const unsigned char b = byte(i + k);
    if ((b & 0xC0) != 0x80) return 0;
    value = (value << 6) | (b & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code = value;
  return length;
}

}  // namespace

bool Utf8ToUtf16(const std::string& text, std::u16string* out) {
  out->clear();
  for (size_t i = 0; i < text.size();) {
    char32_t code;
    const size_t length = DecodeUtf8(text, i, &code);
    if (length == 0 || code == 0) return false;
    if (code >= 0x10000) {
      code -= 0x10000;
      out->push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out->push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out->push_back(static_cast<char16_t>(code));
    }
    i += length;
  }
  return true;
}

std::string AbsolutePath(const std::string& arg, const std::string& cwd) {
  if (!arg.empty() && arg[0] == '/') return arg;
  std::string rest = arg;
  while (rest.size() > 2 && rest.compare(0, 2, "./") == 0) {
    rest.erase(0, 2);
    while (!rest.empty() && rest[0] == '/') rest.erase(0, 1);
  }
  std::string base = cwd;
  if (base.empty() || base.back() != '/') base += '/';
  return base + rest;
}

std::string JsonQuote(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
      ++i;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
    } else {
      char32_t code;
      const size_t length = DecodeUtf8(text, i, &code);
      if (length == 0) {
        out += "\\ufffd";
        ++i;
      } else {
        out.append(text, i, length);
        i += length;
      }
    }
  }
  out += '"';
  return out;
}

std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t code;
    const size_t length = DecodeUtf8(text, i, &code);
    if (length == 0 || code < 0x20 || (code >= 0x7F && code <= 0x9F)) {
      out += '?';
      i += length == 0 ? 1 : length;
    } else {
      out.append(text, i, length);
      i += length;
    }
  }
  return out;
}

const char* StateName(int32_t state) {
  switch (state) {
    case UPLOAD_STATE_NONE: return "none";
    case UPLOAD_STATE_OK: return "ok";
    case UPLOAD_STATE_TIMEOUT: return "timeout";
    case UPLOAD_STATE_TRANSFER_FAILED: return "transfer-failed";
    case UPLOAD_STATE_REFUSED: return "refused";
    case UPLOAD_STATE_FAILED: return "failed";
    default: return "unknown";
  }
}

std::string ProgressBar(int32_t percent, int width) {
  width = std::max(width, 1);
  const int clamped = std::clamp(percent, 0, 100);
  const int filled = clamped * width / 100;
  std::string bar;
  bar.reserve(static_cast<size_t>(width) + 2);
  bar += '[';
  bar.append(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(width - filled), '.');
  bar += ']';
  return bar;
}

std::string FitLeft(const std::string& text, int columns) {
  // Start offsets of the code points, so a cut never splits a UTF-8 sequence.
  std::vector<size_t> starts;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) starts.push_back(i);
  }
  if (columns <= 0) return {};
  if (static_cast<int>(starts.size()) <= columns) return text;
  if (columns <= 3) return std::string(static_cast<size_t>(columns), '.');
  const size_t keep = static_cast<size_t>(columns - 3);
  return "..." + text.substr(starts[starts.size() - keep]);
}

}  // namespace chunkup::cli

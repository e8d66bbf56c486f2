#include "tools/cli_text.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>
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

namespace {

// Columns one code point takes. A compact table rather than wcwidth(): the
// answer must not depend on the user's locale, and a near miss only costs a
// column of padding, because every line is cut to the terminal's width anyway.
int CodePointWidth(char32_t code) {
  struct Range {
    char32_t first, last;
  };
  static constexpr Range kZeroWidth[] = {
      {0x0300, 0x036F}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200F},
      {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F},
  };
  static constexpr Range kWide[] = {
      {0x1100, 0x115F},   {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},
      {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},
      {0xFE30, 0xFE4F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x1F300, 0x1F64F},
      {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
  };
  for (const Range& r : kZeroWidth)
    if (code >= r.first && code <= r.last) return 0;
  for (const Range& r : kWide)
    if (code >= r.first && code <= r.last) return 2;
  return 1;
}

// Splits `text` into code points with their byte offsets and widths; an
// ill-formed byte counts as one column of its own.
struct Glyph {
  size_t offset;
  size_t length;
  int width;
};
std::vector<Glyph> Glyphs(const std::string& text) {
  std::vector<Glyph> glyphs;
  for (size_t i = 0; i < text.size();) {
    char32_t code;
    const size_t length = DecodeUtf8(text, i, &code);
    if (length == 0) {
      glyphs.push_back({i, 1, 1});
      ++i;
    } else {
      glyphs.push_back({i, length, CodePointWidth(code)});
      i += length;
    }
  }
  return glyphs;
}

std::string PadRight(std::string text, int width) {
  const int have = DisplayWidth(text);
  if (have < width) text.append(static_cast<size_t>(width - have), ' ');
  return text;
}

std::string PadLeft(const std::string& text, int width) {
  const int have = DisplayWidth(text);
  return have < width ? std::string(static_cast<size_t>(width - have), ' ') + text : text;
}

// Widths of the fields of a progress line.
constexpr int kPercentWidth = 4;   // "100%"
constexpr int kBytesWidth = 21;    // "1023.9 MiB/1023.9 GiB"
constexpr int kRateWidth = 12;     // "1023.9 MiB/s"
constexpr int kEtaWidth = 11;      // "ETA 1:02:03"
// Room kept for the state at the line's end: all of "transfer-failed" on a
// wide line, "uploading" and "cancelling" on a narrow one; what does not fit
// is cut at the line's end (the summary after the run says it in full).
constexpr int kWideLabelReserve = 15;
constexpr int kNarrowLabelReserve = 10;
constexpr int kMinNameWidth = 8;

}  // namespace

int DisplayWidth(const std::string& text) {
  int width = 0;
  for (const Glyph& g : Glyphs(text)) width += g.width;
  return width;
}

std::string FitLeft(const std::string& text, int columns) {
  if (columns <= 0) return {};
  if (DisplayWidth(text) <= columns) return text;
  if (columns <= 3) return std::string(static_cast<size_t>(columns), '.');
  // Whole code points from the end, as many as fit after the "...".
  const std::vector<Glyph> glyphs = Glyphs(text);
  int width = 0;
  size_t start = text.size();
  for (size_t k = glyphs.size(); k-- > 0;) {
    if (width + glyphs[k].width > columns - 3) break;
    width += glyphs[k].width;
    start = glyphs[k].offset;
  }
  return "..." + text.substr(start);
}

std::string FitRight(const std::string& text, int columns) {
  int width = 0;
  size_t end = 0;
  for (const Glyph& g : Glyphs(text)) {
    if (width + g.width > columns) break;
    width += g.width;
    end = g.offset + g.length;
  }
  return text.substr(0, end);
}

std::string HumanBytes(uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double value = static_cast<double>(bytes) / 1024.0;
  size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < std::size(kUnits)) {
    value /= 1024.0;
    ++unit;
  }
  // 1023.96 would print as "1024.0": show it as the next unit instead.
  if (value >= 1023.95 && unit + 1 < std::size(kUnits)) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string HumanRate(int32_t kibPerSecond) {
  if (kibPerSecond <= 0) return "0 B/s";
  return HumanBytes(static_cast<uint64_t>(kibPerSecond) * 1024) + "/s";
}

std::string Eta(uint64_t remainingBytes, int32_t kibPerSecond) {
  if (kibPerSecond <= 0) return "--:--";
  const uint64_t perSecond = static_cast<uint64_t>(kibPerSecond) * 1024;
  const uint64_t seconds = remainingBytes / perSecond + (remainingBytes % perSecond != 0);
  if (seconds > 99 * 3600) return ">99h";
  char text[32];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%u:%02u:%02u", static_cast<unsigned>(seconds / 3600),
                  static_cast<unsigned>(seconds / 60 % 60), static_cast<unsigned>(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%u:%02u", static_cast<unsigned>(seconds / 60),
                  static_cast<unsigned>(seconds % 60));
  }
  return text;
}

LineLayout ChooseLayout(int columns, int longestName) {
  struct Candidate {
    int barCells;
    bool bytes, rate, eta;
    int gap;  // spaces between fields
    int labelReserve;
  };
  // Richest first. Narrow layouts close the gaps up to keep a bar at 40 columns.
  static constexpr Candidate kCandidates[] = {
      {20, true, true, true, 2, kWideLabelReserve},    {10, true, true, true, 2, kWideLabelReserve},
      {10, false, true, true, 2, kWideLabelReserve},   {10, false, false, false, 1, kNarrowLabelReserve},
      {0, false, false, false, 1, kNarrowLabelReserve},
  };
  const int usable = columns - 1;
  const int minName = std::min(longestName, kMinNameWidth);
  for (const Candidate& c : kCandidates) {
    int fixed = c.gap + kPercentWidth + c.gap + c.labelReserve;
    if (c.barCells > 0) fixed += c.gap + c.barCells + 2;
    if (c.bytes) fixed += c.gap + kBytesWidth;
    if (c.rate) fixed += c.gap + kRateWidth;
    if (c.eta) fixed += c.gap + kEtaWidth;
    const bool last = &c == &kCandidates[std::size(kCandidates) - 1];
    if (fixed + minName > usable && !last) continue;
    LineLayout layout;
    layout.nameWidth = std::max(0, std::min(longestName, usable - fixed));
    layout.barCells = c.barCells;
    layout.bytes = c.bytes;
    layout.rate = c.rate;
    layout.eta = c.eta;
    return layout;
  }
  return {};
}

std::string ProgressLine(const ProgressFields& f, const LineLayout& layout, int columns) {
  const bool wide = layout.bytes || layout.rate || layout.eta;
  const std::string gap = wide ? "  " : " ";
  std::string line;
  if (layout.nameWidth > 0) line += PadRight(FitLeft(f.name, layout.nameWidth), layout.nameWidth) + gap;
  if (layout.barCells > 0) line += ProgressBar(f.percent, layout.barCells) + gap;
  char percent[16];
  std::snprintf(percent, sizeof percent, "%3d%%", std::clamp(f.percent, 0, 100));
  line += percent;
  // The library reports a percentage, so the bytes done are that share of
  // the size.
  const uint64_t percentDone = static_cast<uint64_t>(std::clamp(f.percent, 0, 100));
  const uint64_t done = f.fileSize / 100 * percentDone + f.fileSize % 100 * percentDone / 100;
  if (layout.bytes) line += gap + PadLeft(HumanBytes(done) + "/" + HumanBytes(f.fileSize), kBytesWidth);
  // A rate and an ETA only while bytes move; the library reports 0 once done.
  if (layout.rate) line += gap + PadLeft(f.running ? HumanRate(f.kibPerSecond) : "", kRateWidth);
  if (layout.eta) line += gap + PadRight(f.running ? "ETA " + Eta(f.fileSize - done, f.kibPerSecond) : "", kEtaWidth);
  line += gap + f.label;
  return FitRight(line, columns - 1);
}

std::string ServiceAddress::HostPort() const {
  return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + port;
}

bool ParseServiceAddress(const std::string& url, ServiceAddress* out) {
  ServiceAddress address;
  address.scheme = "http";
  std::string rest = url;
  const size_t schemeEnd = url.find("://");
  if (schemeEnd != std::string::npos) {
    address.scheme = url.substr(0, schemeEnd);
    for (char& c : address.scheme) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (address.scheme != "http" && address.scheme != "https") return false;
    rest = url.substr(schemeEnd + 3);
  }
  std::string authority = rest.substr(0, rest.find_first_of("/?#"));
  const size_t at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  std::string portText;
  if (!authority.empty() && authority[0] == '[') {
    const size_t close = authority.find(']');
    if (close == std::string::npos) return false;
    address.host = authority.substr(1, close - 1);
    const std::string after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') return false;
      portText = after.substr(1);
    }
  } else {
    const size_t colon = authority.rfind(':');
    address.host = authority.substr(0, colon);
    if (colon != std::string::npos) portText = authority.substr(colon + 1);
  }
  if (address.host.empty()) return false;
  for (unsigned char c : address.host)
    if (c <= ' ' || c == 0x7F) return false;
  if (portText.empty()) {
    address.port = address.scheme == "https" ? "443" : "80";
  } else {
    if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos) return false;
    const int port = std::stoi(portText);
    if (port < 1 || port > 65535) return false;
    address.port = std::to_string(port);
  }
  *out = address;
  return true;
}

std::string FailureReason(const FailureFacts& facts) {
  const std::string& service = facts.service;
  if (facts.cancelled) return "cancelled before the upload finished";
  if (!facts.fileError.empty()) return "file unreadable: " + facts.fileError;
  switch (facts.state) {
    case UPLOAD_STATE_TIMEOUT:
      return "time-out: " + service + " did not answer in time (the library waits 30 seconds per request)";
    case UPLOAD_STATE_REFUSED:
      return "the file service at " + service +
             " answered with an HTTP error status (4xx or 5xx); the service's log says which and why";
    case UPLOAD_STATE_TRANSFER_FAILED:
      return "a chunk did not reach " + service +
             " whole on its last attempt (the connection broke mid-chunk, or the file changed while it was read)";
    case UPLOAD_STATE_FAILED:
      switch (facts.reach) {
        case Reachability::kRefused:
          return "connection refused to " + service + " (is the service running there?)";
        case Reachability::kUnresolved:
          return "cannot resolve the host name of " + service;
        case Reachability::kUnreachable:
          return "cannot connect to " + service + " (no route, or no answer to the connection attempt)";
        case Reachability::kConnected:
          if (facts.https) {
            return "the HTTPS exchange with " + service +
                   " failed: most often its certificate is not trusted or names another host (a private CA "
                   "goes in CHUNKUP_CA_FILE)";
          }
          return "the exchange with " + service + " failed (the connection broke, or the answer was not HTTP)";
        case Reachability::kNotChecked:
          break;
      }
      return "the upload to " + service + " failed (network error or an answer the library could not use)";
    default:
      // The library ends a read failure or a reply it could not use with
      // no result URL but no failure state.
      return "the upload ended without a result URL (the file may have changed or become unreadable while "
             "it was read, or the service's answer lacked a URL)";
  }
}

}  // namespace chunkup::cli

#include "fingerprint/encodings.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/platform.h"

namespace chunkup {
namespace {

constexpr char kBase64UrlAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr char kHexDigits[] = "0123456789abcdef";

// Holds up to 260 units inside itself and takes the heap only beyond that, so
// the usual short names and URLs convert without an allocation.
template <typename Unit>
class ConversionBuffer {
 public:
  static constexpr int kInlineUnits = 260;
  explicit ConversionBuffer(int units) {
    if (units > kInlineUnits) m_heap = std::make_unique<Unit[]>(static_cast<size_t>(units));
  }
  Unit* data() { return m_heap ? m_heap.get() : m_inline; }

 private:
  Unit m_inline[kInlineUnits];
  std::unique_ptr<Unit[]> m_heap;
};

// Reserved ASCII that the report query escapes as %xx.
bool IsEscapedPunctuation(unsigned char c) { return std::strchr("\"#$%&'+,/:;<=>?@[\\]^`{|}~", c) != nullptr; }

}  // namespace

size_t Base64UrlEncode(const uint8_t* source, size_t length, char* destination, size_t capacity,
                       bool* error) {
  const size_t needed = (length + 2) / 3 * 4;
  if (error) *error = false;
  if (!destination) return needed;
  if (capacity < needed) {
    if (error) *error = true;
    return 0;
  }
  auto encodeGroup = [](const uint8_t* b, char* out) {
    out[0] = kBase64UrlAlphabet[b[0] >> 2];
    out[1] = kBase64UrlAlphabet[((b[0] & 3) << 4) | (b[1] >> 4)];
    out[2] = kBase64UrlAlphabet[((b[1] & 15) << 2) | (b[2] >> 6)];
    out[3] = kBase64UrlAlphabet[b[2] & 63];
  };
  size_t in = 0;
  char* out = destination;
  for (; length - in >= 3; in += 3, out += 4) encodeGroup(source + in, out);
  const size_t rest = length - in;
  if (rest > 0) {
    uint8_t group[3] = {0, 0, 0};
    std::memcpy(group, source + in, rest);
    encodeGroup(group, out);
    for (size_t k = rest + 1; k < 4; ++k) out[k] = '=';
  }
  return needed;
}

int MakeChunkKey(std::string& key, const uint8_t* digest) {
  char text[29] = {};
  bool error = false;
  size_t n = Base64UrlEncode(digest, 20, text, sizeof text - 1, &error);
  key.assign(text, n);
  return 0;
}

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

char* WideToUtf8Buffer(Platform& platform, const char16_t* text) {
  if (!text) return nullptr;
  int size = platform.WideToMultiByte(CodePage::kUtf8, text, -1, nullptr, 0);
  if (size <= 0) return nullptr;
  char* block = static_cast<char*>(std::malloc(static_cast<size_t>(size)));
  if (!block) return nullptr;
  if (platform.WideToMultiByte(CodePage::kUtf8, text, -1, block, size) == 0) {
    std::free(block);
    return nullptr;
  }
  return block;
}

std::u16string AnsiToWide(Platform& platform, const std::string& text) {
  if (text.empty()) return {};
  const char* source = text.c_str();  // up to the first zero
  int units = platform.MultiByteToWide(CodePage::kAnsi, source, -1, nullptr, 0);
  if (units <= 0) return {};
  ConversionBuffer<char16_t> buffer(units);
  if (platform.MultiByteToWide(CodePage::kAnsi, source, -1, buffer.data(), units) == 0) return {};
  return std::u16string(buffer.data());
}

std::string WideToUtf8(Platform& platform, const std::u16string& text) {
  if (text.empty()) return {};
  const char16_t* source = text.c_str();
  int bytes = platform.WideToMultiByte(CodePage::kUtf8, source, -1, nullptr, 0);
  if (bytes <= 0) return {};
  ConversionBuffer<char> buffer(bytes);
  if (platform.WideToMultiByte(CodePage::kUtf8, source, -1, buffer.data(), bytes) == 0) return {};
  return std::string(buffer.data());
}

}  // namespace chunkup

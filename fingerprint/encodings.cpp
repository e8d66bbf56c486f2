#include "fingerprint/encodings.h"

#include <cstring>


namespace chunkup {
namespace {

constexpr char kBase64UrlAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

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

}  // namespace chunkup

// Small helpers shared by the fingerprint tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fingerprint/sha1.h"

namespace chunkup::testing {

inline std::string ToHex(const uint8_t* bytes, size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < count; ++i) {
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 15];
  }
  return hex;
}

// SHA-1 of `bytes` in one feed, as lower-case hex, with whatever path is active.
inline std::string Sha1Hex(const void* bytes, size_t count) {
  Sha1State state;
  Sha1Start(state);
  Sha1Feed(state, static_cast<const uint8_t*>(bytes), count);
  uint8_t digest[kSha1DigestSize];
  Sha1Finish(state, digest);
  return ToHex(digest, sizeof digest);
}

// Deterministic bytes that differ from chunk to chunk (a zero-filled file
// would give every full chunk the same digest and hide mix-ups).
inline std::string PatternBytes(size_t count, uint32_t seed) {
  std::string bytes(count, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < count; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    bytes[i] = static_cast<char>(x >> 24);
  }
  return bytes;
}

}  // namespace chunkup::testing

// Test data no other test produces, so the service never holds it already.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>

namespace chunkup::testing {

inline std::string RandomBytes(size_t size) {
  static std::atomic<uint64_t> counter{0};
  std::mt19937_64 generator(std::random_device{}() ^ (++counter * 0x9E3779B97F4A7C15ull));
  std::string bytes(size, '\0');
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    const uint64_t word = generator();
    std::memcpy(&bytes[i], &word, 8);
  }
  for (; i < size; ++i) bytes[i] = static_cast<char>(generator());
  return bytes;
}

}  // namespace chunkup::testing

// SHA-1 (FIPS 180-1, RFC 3174) for the chunk digests. Two block functions sit
// behind one interface: one with the x86 SHA extensions, chosen at run time
// when the CPU has them, and portable code for every other CPU.
#pragma once

#include <cstddef>
#include <cstdint>

namespace chunkup {

inline constexpr size_t kSha1DigestSize = 20;
inline constexpr size_t kSha1BlockSize = 64;

// The running state of one SHA-1 computation.
struct Sha1State {
  uint32_t chaining[5];
  uint32_t bitCountLow;   // message length in bits, low half first
  uint32_t bitCountHigh;
  uint8_t block[kSha1BlockSize];
  int blockIndex;         // bytes waiting in `block`, 0 to 63 between calls
  uint8_t finished;       // the digest has been padded and written
  uint8_t overflow;       // more than 2^64 - 1 bits, or bytes fed after the digest
};

void Sha1Start(Sha1State& state);
// Feeding 0 bytes does nothing. Bytes fed after Sha1Finish are ignored and set
// the overflow flag, as do bytes past a message of 2^64 - 1 bits.
void Sha1Feed(Sha1State& state, const uint8_t* bytes, size_t count);
// Pads once and writes the 20 digest bytes in the standard order. A second
// call writes the same digest again.
void Sha1Finish(Sha1State& state, uint8_t digest[kSha1DigestSize]);

// The block function in use. kShaNi exists only on x86 CPUs with the SHA
// extensions (and SSSE3 / SSE4.1); the best available one is chosen at start.
enum class Sha1Path { kPortable, kShaNi };
bool Sha1PathAvailable(Sha1Path path);
Sha1Path Sha1ActivePath();
// Switches every later computation in the process to `path`, for tests and
// benchmarks that compare the two; false (and no change) when the CPU lacks it.
bool Sha1UsePath(Sha1Path path);
// Back to the best path this CPU has.
void Sha1UseBestPath();

}  // namespace chunkup

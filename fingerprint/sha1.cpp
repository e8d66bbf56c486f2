#include "fingerprint/sha1.h"

#include <atomic>
#include <cstring>

#include "fingerprint/sha1_blocks.h"

namespace chunkup {
namespace sha1_detail {
namespace {

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t LoadBigEndian(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

}  // namespace

// Fully unrolled, with the 80-word schedule kept as a rolling window of 16
// words, so the working set stays in registers.
void PortableBlocks(uint32_t chaining[5], const uint8_t* blocks, size_t count) {
  uint32_t w[16];
  for (; count > 0; --count, blocks += kSha1BlockSize) {
    uint32_t a = chaining[0], b = chaining[1], c = chaining[2], d = chaining[3], e = chaining[4];
    for (int i = 0; i < 16; ++i) w[i] = LoadBigEndian(blocks + 4 * i);

#define CHUNKUP_SHA1_W(i) \
  (w[(i) & 15] = Rotl(w[((i) + 13) & 15] ^ w[((i) + 8) & 15] ^ w[((i) + 2) & 15] ^ w[(i) & 15], 1))
#define CHUNKUP_SHA1_STEP(f, k, v, x, y, z, u, word) \
  u += (f) + (k) + (word) + Rotl(v, 5);              \
  x = Rotl(x, 30);
// Choose, parity and majority; the argument names follow the rotation below.
#define CHUNKUP_SHA1_CH(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define CHUNKUP_SHA1_PARITY(x, y, z) ((x) ^ (y) ^ (z))
#define CHUNKUP_SHA1_MAJ(x, y, z) (((x) & (y)) | ((z) & ((x) | (y))))
#define R0(v, x, y, z, u, i) CHUNKUP_SHA1_STEP(CHUNKUP_SHA1_CH(x, y, z), 0x5A827999u, v, x, y, z, u, w[i])
#define R1(v, x, y, z, u, i) \
  CHUNKUP_SHA1_STEP(CHUNKUP_SHA1_CH(x, y, z), 0x5A827999u, v, x, y, z, u, CHUNKUP_SHA1_W(i))
#define R2(v, x, y, z, u, i) \
  CHUNKUP_SHA1_STEP(CHUNKUP_SHA1_PARITY(x, y, z), 0x6ED9EBA1u, v, x, y, z, u, CHUNKUP_SHA1_W(i))
#define R3(v, x, y, z, u, i) \
  CHUNKUP_SHA1_STEP(CHUNKUP_SHA1_MAJ(x, y, z), 0x8F1BBCDCu, v, x, y, z, u, CHUNKUP_SHA1_W(i))
#define R4(v, x, y, z, u, i) \
  CHUNKUP_SHA1_STEP(CHUNKUP_SHA1_PARITY(x, y, z), 0xCA62C1D6u, v, x, y, z, u, CHUNKUP_SHA1_W(i))
// Five steps rotate the roles of a..e back to where they started.
#define FIVE(R, i)           \
  R(a, b, c, d, e, (i) + 0) \
  R(e, a, b, c, d, (i) + 1) \
  R(d, e, a, b, c, (i) + 2) \
  R(c, d, e, a, b, (i) + 3) \
  R(b, c, d, e, a, (i) + 4)

    FIVE(R0, 0) FIVE(R0, 5) FIVE(R0, 10)
    R0(a, b, c, d, e, 15) R1(e, a, b, c, d, 16) R1(d, e, a, b, c, 17) R1(c, d, e, a, b, 18) R1(b, c, d, e, a, 19)
    FIVE(R2, 20) FIVE(R2, 25) FIVE(R2, 30) FIVE(R2, 35)
    FIVE(R3, 40) FIVE(R3, 45) FIVE(R3, 50) FIVE(R3, 55)
    FIVE(R4, 60) FIVE(R4, 65) FIVE(R4, 70) FIVE(R4, 75)

#undef FIVE
#undef R4
#undef R3
#undef R2
#undef R1
#undef R0
#undef CHUNKUP_SHA1_MAJ
#undef CHUNKUP_SHA1_PARITY
#undef CHUNKUP_SHA1_CH
#undef CHUNKUP_SHA1_STEP
#undef CHUNKUP_SHA1_W

    chaining[0] += a;
    chaining[1] += b;
    chaining[2] += c;
    chaining[3] += d;
    chaining[4] += e;
  }
}

}  // namespace sha1_detail

namespace {

using sha1_detail::BlockFunction;

BlockFunction BestBlocks() {
  if (sha1_detail::kShaNiBlocks && sha1_detail::CpuHasShaNi()) return sha1_detail::kShaNiBlocks;
  return sha1_detail::PortableBlocks;
}

// Chosen at the first use (not during static initialisation, so a caller
// from another file's static constructor is safe); switched only by tests and
// benchmarks.
std::atomic<BlockFunction> g_blocks{nullptr};

BlockFunction ActiveBlocks() {
  BlockFunction blocks = g_blocks.load(std::memory_order_relaxed);
  if (!blocks) {
    blocks = BestBlocks();
    g_blocks.store(blocks, std::memory_order_relaxed);
  }
  return blocks;
}

constexpr uint32_t kInitialChaining[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};

// Adds `count` bytes to the bit count; false once it would pass 2^64 - 1.
bool AddToBitCount(Sha1State& state, size_t count) {
  const uint64_t bits = (uint64_t{state.bitCountHigh} << 32) | state.bitCountLow;
  const uint64_t bytes = static_cast<uint64_t>(count);
  if (bytes > (UINT64_MAX >> 3) || (bytes << 3) > UINT64_MAX - bits) return false;
  const uint64_t total = bits + (bytes << 3);
  state.bitCountLow = static_cast<uint32_t>(total);
  state.bitCountHigh = static_cast<uint32_t>(total >> 32);
  return true;
}

}  // namespace

void Sha1Start(Sha1State& state) {
  std::memcpy(state.chaining, kInitialChaining, sizeof kInitialChaining);
  state.bitCountLow = 0;
  state.bitCountHigh = 0;
  state.blockIndex = 0;
  state.finished = 0;
  state.overflow = 0;
}

void Sha1Feed(Sha1State& state, const uint8_t* bytes, size_t count) {
  if (count == 0) return;
  if (state.finished || state.overflow || !AddToBitCount(state, count)) {
    state.overflow = 1;
    return;
  }
  const BlockFunction blocks = ActiveBlocks();

  if (state.blockIndex > 0) {
    const size_t room = kSha1BlockSize - static_cast<size_t>(state.blockIndex);
    const size_t take = count < room ? count : room;
    std::memcpy(state.block + state.blockIndex, bytes, take);
    state.blockIndex += static_cast<int>(take);
    bytes += take;
    count -= take;
    if (state.blockIndex < static_cast<int>(kSha1BlockSize)) return;
    blocks(state.chaining, state.block, 1);
    state.blockIndex = 0;
  }
  // Whole blocks go straight from the caller's bytes.
  const size_t whole = count / kSha1BlockSize;
  if (whole > 0) {
    blocks(state.chaining, bytes, whole);
    bytes += whole * kSha1BlockSize;
    count -= whole * kSha1BlockSize;
  }
  if (count > 0) {
    std::memcpy(state.block, bytes, count);
    state.blockIndex = static_cast<int>(count);
  }
}

void Sha1Finish(Sha1State& state, uint8_t digest[kSha1DigestSize]) {
  if (!state.finished) {
    const BlockFunction blocks = ActiveBlocks();
    size_t index = static_cast<size_t>(state.blockIndex);
    state.block[index++] = 0x80;
    if (index > kSha1BlockSize - 8) {
      std::memset(state.block + index, 0, kSha1BlockSize - index);
      blocks(state.chaining, state.block, 1);
      index = 0;
    }
    std::memset(state.block + index, 0, kSha1BlockSize - 8 - index);
    const uint32_t halves[2] = {state.bitCountHigh, state.bitCountLow};
    for (int h = 0; h < 2; ++h) {
      for (int k = 0; k < 4; ++k) {
        state.block[kSha1BlockSize - 8 + 4 * h + k] = static_cast<uint8_t>(halves[h] >> (24 - 8 * k));
      }
    }
    blocks(state.chaining, state.block, 1);
    state.blockIndex = 0;
    state.finished = 1;
  }
  for (int i = 0; i < 5; ++i) {
    for (int k = 0; k < 4; ++k) digest[4 * i + k] = static_cast<uint8_t>(state.chaining[i] >> (24 - 8 * k));
  }
}

bool Sha1PathAvailable(Sha1Path path) {
  if (path == Sha1Path::kPortable) return true;
  return sha1_detail::kShaNiBlocks != nullptr && sha1_detail::CpuHasShaNi();
}

Sha1Path Sha1ActivePath() {
  return ActiveBlocks() == sha1_detail::PortableBlocks ? Sha1Path::kPortable : Sha1Path::kShaNi;
}

bool Sha1UsePath(Sha1Path path) {
  if (!Sha1PathAvailable(path)) return false;
  g_blocks = path == Sha1Path::kPortable ? sha1_detail::PortableBlocks : sha1_detail::kShaNiBlocks;
  return true;
}

void Sha1UseBestPath() { g_blocks = BestBlocks(); }

}  // namespace chunkup

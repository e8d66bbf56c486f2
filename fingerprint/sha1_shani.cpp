// SHA-1 blocks with the x86 SHA extensions. Compiled for every x86 build with
// a function-level target, and only called after CPUID has shown the CPU
// supports it, so the rest of the library keeps the baseline instruction set.
#include "fingerprint/sha1_blocks.h"

#if defined(__x86_64__) || defined(__i386__)

#include <cpuid.h>
#include <immintrin.h>

namespace chunkup::sha1_detail {
namespace {

// 32-bit Windows only promises 4-byte stack alignment (a thread's first frame
// may be so aligned), while the compiler keeps __m128i values on the stack as
// SSE operands that fault unless 16-byte aligned: realign on entry.
#if defined(__i386__)
#define CHUNKUP_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3"), force_align_arg_pointer))
#else
#define CHUNKUP_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))
#endif

// Four rounds of group g (0..19). W[g] is in `cur`; the next three message
// vectors are prepared in the other registers as the schedule allows:
// `prev` = W[g-1], `prev2` = W[g-2], `prev3` = W[g-3] (which becomes W[g+1]).
// `e` carries E into these rounds; `save` receives ABCD for the next group.
#define CHUNKUP_SHA_GROUP(g, e, save, cur, prev, prev2, prev3)                    \
  e = _mm_sha1nexte_epu32(e, cur);                                                \
  save = abcd;                                                                    \
  if ((g) >= 3 && (g) <= 18) prev3 = _mm_sha1msg2_epu32(prev3, cur);             \
  abcd = _mm_sha1rnds4_epu32(abcd, e, (g) / 5);                                   \
  if ((g) >= 1 && (g) <= 16) prev = _mm_sha1msg1_epu32(prev, cur);               \
  if ((g) >= 2 && (g) <= 17) prev2 = _mm_xor_si128(prev2, cur);

CHUNKUP_SHA_TARGET void ShaNiBlocksImpl(uint32_t chaining[5], const uint8_t* blocks, size_t count) {
  const __m128i byteSwap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
  // The instructions want A in the top lane: reverse the word order.
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(chaining)), 0x1B);
  __m128i e0 = _mm_set_epi32(static_cast<int>(chaining[4]), 0, 0, 0);

  for (; count > 0; --count, blocks += 64) {
    const __m128i abcdSave = abcd;
    const __m128i eSave = e0;
    __m128i e1;
    __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 0)), byteSwap);
    __m128i m1 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16)), byteSwap);
    __m128i m2 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 32)), byteSwap);
    __m128i m3 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 48)), byteSwap);

    // Group 0 adds E directly; every later group derives it from the
    // previous ABCD with sha1nexte.
    e0 = _mm_add_epi32(e0, m0);
    e1 = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, e0, 0);

    CHUNKUP_SHA_GROUP(1, e1, e0, m1, m0, m3, m2)
    CHUNKUP_SHA_GROUP(2, e0, e1, m2, m1, m0, m3)
    CHUNKUP_SHA_GROUP(3, e1, e0, m3, m2, m1, m0)
    CHUNKUP_SHA_GROUP(4, e0, e1, m0, m3, m2, m1)
    CHUNKUP_SHA_GROUP(5, e1, e0, m1, m0, m3, m2)
    CHUNKUP_SHA_GROUP(6, e0, e1, m2, m1, m0, m3)
    CHUNKUP_SHA_GROUP(7, e1, e0, m3, m2, m1, m0)
    CHUNKUP_SHA_GROUP(8, e0, e1, m0, m3, m2, m1)
    CHUNKUP_SHA_GROUP(9, e1, e0, m1, m0, m3, m2)
    CHUNKUP_SHA_GROUP(10, e0, e1, m2, m1, m0, m3)
    CHUNKUP_SHA_GROUP(11, e1, e0, m3, m2, m1, m0)
    CHUNKUP_SHA_GROUP(12, e0, e1, m0, m3, m2, m1)
    CHUNKUP_SHA_GROUP(13, e1, e0, m1, m0, m3, m2)
    CHUNKUP_SHA_GROUP(14, e0, e1, m2, m1, m0, m3)
    CHUNKUP_SHA_GROUP(15, e1, e0, m3, m2, m1, m0)
    CHUNKUP_SHA_GROUP(16, e0, e1, m0, m3, m2, m1)
    CHUNKUP_SHA_GROUP(17, e1, e0, m1, m0, m3, m2)
    CHUNKUP_SHA_GROUP(18, e0, e1, m2, m1, m0, m3)
    CHUNKUP_SHA_GROUP(19, e1, e0, m3, m2, m1, m0)

    // e0 holds ABCD before the last group: its A, rotated, is the new E.
    e0 = _mm_sha1nexte_epu32(e0, eSave);
    abcd = _mm_add_epi32(abcd, abcdSave);
  }

  _mm_storeu_si128(reinterpret_cast<__m128i*>(chaining), _mm_shuffle_epi32(abcd, 0x1B));
  chaining[4] = static_cast<uint32_t>(_mm_extract_epi32(e0, 3));
}

#undef CHUNKUP_SHA_GROUP

}  // namespace

const BlockFunction kShaNiBlocks = ShaNiBlocksImpl;

bool CpuHasShaNi() {
  static const bool has = [] {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    const bool ssse3 = (ecx & (1u << 9)) != 0;
    const bool sse41 = (ecx & (1u << 19)) != 0;
    if (__get_cpuid_max(0, nullptr) < 7) return false;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    const bool sha = (ebx & (1u << 29)) != 0;
    return ssse3 && sse41 && sha;
  }();
  return has;
}

}  // namespace chunkup::sha1_detail

#else

namespace chunkup::sha1_detail {
const BlockFunction kShaNiBlocks = nullptr;
bool CpuHasShaNi() { return false; }
}  // namespace chunkup::sha1_detail

#endif

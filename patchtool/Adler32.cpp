#include "Adler32.h"

#if defined(__i386__) || defined(__x86_64__)
#include <emmintrin.h>
#define VCDIFF_ADLER_SSE2 1
#endif

namespace vcdiff {
namespace {

constexpr uint32_t kBase = 65521;
// The most bytes between reductions for which the sums cannot pass 32 bits:
// 255 n (n + 1) / 2 + (n + 1) (kBase - 1) <= 2^32 - 1. Kept a multiple of 16.
constexpr size_t kMaxRun = 5552 / 16 * 16;

void Scalar(uint32_t& a, uint32_t& b, const uint8_t* data, size_t size) {
  while (size) {
    const size_t n = size < kMaxRun ? size : kMaxRun;
    for (size_t i = 0; i < n; ++i) {
      a += data[i];
      b += a;
    }
    a %= kBase;
    b %= kBase;
    data += n;
    size -= n;
  }
}

#ifdef VCDIFF_ADLER_SSE2
__attribute__((target("sse2"))) uint32_t SumLanes(__m128i v) {
  v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
  v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
  return uint32_t(_mm_cvtsi128_si32(v));
}

// Over a run of k 16-byte blocks d_0..d_{k-1}, with a and b as they stood before it:
//   a' = a + sum of all bytes
//   b' = b + 16k a + 16 sum_j (k - 1 - j) S_j + sum_j sum_i (16 - i) d_j[i]
// where S_j is block j's byte sum. The middle sum is kept as a running total of
// the S_j seen before each block; the last is two multiply-adds per block.
__attribute__((target("sse2"))) void Blocks(uint32_t& a, uint32_t& b, const uint8_t* data,
                                            size_t blocks) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i firstWeights = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
  const __m128i lastWeights = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
  while (blocks) {
    const size_t k = blocks < kMaxRun / 16 ? blocks : kMaxRun / 16;
    __m128i sums = zero, earlier = zero, weighted = zero;
    for (size_t j = 0; j < k; ++j) {
      const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * j));
      earlier = _mm_add_epi32(earlier, sums);
      sums = _mm_add_epi32(sums, _mm_sad_epu8(d, zero));
      weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(d, zero), firstWeights));
      weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpackhi_epi8(d, zero), lastWeights));
    }
    const uint64_t bytes = 16 * uint64_t(k);
    b = uint32_t((b + bytes * a + 16 * uint64_t(SumLanes(earlier)) + SumLanes(weighted)) % kBase);
    a = (a + SumLanes(sums)) % kBase;
    data += 16 * k;
    blocks -= k;
  }
}
#endif

}  // namespace

uint32_t Adler32(uint32_t adler, const uint8_t* data, size_t size) {
  uint32_t a = adler & 0xFFFF, b = adler >> 16;
#ifdef VCDIFF_ADLER_SSE2
  Blocks(a, b, data, size / 16);
  data += size / 16 * 16;
  size %= 16;
#endif
  Scalar(a, b, data, size);
  return b << 16 | a;
}

}  // namespace vcdiff

// AVX baseline variant of the compressed storage kernels: lengths and counts
// add in 128-bit integer registers; sums become doubles through the signed
// conversion of AVX, biased by 2^31.
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "storage/compressed_kernels_variants.h"

namespace kernels_avx {
namespace {

inline int64_t Total2(__m128i v) { return _mm_cvtsi128_si64(v) + _mm_extract_epi64(v, 1); }

inline int64_t SumI32x8(const int32_t* p) {
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4));
  const __m128i s = _mm_add_epi64(_mm_add_epi64(_mm_cvtepi32_epi64(a), _mm_cvtepi32_epi64(_mm_srli_si128(a, 8))),
                                  _mm_add_epi64(_mm_cvtepi32_epi64(b), _mm_cvtepi32_epi64(_mm_srli_si128(b, 8))));
  return Total2(s);
}

using CountSum = __m128i;
constexpr uint32_t kPairsPerStep = 2;
inline CountSum ZeroCounts() { return _mm_setzero_si128(); }
// A pair is {start, count}: the count is the high half of each 64-bit lane.
inline CountSum AddCounts(CountSum acc, const LayoutPair* p) {
  return _mm_add_epi64(acc, _mm_srli_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), 32));
}
inline int64_t TotalOf(CountSum acc) { return Total2(acc); }

// x - 2^31 fits the signed conversion; adding 2^31 back is exact.
inline __m256d LoadSums4(const uint32_t* p) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i biased = _mm_xor_si128(v, _mm_set1_epi32(static_cast<int32_t>(0x80000000u)));
  return _mm256_add_pd(_mm256_cvtepi32_pd(biased), _mm256_set1_pd(2147483648.0));
}

}  // namespace

#include "storage/compressed_kernels_body.inc"

}  // namespace kernels_avx

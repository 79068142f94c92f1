// AVX2 variant of the compressed storage kernels: lengths and counts widen and
// add in 256-bit integer registers; sums become doubles through the 2^52
// exponent trick on 64-bit lanes.
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "storage/compressed_kernels_variants.h"

namespace kernels_avx2 {
namespace {

inline int64_t Total4(__m256i v) {
  const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  return _mm_cvtsi128_si64(s) + _mm_extract_epi64(s, 1);
}

inline int64_t SumI32x8(const int32_t* p) {
  const __m256i lo = _mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  const __m256i hi = _mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4)));
  return Total4(_mm256_add_epi64(lo, hi));
}

using CountSum = __m256i;
constexpr uint32_t kPairsPerStep = 4;
inline CountSum ZeroCounts() { return _mm256_setzero_si256(); }
// A pair is {start, count}: the count is the high half of each 64-bit lane.
inline CountSum AddCounts(CountSum acc, const LayoutPair* p) {
  const __m256i pairs = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  return _mm256_add_epi64(acc, _mm256_srli_epi64(pairs, 32));
}
inline int64_t TotalOf(CountSum acc) { return Total4(acc); }

// 2^52 + x in the bits of a double is exactly that number: subtract 2^52.
inline __m256d LoadSums4(const uint32_t* p) {
  const __m256i wide = _mm256_cvtepu32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  const __m256i magic = _mm256_set1_epi64x(0x4330000000000000ll);
  return _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(wide, magic)), _mm256_castsi256_pd(magic));
}

}  // namespace

#include "storage/compressed_kernels_body.inc"

}  // namespace kernels_avx2

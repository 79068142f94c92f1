// AVX baseline variant of the compatible-reach sums: the mask tests run on
// two 128-bit halves (AVX has no 256-bit integer instructions), the sums on
// four doubles.
#include <immintrin.h>

#include <cstdint>

#include "solver/reach_sums_variants.h"

namespace kernels_avx {
namespace {

inline __m256d CompatibleLanes(const uint64_t* hands, uint64_t hand) {
  const __m128i h = _mm_set1_epi64x(static_cast<long long>(hand)), zero = _mm_setzero_si128();
  const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hands));
  const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hands + 2));
  const __m128i zlo = _mm_cmpeq_epi64(_mm_and_si128(lo, h), zero);
  const __m128i zhi = _mm_cmpeq_epi64(_mm_and_si128(hi, h), zero);
  return _mm256_castsi256_pd(_mm256_insertf128_si256(_mm256_castsi128_si256(zlo), zhi, 1));
}

}  // namespace

#include "solver/reach_sums_body.inc"

}  // namespace kernels_avx

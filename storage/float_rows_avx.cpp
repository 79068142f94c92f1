// AVX baseline variant of the float row loops: eight hands per step, lock
// masks widened with SSE4.1 in two halves.
#include <immintrin.h>

#include <cfloat>
#include <cstdint>

#include "storage/float_rows.h"

namespace kernels_avx {
namespace {

// All lanes set where the hand's lock-mask byte is 0 (eight bytes at m).
inline __m256 FreeLanes(const uint8_t* m) {
  const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(m));
  const __m128i zero = _mm_setzero_si128();
  const __m128i lo = _mm_cmpeq_epi32(_mm_cvtepu8_epi32(bytes), zero);
  const __m128i hi = _mm_cmpeq_epi32(_mm_cvtepu8_epi32(_mm_srli_si128(bytes, 4)), zero);
  return _mm256_castsi256_ps(_mm256_insertf128_si256(_mm256_castsi128_si256(lo), hi, 1));
}

}  // namespace

#include "storage/float_rows_body.inc"

}  // namespace kernels_avx

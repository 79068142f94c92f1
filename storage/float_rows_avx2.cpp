// AVX2/FMA variant of the float row loops: eight hands per step, lock masks
// widened in one 256-bit step. The arithmetic uses no fused operations, so the
// results equal those of the baseline bit for bit.
#include <immintrin.h>

#include <cfloat>
#include <cstdint>

#include "storage/float_rows.h"

namespace kernels_avx2 {
namespace {

// All lanes set where the hand's lock-mask byte is 0 (eight bytes at m).
inline __m256 FreeLanes(const uint8_t* m) {
  const __m256i bytes = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(m)));
  return _mm256_castsi256_ps(_mm256_cmpeq_epi32(bytes, _mm256_setzero_si256()));
}

}  // namespace

#include "storage/float_rows_body.inc"

}  // namespace kernels_avx2

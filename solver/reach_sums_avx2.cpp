// AVX2 variant of the compatible-reach sums: four hand masks tested per
// 256-bit integer instruction.
#include <immintrin.h>

#include <cstdint>

#include "solver/reach_sums_variants.h"

namespace kernels_avx2 {
namespace {

inline __m256d CompatibleLanes(const uint64_t* hands, uint64_t hand) {
  const __m256i masks = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(hands));
  const __m256i shared = _mm256_and_si256(masks, _mm256_set1_epi64x(static_cast<long long>(hand)));
  return _mm256_castsi256_pd(_mm256_cmpeq_epi64(shared, _mm256_setzero_si256()));
}

}  // namespace

#include "solver/reach_sums_body.inc"

}  // namespace kernels_avx2

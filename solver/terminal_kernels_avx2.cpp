// AVX2/FMA variant of the fold, showdown and terminal-pair kernels: the card
// sums of four hands are fetched with one gather per card of the pair, and
// the hand's own term of a fold is fused into its total.
#include <immintrin.h>

#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "solver/terminal_kernels_variants.h"

namespace kernels_avx2 {
namespace {

inline __m256d Fmadd(__m256d a, __m256d b, __m256d c) { return _mm256_fmadd_pd(a, b, c); }

// The masked form with an explicit source and a full mask is the same
// instruction as the plain gather, whose intrinsic leaves its source undefined.
inline __m256d Gather(const double* table, __m128i index) {
  const __m256d all = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
  return _mm256_mask_i32gather_pd(_mm256_setzero_pd(), table, index, all, 8);
}

inline void GatherCards(const double* table, const uint16_t* codes, __m256d& lo, __m256d& hi) {
  const __m128i c = _mm_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(codes)));
  const __m128i six = _mm_set1_epi32(63);
  lo = Gather(table, _mm_and_si128(c, six));
  hi = Gather(table, _mm_and_si128(_mm_srli_epi32(c, 8), six));
}

}  // namespace

#include "solver/terminal_kernels_body.inc"

}  // namespace kernels_avx2

// AVX baseline variant of the fold, showdown and terminal-pair kernels: four
// doubles per instruction, card sums fetched with scalar loads (AVX has no
// gather), multiply and add kept separate.
#include <immintrin.h>

#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "solver/terminal_kernels_variants.h"

namespace kernels_avx {
namespace {

inline __m256d Fmadd(__m256d a, __m256d b, __m256d c) { return _mm256_add_pd(_mm256_mul_pd(a, b), c); }

inline void GatherCards(const double* t, const uint16_t* codes, __m256d& lo, __m256d& hi) {
  lo = _mm256_set_pd(t[codes[3] & 63], t[codes[2] & 63], t[codes[1] & 63], t[codes[0] & 63]);
  hi = _mm256_set_pd(t[(codes[3] >> 8) & 63], t[(codes[2] >> 8) & 63], t[(codes[1] >> 8) & 63],
                     t[(codes[0] >> 8) & 63]);
}

}  // namespace

#include "solver/terminal_kernels_body.inc"

}  // namespace kernels_avx

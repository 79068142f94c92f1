// AVX baseline variant of the report kernels: separate multiply and add,
// selections as and/andnot/or.
#include <immintrin.h>

#include <cstdint>

#include "solver/report_kernels_variants.h"

namespace kernels_avx {
namespace {

inline __m256d Fmadd(__m256d a, __m256d b, __m256d c) { return _mm256_add_pd(_mm256_mul_pd(a, b), c); }
inline double FmaddScalar(double a, double b, double c) { return a * b + c; }
inline __m256d Select(__m256d m, __m256d a, __m256d b) {
  return _mm256_or_pd(_mm256_and_pd(m, a), _mm256_andnot_pd(m, b));
}

}  // namespace

#include "solver/report_kernels_body.inc"

}  // namespace kernels_avx

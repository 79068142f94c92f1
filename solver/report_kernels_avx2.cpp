// AVX2/FMA variant of the report kernels: the EV accumulation fuses its
// multiply-add, selections are blends.
#include <immintrin.h>

#include <cstdint>

#include "solver/report_kernels_variants.h"

namespace kernels_avx2 {
namespace {

inline __m256d Fmadd(__m256d a, __m256d b, __m256d c) { return _mm256_fmadd_pd(a, b, c); }
inline double FmaddScalar(double a, double b, double c) { return __builtin_fma(a, b, c); }
inline __m256d Select(__m256d m, __m256d a, __m256d b) { return _mm256_blendv_pd(b, a, m); }

}  // namespace

#include "solver/report_kernels_body.inc"

}  // namespace kernels_avx2

// AVX2/FMA variant of the fold, showdown and terminal-pair kernels: the
// grouped (per-row) forms fuse their multiply-adds.
#include <immintrin.h>

#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "solver/terminal_kernels_variants.h"

namespace kernels_avx2 {
namespace {

inline __m256d Fmadd(__m256d a, __m256d b, __m256d c) { return _mm256_fmadd_pd(a, b, c); }
inline double FmaddScalar(double a, double b, double c) { return __builtin_fma(a, b, c); }

}  // namespace

#include "solver/terminal_kernels_body.inc"

}  // namespace kernels_avx2

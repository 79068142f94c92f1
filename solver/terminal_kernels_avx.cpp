// AVX baseline variant of the fold, showdown and terminal-pair kernels: four
// doubles per instruction, multiply and add kept separate.
#include <immintrin.h>

#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "solver/terminal_kernels_variants.h"

namespace kernels_avx {
namespace {

inline __m256d Fmadd(__m256d a, __m256d b, __m256d c) { return _mm256_add_pd(_mm256_mul_pd(a, b), c); }
inline double FmaddScalar(double a, double b, double c) { return a * b + c; }

}  // namespace

#include "solver/terminal_kernels_body.inc"

}  // namespace kernels_avx

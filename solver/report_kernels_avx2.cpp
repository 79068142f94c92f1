// AVX2/FMA variant of the report kernels: the EV accumulation fuses its
// multiply-add, selections are blends.
#include <immintrin.h>

#include <cstdint>

#include "solver/report_kernels_variants.h"

namespace kernels_avx2 {
namespace {

#include "solver/double_ops_avx2.inc"

}  // namespace

#include "solver/report_kernels_body.inc"

}  // namespace kernels_avx2

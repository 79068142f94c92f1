// AVX baseline variant of the report kernels: separate multiply and add,
// selections as and/andnot/or.
#include <immintrin.h>

#include <cstdint>

#include "solver/report_kernels_variants.h"

namespace kernels_avx {
namespace {

#include "solver/double_ops_avx.inc"

}  // namespace

#include "solver/report_kernels_body.inc"

}  // namespace kernels_avx

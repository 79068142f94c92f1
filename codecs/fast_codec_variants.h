// The two instruction-set variants of the packing codec's row writer (see
// FastCompressor in codecs/fast_codec.h). Both write the same bytes.
#pragma once

#include <cstdint>

#include "codecs/fast_codec.h"

namespace kernels_avx2 {
void FastCompressRow(FastPackState& state, const uint32_t* residuals, int count, int mode);
}  // namespace kernels_avx2

namespace kernels_avx {
void FastCompressRow(FastPackState& state, const uint32_t* residuals, int count, int mode);
}  // namespace kernels_avx

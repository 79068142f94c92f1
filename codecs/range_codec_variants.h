// The two instruction-set variants of the range coder's row writer and of
// the probability fill of its construction (see codecs/range_codec.h). Both
// write the same bytes and adapt the models alike.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codecs/range_codec.h"

#define RANGE_CODEC_KERNEL_DECLARATIONS                                                                    \
  void RangeCompressRow(RangeEncoderState& coder, const RangeRowModels& models, const uint32_t* residuals, \
                        int count, int mode);                                                              \
  void FillProbabilities(uint16_t* p, size_t n, uint16_t value);

namespace kernels_avx2 {
RANGE_CODEC_KERNEL_DECLARATIONS
}  // namespace kernels_avx2

namespace kernels_avx {
RANGE_CODEC_KERNEL_DECLARATIONS
}  // namespace kernels_avx

#undef RANGE_CODEC_KERNEL_DECLARATIONS

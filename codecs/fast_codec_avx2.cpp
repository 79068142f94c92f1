// AVX2 variant of the packing codec's row writer: a group of eight residuals
// is tested in one 256-bit compare.
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "codecs/fast_codec_variants.h"

namespace kernels_avx2 {
namespace {

#include "codecs/nonzero_mask_avx2.inc"

}  // namespace

#include "codecs/fast_codec_body.inc"

}  // namespace kernels_avx2

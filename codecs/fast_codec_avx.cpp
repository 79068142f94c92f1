// AVX baseline variant of the packing codec's row writer: AVX has no 256-bit
// integer compare, so a group of eight residuals is two 128-bit halves.
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "codecs/fast_codec_variants.h"

namespace kernels_avx {
namespace {

#include "codecs/nonzero_mask_avx.inc"

}  // namespace

#include "codecs/fast_codec_body.inc"

}  // namespace kernels_avx

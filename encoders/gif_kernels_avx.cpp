// AVX baseline variant of the GIF writer's palette split and colour mapping.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "encoders/gif_kernels_variants.h"

namespace kernels_avx {

#include "encoders/gif_kernels_body.inc"

}  // namespace kernels_avx

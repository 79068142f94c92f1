// AVX baseline variant of the SHA-1 block compression and final padding.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "encoders/sha1_variants.h"

namespace kernels_avx {

#include "encoders/sha1_body.inc"

}  // namespace kernels_avx

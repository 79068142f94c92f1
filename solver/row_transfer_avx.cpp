// AVX baseline variant of the row transfers: one hand at a time (AVX has no
// gather); entries without a parent hand read as 0.
#include <immintrin.h>

#include <cstdint>

#include "solver/row_transfer_variants.h"

namespace kernels_avx {
namespace {

inline void GatherFour(double* out, const double* parent, uint32_t parentCount, const uint16_t* map, bool& bad) {
  for (int k = 0; k < 4; ++k) {
    const uint16_t index = map[k];
    if (index < parentCount) {
      out[k] = parent[index];
    } else {
      out[k] = 0.0;
      bad |= index != kNoParentHand;
    }
  }
}

}  // namespace

#include "solver/row_transfer_body.inc"

}  // namespace kernels_avx

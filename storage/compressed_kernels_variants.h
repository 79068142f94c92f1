// The two instruction-set variants of the compressed storage kernels: the
// lane arithmetic of CompressedStorageStream's EndWrite and EndRead, and the
// row reads and element count of CompressedRiverStorage. Both variants give
// identical results (the quotients are exactly rounded in both).
#pragma once

#include <cstddef>
#include <cstdint>

#include "codecs/codec.h"
#include "game/aligned_array.h"
#include "game/deal_table.h"

#define COMPRESSED_KERNEL_DECLARATIONS                                                                      \
  /* The sum of the 24 lane lengths (each 0..2^31 - 1). */                                                  \
  int64_t SumLaneLengths(const int32_t* lengths);                                                           \
  /* Copies lanes 0 to 23 one after another to out; returns the end. */                                     \
  uint8_t* JoinLanes(uint8_t* out, uint8_t* const* lanes, const int32_t* lengths);                          \
  /* The sum of the count fields of n layout pairs. */                                                      \
  int64_t SumEntryCounts(const LayoutPair* entries, uint32_t n);                                            \
  /* Per hand i < hands: out[a].data[i] = row a / the sum of the `actions` rows (rows `stride` apart from   \
     base), or defaults[a] (0 without defaults) where that sum is 0. */                                     \
  void SumsToProbs(const uint32_t* base, size_t stride, int actions, AlignedArray* out, int hands,           \
                   const float* defaults);

namespace kernels_avx2 {
COMPRESSED_KERNEL_DECLARATIONS
}  // namespace kernels_avx2

namespace kernels_avx {
COMPRESSED_KERNEL_DECLARATIONS
}  // namespace kernels_avx

#undef COMPRESSED_KERNEL_DECLARATIONS

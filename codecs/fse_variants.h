// The two instruction-set variants of the FSE coder's histogram, secondary
// normalisation and bit-stream writer (codecs/fse.h), and of the FSE channel
// codec's row writer (codecs/fse_codec.h). Both variants compute the same
// counts, tables and bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codecs/fse.h"
#include "codecs/fse_codec.h"

#define FSE_KERNEL_DECLARATIONS                                                                              \
  /* totals[0..255]: how often each byte occurs; the result is the largest. */                             \
  unsigned CountBytes(const uint8_t* in, size_t n, uint32_t* totals);                                       \
  size_t NormalizeM2(int16_t* norm, unsigned tableLog, const unsigned* counts, size_t total,                 \
                     unsigned maxSymbolValue);                                                               \
  size_t EncodeFseStream(void* dst, size_t dstCapacity, const void* src, size_t srcSize, const FseCTable* table); \
  void FseCompressRow(FseWriterState& state, const uint32_t* codes, int count, int mode);

namespace kernels_avx2 {
FSE_KERNEL_DECLARATIONS
}  // namespace kernels_avx2

namespace kernels_avx {
FSE_KERNEL_DECLARATIONS
}  // namespace kernels_avx

#undef FSE_KERNEL_DECLARATIONS

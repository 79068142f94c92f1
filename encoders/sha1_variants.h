// The two instruction-set variants of the SHA-1 block compression and of the
// final padding. Both give the same chaining words; Sha1 chooses one with
// UseAvx2FmaKernels().
#pragma once

#include <cstddef>
#include <cstdint>

namespace kernels_avx2 {
// Compresses `blocks` consecutive 64-byte blocks into h.
void Sha1Compress(uint32_t h[5], const uint8_t* data, size_t blocks);
// Pads the bufferLength (< 64) pending bytes of a message whose earlier
// bytes filled blockCount blocks, and compresses the last block or two;
// buffer is the 64-byte pending buffer, overwritten.
void Sha1Finish(uint32_t h[5], uint8_t buffer[64], size_t bufferLength, uint64_t blockCount);
}  // namespace kernels_avx2

namespace kernels_avx {
void Sha1Compress(uint32_t h[5], const uint8_t* data, size_t blocks);
void Sha1Finish(uint32_t h[5], uint8_t buffer[64], size_t bufferLength, uint64_t blockCount);
}  // namespace kernels_avx

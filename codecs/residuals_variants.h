// The two instruction-set variants of the row residual and rebuild kernels
// (see ComputeResiduals and RebuildRow in codecs/codec.h). Both compute the same residuals and
// counts; the entry routines check the arguments and choose the variant.
#pragma once

#include <cstdint>

#include "codecs/codec.h"

namespace kernels_avx2 {
ResidualCounts ComputeResiduals(const uint32_t* c, const uint32_t* p, int n, uint32_t* a, uint32_t* b);
ResidualCounts ComputeResiduals16(const uint16_t* c, const uint16_t* p, int n, uint32_t* a, uint32_t* b);
void RebuildRow32(uint32_t* out, const uint32_t* previous, const uint32_t* z, int n, int mode);
void RebuildRow16(uint16_t* out, const uint16_t* previous, const uint32_t* z, int n, int mode);
}  // namespace kernels_avx2

namespace kernels_avx {
ResidualCounts ComputeResiduals(const uint32_t* c, const uint32_t* p, int n, uint32_t* a, uint32_t* b);
ResidualCounts ComputeResiduals16(const uint16_t* c, const uint16_t* p, int n, uint32_t* a, uint32_t* b);
void RebuildRow32(uint32_t* out, const uint32_t* previous, const uint32_t* z, int n, int mode);
void RebuildRow16(uint16_t* out, const uint16_t* previous, const uint32_t* z, int n, int mode);
}  // namespace kernels_avx

// The two instruction-set variants of the group-packed row formats. They code
// the full blocks of 32 values only; the entry routines of
// storage/packed_rows.h add the tail groups and check the arguments. Both
// variants write and accept the same bytes.
#pragma once

#include <cstdint>

namespace kernels_avx2 {
// Pack `blocks` full blocks (32 values each); returns the end of the bytes written.
uint8_t* PackU16Blocks(uint8_t* out, const uint16_t* in, int blocks);
uint8_t* PackI32Blocks(uint8_t* out, const int32_t* in, int blocks);
// Decode `blocks` full blocks; returns the end of the bytes read.
const uint8_t* UnpackU16Blocks(uint16_t* out, int blocks, const uint8_t* in);
const uint8_t* UnpackI32Blocks(uint32_t* out, int blocks, const uint8_t* in);
}  // namespace kernels_avx2

namespace kernels_avx {
uint8_t* PackU16Blocks(uint8_t* out, const uint16_t* in, int blocks);
uint8_t* PackI32Blocks(uint8_t* out, const int32_t* in, int blocks);
const uint8_t* UnpackU16Blocks(uint16_t* out, int blocks, const uint8_t* in);
const uint8_t* UnpackI32Blocks(uint32_t* out, int blocks, const uint8_t* in);
}  // namespace kernels_avx

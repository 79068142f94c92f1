// Group-packed integer rows: per-hand rows of small non-negative integers
// stored with a width chosen per group of 8 values. Two formats:
//  - U16 rows (16-bit regret counts): widths 0, 8, 12 and 16 bits;
//  - I32 rows (non-negative 32-bit strategy sums): widths 0, 8, 16, 32 bits.
// A row is cut into full blocks of 32 values, each a header byte with four
// 2-bit width codes (bits 0-1 for values 0-7, ...) followed by the groups'
// payloads, then a tail of n mod 32 values in groups of 8 (the last shorter),
// each with a code byte of its own:
//   U16 tail: code 1 = one byte per value, any other = one u16 per value;
//   I32 tail: code 0 = bytes, 1 = u16, any other = u32 per value.
// A row carries no length or count: the reader is told n and learns the byte
// length by decoding. Multi-byte fields are little-endian. These bytes are
// stored in tree files and in the fast storage stream, so they never change.
#pragma once

#include <cstddef>
#include <cstdint>

// The largest number of bytes a packed row of n values can take (a writer's
// buffer must hold it): 65 per full block plus ceil(r/8) + 2r for the tail of
// r = n mod 32 values (U16), 129 per block plus ceil(r/8) + 4r (I32).
constexpr int64_t MaxPackedU16Bytes(int n) {
  if (n <= 0) return 0;
  const int64_t r = n % 32;
  return 65 * static_cast<int64_t>(n / 32) + (r + 7) / 8 + 2 * r;
}
constexpr int64_t MaxPackedI32Bytes(int n) {
  if (n <= 0) return 0;
  const int64_t r = n % 32;
  return 129 * static_cast<int64_t>(n / 32) + (r + 7) / 8 + 4 * r;
}
// The bytes of a packed U16 row of n zeros: a header byte per full block,
// and a code byte and a byte per value for the tail.
constexpr int64_t PackedZeroU16Bytes(int n) {
  if (n <= 0) return 0;
  const int64_t r = n % 32;
  return static_cast<int64_t>(n / 32) + (r + 7) / 8 + r;
}
// Rows never hold more than 1326 values (one per two-card hand).
constexpr int kMaxPackedRowValues = 1326;
constexpr int64_t kMaxPackedU16RowBytes = MaxPackedU16Bytes(kMaxPackedRowValues);
constexpr int64_t kMaxPackedI32RowBytes = MaxPackedI32Bytes(kMaxPackedRowValues);

// Writers: pack n values at `out` and return the end of the bytes written.
// n <= 0 writes nothing and returns `out`. A null `in` packs n zeros.
uint8_t* PackU16Groups(uint8_t* out, const uint16_t* in, int n);
// Values must lie in 0 .. 2^31 - 1: a full-block group whose values are all 0
// or negative is stored as zeros, and other groups keep the low 8 or 16 bits
// of a negative value.
uint8_t* PackI32Groups(uint8_t* out, const int32_t* in, int n);

// Readers: decode exactly n values into `out` and return the end of the bytes
// read. n <= 0 reads nothing and returns `in`. They trust the bytes; use the
// checked forms below for data that may be corrupt.
const uint8_t* UnpackGroupsU16(uint16_t* out, int n, const uint8_t* in);
const uint8_t* UnpackGroups(uint32_t* out, int n, const uint8_t* in);

// The byte length of a packed row of n values starting at `in`, found by
// reading only its header and code bytes; -1 when the row would need more
// than `available` bytes (the data are corrupt or cut short).
int64_t PackedU16RowBytes(const uint8_t* in, int n, size_t available);
int64_t PackedI32RowBytes(const uint8_t* in, int n, size_t available);

// Checked readers for rows read from files: decode n values only when the row
// fits within `available` bytes, and return the end of the bytes read; return
// null (writing nothing) when it does not.
const uint8_t* UnpackGroupsU16Checked(uint16_t* out, int n, const uint8_t* in, size_t available);
const uint8_t* UnpackGroupsChecked(uint32_t* out, int n, const uint8_t* in, size_t available);

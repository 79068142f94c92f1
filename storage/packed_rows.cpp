#include "storage/packed_rows.h"

#include <algorithm>
#include <cstring>

#include "core/cpu_info.h"
#include "storage/packed_rows_variants.h"

namespace {

// Payload bytes of a full-block group under each width code.
constexpr int kU16GroupBytes[4] = {0, 8, 12, 16};
constexpr int kI32GroupBytes[4] = {0, 8, 16, 32};

void PutU16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void PutU32(uint8_t* p, uint32_t v) {
  for (int b = 0; b < 4; ++b) p[b] = static_cast<uint8_t>(v >> (8 * b));
}

uint32_t GetU16(const uint8_t* p) { return p[0] | static_cast<uint32_t>(p[1]) << 8; }

uint32_t GetU32(const uint8_t* p) {
  return p[0] | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// Tail groups: eight values each, the last holding the rest; a missing input
// row packs zeros.
uint8_t* PackU16Tail(uint8_t* out, const uint16_t* in, int r) {
  for (int start = 0; start < r; start += 8) {
    const int w = std::min(8, r - start);
    bool bytes = true;
    for (int k = 0; k < w && in != nullptr; ++k) bytes = bytes && in[start + k] < 256;
    *out++ = bytes ? 1 : 3;
    for (int k = 0; k < w; ++k) {
      const uint32_t v = in != nullptr ? in[start + k] : 0;
      if (bytes) {
        *out++ = static_cast<uint8_t>(v);
      } else {
        PutU16(out, v);
        out += 2;
      }
    }
  }
  return out;
}

uint8_t* PackI32Tail(uint8_t* out, const int32_t* in, int r) {
  for (int start = 0; start < r; start += 8) {
    const int w = std::min(8, r - start);
    int code = 0;
    for (int k = 0; k < w && in != nullptr; ++k) {
      const int32_t v = in[start + k];
      code |= v > 65535 ? 2 : (v >= 256 ? 1 : 0);
    }
    *out++ = static_cast<uint8_t>(code);
    for (int k = 0; k < w; ++k) {
      const uint32_t v = in != nullptr ? static_cast<uint32_t>(in[start + k]) : 0;
      if (code == 0) {
        *out++ = static_cast<uint8_t>(v);
      } else if (code == 1) {
        PutU16(out, v);
        out += 2;
      } else {
        PutU32(out, v);
        out += 4;
      }
    }
  }
  return out;
}

const uint8_t* UnpackU16Tail(uint16_t* out, int r, const uint8_t* in) {
  for (int start = 0; start < r; start += 8) {
    const int w = std::min(8, r - start);
    const uint8_t code = *in++;
    for (int k = 0; k < w; ++k) {
      if (code == 1) {
        out[start + k] = *in++;
      } else {
        out[start + k] = static_cast<uint16_t>(GetU16(in));
        in += 2;
      }
    }
  }
  return in;
}

const uint8_t* UnpackI32Tail(uint32_t* out, int r, const uint8_t* in) {
  for (int start = 0; start < r; start += 8) {
    const int w = std::min(8, r - start);
    const uint8_t code = *in++;
    const int width = code == 0 ? 1 : (code == 1 ? 2 : 4);
    for (int k = 0; k < w; ++k, in += width)
      out[start + k] = width == 1 ? *in : (width == 2 ? GetU16(in) : GetU32(in));
  }
  return in;
}

// Byte length of a packed row found from its headers and code bytes alone;
// -1 as soon as a byte it needs lies at or past `available`.
int64_t PackedRowBytes(const uint8_t* in, int n, size_t available, const int (&groupBytes)[4],
                       int (*tailWidth)(uint8_t)) {
  if (n <= 0) return 0;
  if (in == nullptr) return -1;
  const int64_t limit = static_cast<int64_t>(std::min<size_t>(available, INT64_MAX));
  int64_t pos = 0;
  for (int b = 0; b < n / 32; ++b) {
    if (pos >= limit) return -1;
    const uint8_t header = in[pos++];
    for (int k = 0; k < 4; ++k) pos += groupBytes[(header >> (2 * k)) & 3];
    if (pos > limit) return -1;
  }
  const int r = n % 32;
  for (int start = 0; start < r; start += 8) {
    if (pos >= limit) return -1;
    const int w = std::min(8, r - start);
    pos += 1 + static_cast<int64_t>(w) * tailWidth(in[pos]);
    if (pos > limit) return -1;
  }
  return pos;
}

int U16TailWidth(uint8_t code) { return code == 1 ? 1 : 2; }
int I32TailWidth(uint8_t code) { return code == 0 ? 1 : (code == 1 ? 2 : 4); }

}  // namespace

uint8_t* PackU16Groups(uint8_t* out, const uint16_t* in, int n) {
  if (n <= 0 || out == nullptr) return out;
  const int blocks = n / 32;
  if (in == nullptr) {
    std::memset(out, 0, blocks);  // one zero header per block
    out += blocks;
  } else if (UseAvx2FmaKernels()) {
    out = kernels_avx2::PackU16Blocks(out, in, blocks);
  } else {
    out = kernels_avx::PackU16Blocks(out, in, blocks);
  }
  return PackU16Tail(out, in != nullptr ? in + 32 * blocks : nullptr, n % 32);
}

uint8_t* PackI32Groups(uint8_t* out, const int32_t* in, int n) {
  if (n <= 0 || out == nullptr) return out;
  const int blocks = n / 32;
  if (in == nullptr) {
    std::memset(out, 0, blocks);
    out += blocks;
  } else if (UseAvx2FmaKernels()) {
    out = kernels_avx2::PackI32Blocks(out, in, blocks);
  } else {
    out = kernels_avx::PackI32Blocks(out, in, blocks);
  }
  return PackI32Tail(out, in != nullptr ? in + 32 * blocks : nullptr, n % 32);
}

const uint8_t* UnpackGroupsU16(uint16_t* out, int n, const uint8_t* in) {
  if (n <= 0 || out == nullptr || in == nullptr) return in;
  const int blocks = n / 32;
  if (UseAvx2FmaKernels())
    in = kernels_avx2::UnpackU16Blocks(out, blocks, in);
  else
    in = kernels_avx::UnpackU16Blocks(out, blocks, in);
  return UnpackU16Tail(out + 32 * blocks, n % 32, in);
}

const uint8_t* UnpackGroups(uint32_t* out, int n, const uint8_t* in) {
  if (n <= 0 || out == nullptr || in == nullptr) return in;
  const int blocks = n / 32;
  if (UseAvx2FmaKernels())
    in = kernels_avx2::UnpackI32Blocks(out, blocks, in);
  else
    in = kernels_avx::UnpackI32Blocks(out, blocks, in);
  return UnpackI32Tail(out + 32 * blocks, n % 32, in);
}

int64_t PackedU16RowBytes(const uint8_t* in, int n, size_t available) {
  return PackedRowBytes(in, n, available, kU16GroupBytes, U16TailWidth);
}

int64_t PackedI32RowBytes(const uint8_t* in, int n, size_t available) {
  return PackedRowBytes(in, n, available, kI32GroupBytes, I32TailWidth);
}

// A row can never be longer than its packer's worst case, so when that many
// bytes are available the walk over its headers is skipped (the readers read
// no byte past the row's end).
const uint8_t* UnpackGroupsU16Checked(uint16_t* out, int n, const uint8_t* in, size_t available) {
  if (n <= 0) return in;
  if (out == nullptr || in == nullptr) return nullptr;
  if (available < static_cast<uint64_t>(MaxPackedU16Bytes(n)) && PackedU16RowBytes(in, n, available) < 0)
    return nullptr;
  return UnpackGroupsU16(out, n, in);
}

const uint8_t* UnpackGroupsChecked(uint32_t* out, int n, const uint8_t* in, size_t available) {
  if (n <= 0) return in;
  if (out == nullptr || in == nullptr) return nullptr;
  if (available < static_cast<uint64_t>(MaxPackedI32Bytes(n)) && PackedI32RowBytes(in, n, available) < 0)
    return nullptr;
  return UnpackGroups(out, n, in);
}

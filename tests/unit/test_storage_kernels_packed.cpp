// Group-packed rows: exact bytes for worked inputs, the width-code limits, the
// tail codes, round trips at lengths around the 32-value block, the
// largest-size bounds, the checked readers and byte equality of the variants.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "core/cpu_info.h"
#include "storage/packed_rows.h"
#include "storage/packed_rows_variants.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes PackU16(const std::vector<uint16_t>& values) {
  const int n = static_cast<int>(values.size());
  Bytes out(MaxPackedU16Bytes(n) + 1, 0xEE);
  const uint8_t* end = PackU16Groups(out.data(), values.data(), n);
  EXPECT_EQ(out.back(), 0xEE) << "wrote past the largest size";
  out.resize(end - out.data());
  return out;
}

Bytes PackI32(const std::vector<int32_t>& values) {
  const int n = static_cast<int>(values.size());
  Bytes out(MaxPackedI32Bytes(n) + 1, 0xEE);
  const uint8_t* end = PackI32Groups(out.data(), values.data(), n);
  EXPECT_EQ(out.back(), 0xEE) << "wrote past the largest size";
  out.resize(end - out.data());
  return out;
}

std::vector<uint16_t> UnpackU16(const Bytes& bytes, int n) {
  std::vector<uint16_t> out(n, 0xBEEF);
  const uint8_t* end = UnpackGroupsU16(out.data(), n, bytes.data());
  EXPECT_EQ(end - bytes.data(), static_cast<long>(bytes.size())) << "bytes consumed";
  return out;
}

std::vector<uint32_t> UnpackI32(const Bytes& bytes, int n) {
  std::vector<uint32_t> out(n, 0xDEADBEEF);
  const uint8_t* end = UnpackGroups(out.data(), n, bytes.data());
  EXPECT_EQ(end - bytes.data(), static_cast<long>(bytes.size())) << "bytes consumed";
  return out;
}

// Eight 12-bit values as the three little-endian words of the format.
Bytes TwelveBitPayload(const uint32_t (&x)[8]) {
  const uint32_t words[3] = {x[0] | x[1] << 12 | (x[2] & 0xFF) << 24,
                             x[2] >> 8 | x[3] << 4 | x[4] << 16 | (x[5] & 0xF) << 28,
                             x[5] >> 4 | x[6] << 8 | x[7] << 20};
  Bytes out;
  for (uint32_t w : words)
    for (int b = 0; b < 4; ++b) out.push_back(static_cast<uint8_t>(w >> (8 * b)));
  return out;
}

}  // namespace

TEST(PackedRows, U16BytesOfWorkedRows) {
  // One block: 8 zeros, 1..8, a 12-bit group, eight times 5000.
  std::vector<uint16_t> block(32, 0);
  for (int k = 0; k < 8; ++k) block[8 + k] = static_cast<uint16_t>(k + 1);
  const uint16_t twelve[8] = {1, 2, 3, 4, 5, 6, 7, 2048};
  for (int k = 0; k < 8; ++k) block[16 + k] = twelve[k];
  for (int k = 0; k < 8; ++k) block[24 + k] = 5000;
  const Bytes expected = {0xE4, 1, 2, 3, 4, 5, 6, 7, 8, 0x01, 0x20, 0x00, 0x03, 0x40, 0x00, 0x05, 0x60, 0x00,
                          0x07, 0x00, 0x80, 0x88, 0x13, 0x88, 0x13, 0x88, 0x13, 0x88, 0x13, 0x88, 0x13, 0x88,
                          0x13, 0x88, 0x13, 0x88, 0x13};
  EXPECT_EQ(PackU16(block), expected);
  EXPECT_EQ(UnpackU16(expected, 32), block);
  // The 12-bit payload is the three-word layout of the format.
  const uint32_t x[8] = {1, 2, 3, 4, 5, 6, 7, 2048};
  EXPECT_EQ(TwelveBitPayload(x), Bytes(expected.begin() + 9, expected.begin() + 21));

  // A tail only: a byte group of 8, then a group of 2 with 300 in it.
  const std::vector<uint16_t> tail = {9, 8, 7, 6, 5, 4, 3, 2, 300, 1};
  const Bytes tailBytes = {0x01, 9, 8, 7, 6, 5, 4, 3, 2, 0x03, 0x2C, 0x01, 0x01, 0x00};
  EXPECT_EQ(PackU16(tail), tailBytes);
  EXPECT_EQ(UnpackU16(tailBytes, 10), tail);
}

TEST(PackedRows, I32BytesOfWorkedRows) {
  const std::vector<int32_t> tail = {5, 65536, 2};
  const Bytes tailBytes = {0x02, 5, 0, 0, 0, 0, 0, 1, 0, 2, 0, 0, 0};
  EXPECT_EQ(PackI32(tail), tailBytes);
  EXPECT_EQ(UnpackI32(tailBytes, 3), (std::vector<uint32_t>{5, 65536, 2}));
  // Tail codes OR together: 300 (1) and 70000 (2) give 3, read as u32.
  const Bytes mixed = PackI32({300, 70000});
  EXPECT_EQ(mixed, (Bytes{0x03, 0x2C, 0x01, 0, 0, 0x70, 0x11, 0x01, 0x00}));
  // A zero tail group is written out value by value under code 0.
  EXPECT_EQ(PackI32({0, 0, 0}), (Bytes{0x00, 0, 0, 0}));

  // A block with one group of each width: zeros, bytes, u16, u32.
  std::vector<int32_t> block(32, 0);
  for (int k = 0; k < 8; ++k) {
    block[8 + k] = 200 + k;
    block[16 + k] = 1000 * (k + 1);
    block[24 + k] = 100000 + k;
  }
  const Bytes packed = PackI32(block);
  ASSERT_EQ(packed.size(), 1u + 8 + 16 + 32);
  EXPECT_EQ(packed[0], 0xE4);
  EXPECT_EQ(packed[1], 200);
  EXPECT_EQ(packed[9], 0xE8);  // 1000 = 0x03E8
  EXPECT_EQ(packed[10], 0x03);
  EXPECT_EQ(packed[25], 0xA0);  // 100000 = 0x0186A0
  EXPECT_EQ(packed[26], 0x86);
  EXPECT_EQ(packed[27], 0x01);
  EXPECT_EQ(packed[28], 0x00);
  const std::vector<uint32_t> back = UnpackI32(packed, 32);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(back[i], static_cast<uint32_t>(block[i])) << i;
}

TEST(PackedRows, WidthCodeLimits) {
  const auto headerOf = [](uint16_t largest) {
    std::vector<uint16_t> v(32, 0);
    v[3] = largest;
    return PackU16(v)[0];
  };
  EXPECT_EQ(headerOf(255), 0x01);
  EXPECT_EQ(headerOf(256), 0x02);
  EXPECT_EQ(headerOf(4095), 0x02);
  EXPECT_EQ(headerOf(4096), 0x03);
  EXPECT_EQ(headerOf(65535), 0x03);
  const auto headerOf32 = [](int32_t largest) {
    std::vector<int32_t> v(32, 0);
    v[29] = largest;
    return PackI32(v)[0];
  };
  EXPECT_EQ(headerOf32(255), 0x40);
  EXPECT_EQ(headerOf32(256), 0x80);
  EXPECT_EQ(headerOf32(65535), 0x80);
  EXPECT_EQ(headerOf32(65536), 0xC0);
  EXPECT_EQ(headerOf32(2147483647), 0xC0);

  // The two frequent headers: 32 zeros, and 32 byte values.
  EXPECT_EQ(PackU16(std::vector<uint16_t>(32, 0)), Bytes{0x00});
  EXPECT_EQ(PackI32(std::vector<int32_t>(32, 0)), Bytes{0x00});
  std::vector<uint16_t> small(32);
  for (int i = 0; i < 32; ++i) small[i] = static_cast<uint16_t>(i + 1);
  const Bytes smallBytes = PackU16(small);
  ASSERT_EQ(smallBytes.size(), 33u);
  EXPECT_EQ(smallBytes[0], 0x55);
  EXPECT_EQ(smallBytes[32], 32);
  // Small values with one zero group: not 0x55.
  for (int i = 8; i < 16; ++i) small[i] = 0;
  EXPECT_EQ(PackU16(small)[0], 0x51);
}

TEST(PackedRows, NegativeI32ValuesKeepTheirLowBits) {
  std::vector<int32_t> block(32, 0);
  for (int k = 0; k < 8; ++k) block[k] = -5;  // a group of negatives: zeros
  block[8] = -1;                              // with a 300: low 16 bits
  block[9] = 300;
  const Bytes packed = PackI32(block);
  EXPECT_EQ(packed[0], 0x08);  // codes 0, 2, 0, 0
  const std::vector<uint32_t> back = UnpackI32(packed, 32);
  EXPECT_EQ(back[0], 0u);
  EXPECT_EQ(back[8], 0xFFFFu);
  EXPECT_EQ(back[9], 300u);
  // In the tail a negative value counts as small: one byte.
  EXPECT_EQ(PackI32({-2, 7}), (Bytes{0x00, 0xFE, 0x07}));
}

TEST(PackedRows, TailsAroundTheBlockSize) {
  // n = 31: no header byte at all, four tail groups of 8, 8, 8 and 7.
  std::vector<uint16_t> v31(31, 1);
  v31[20] = 1000;
  const Bytes b31 = PackU16(v31);
  ASSERT_EQ(b31.size(), (1u + 8) + (1 + 8) + (1 + 16) + (1 + 7));
  EXPECT_EQ(b31[0], 1);
  EXPECT_EQ(b31[9], 1);
  EXPECT_EQ(b31[18], 3);
  EXPECT_EQ(b31[35], 1);
  EXPECT_EQ(UnpackU16(b31, 31), v31);
  // n = 32: one block and nothing after it; n = 33: a tail group of one.
  EXPECT_EQ(PackU16(std::vector<uint16_t>(32, 0)).size(), 1u);
  std::vector<uint16_t> v33(33, 0);
  v33[32] = 5;
  EXPECT_EQ(PackU16(v33), (Bytes{0x00, 0x01, 0x05}));
  std::vector<int32_t> w33(33, 0);
  w33[32] = 5;
  EXPECT_EQ(PackI32(w33), (Bytes{0x00, 0x00, 0x05}));
}

TEST(PackedRows, ReadersAcceptEveryTailCode) {
  // U16 tail: only code 1 reads bytes, any other code reads u16.
  for (uint8_t code : {0, 2, 3, 200}) {
    const Bytes bytes = {code, 0x34, 0x12, 0xFF, 0xFF};
    EXPECT_EQ(UnpackU16(bytes, 2), (std::vector<uint16_t>{0x1234, 0xFFFF})) << int(code);
  }
  // I32 tail: 0 bytes, 1 u16, anything else u32.
  EXPECT_EQ(UnpackI32({0, 0x80}, 1), (std::vector<uint32_t>{0x80}));
  EXPECT_EQ(UnpackI32({1, 0x80, 0x01}, 1), (std::vector<uint32_t>{0x180}));
  for (uint8_t code : {2, 3, 9})
    EXPECT_EQ(UnpackI32({code, 1, 2, 3, 4}, 1), (std::vector<uint32_t>{0x04030201})) << int(code);
}

TEST(PackedRows, LargestSizes) {
  EXPECT_EQ(MaxPackedU16Bytes(0), 0);
  EXPECT_EQ(MaxPackedU16Bytes(31), 4 + 62);
  EXPECT_EQ(MaxPackedU16Bytes(32), 65);
  EXPECT_EQ(MaxPackedU16Bytes(33), 65 + 1 + 2);
  EXPECT_EQ(MaxPackedI32Bytes(33), 129 + 1 + 4);
  EXPECT_EQ(kMaxPackedU16RowBytes, 41 * 65 + 2 + 28);
  EXPECT_EQ(kMaxPackedI32RowBytes, 41 * 129 + 2 + 56);
  // Rows that take the largest size reach it exactly, and rows of zeros the
  // size the memory estimates count for them.
  for (int n : {1, 7, 31, 32, 33, 100, 1326}) {
    EXPECT_EQ(static_cast<int64_t>(PackU16(std::vector<uint16_t>(n, 65535)).size()), MaxPackedU16Bytes(n)) << n;
    EXPECT_EQ(static_cast<int64_t>(PackU16(std::vector<uint16_t>(n, 0)).size()), PackedZeroU16Bytes(n)) << n;
    EXPECT_EQ(static_cast<int64_t>(PackI32(std::vector<int32_t>(n, 1 << 30)).size()), MaxPackedI32Bytes(n)) << n;
  }
}

TEST(PackedRows, RandomRoundTrips) {
  std::mt19937 rng(42);
  std::uniform_int_distribution<int> pick(0, 99);
  // Value mixes like converged rows: mostly zeros and small counts.
  const auto drawU16 = [&](int style) -> uint16_t {
    const int r = pick(rng);
    if (style == 0) return 0;
    if (style == 1) return static_cast<uint16_t>(r < 70 ? 0 : r);
    if (style == 2) return static_cast<uint16_t>(r < 30 ? 0 : (r < 60 ? r : rng() % 4096));
    return static_cast<uint16_t>(rng());
  };
  for (int n : {1, 5, 8, 9, 31, 32, 33, 63, 64, 65, 95, 96, 97, 250, 1081, 1326}) {
    for (int style = 0; style < 4; ++style) {
      std::vector<uint16_t> v(n);
      std::vector<int32_t> w(n);
      for (int i = 0; i < n; ++i) {
        v[i] = drawU16(style);
        w[i] = style == 3 ? static_cast<int32_t>(rng() & 0x7FFFFFFF) : v[i] * (pick(rng) < 10 ? 40 : 1);
      }
      const Bytes bv = PackU16(v);
      ASSERT_LE(static_cast<int64_t>(bv.size()), MaxPackedU16Bytes(n));
      ASSERT_EQ(UnpackU16(bv, n), v) << n << " style " << style;
      EXPECT_EQ(PackedU16RowBytes(bv.data(), n, bv.size()), static_cast<int64_t>(bv.size()));
      const Bytes bw = PackI32(w);
      ASSERT_LE(static_cast<int64_t>(bw.size()), MaxPackedI32Bytes(n));
      const std::vector<uint32_t> back = UnpackI32(bw, n);
      for (int i = 0; i < n; ++i) ASSERT_EQ(back[i], static_cast<uint32_t>(w[i])) << n << " at " << i;
      EXPECT_EQ(PackedI32RowBytes(bw.data(), n, bw.size()), static_cast<int64_t>(bw.size()));
    }
  }
}

TEST(PackedRows, CheckedReadersRefuseRowsPastTheirBytes) {
  std::vector<uint16_t> v(70);
  for (int i = 0; i < 70; ++i) v[i] = static_cast<uint16_t>(i * 900);
  const Bytes bytes = PackU16(v);
  std::vector<uint16_t> out(70, 7);
  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    ASSERT_EQ(PackedU16RowBytes(bytes.data(), 70, cut), -1) << cut;
    ASSERT_EQ(UnpackGroupsU16Checked(out.data(), 70, bytes.data(), cut), nullptr) << cut;
  }
  for (uint16_t o : out) ASSERT_EQ(o, 7);  // nothing written on refusal
  EXPECT_EQ(UnpackGroupsU16Checked(out.data(), 70, bytes.data(), bytes.size()), bytes.data() + bytes.size());
  EXPECT_EQ(out, v);

  std::vector<int32_t> w(40, 100000);
  const Bytes wb = PackI32(w);
  std::vector<uint32_t> wout(40);
  EXPECT_EQ(UnpackGroupsChecked(wout.data(), 40, wb.data(), wb.size() - 1), nullptr);
  EXPECT_EQ(UnpackGroupsChecked(wout.data(), 40, wb.data(), wb.size()), wb.data() + wb.size());
  EXPECT_EQ(wout[39], 100000u);
  // A corrupt header that claims wide groups is refused too.
  const Bytes corrupt = {0xFF, 1, 2, 3};
  EXPECT_EQ(PackedU16RowBytes(corrupt.data(), 32, corrupt.size()), -1);
}

TEST(PackedRows, EmptyLengthsAndMissingRows) {
  uint8_t buffer[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  const uint16_t v[2] = {1, 2};
  EXPECT_EQ(PackU16Groups(buffer, v, 0), buffer);
  EXPECT_EQ(PackI32Groups(buffer, nullptr, -4), buffer);
  EXPECT_EQ(buffer[0], 0xEE);
  uint16_t out[2] = {9, 9};
  EXPECT_EQ(UnpackGroupsU16(out, 0, buffer), buffer);
  EXPECT_EQ(out[0], 9);
  // A row without a block packs as zeros.
  std::vector<uint16_t> zeros(70, 0);
  Bytes packed(MaxPackedU16Bytes(70));
  const uint8_t* end = PackU16Groups(packed.data(), nullptr, 70);
  packed.resize(end - packed.data());
  EXPECT_EQ(packed, PackU16(zeros));
  Bytes packed32(MaxPackedI32Bytes(70));
  end = PackI32Groups(packed32.data(), nullptr, 70);
  packed32.resize(end - packed32.data());
  EXPECT_EQ(packed32, PackI32(std::vector<int32_t>(70, 0)));
}

TEST(PackedRows, VariantsWriteAndReadTheSameBytes) {
  if (!CpuSupportsAvx2Fma()) GTEST_SKIP() << "no AVX2/FMA on this processor";
  std::mt19937 rng(5);
  const int blocks = 400;
  std::vector<uint16_t> v(32 * blocks);
  std::vector<int32_t> w(32 * blocks);
  for (int b = 0; b < blocks; ++b) {
    // Each block draws one width per group, so every header value occurs.
    for (int g = 0; g < 4; ++g) {
      const int width = (b >> (2 * g)) & 3;
      const uint32_t limit16[4] = {0, 255, 4095, 65535};
      const uint32_t limit32[4] = {0, 255, 65535, 0x7FFFFFFF};
      for (int k = 0; k < 8; ++k) {
        const int i = 32 * b + 8 * g + k;
        v[i] = static_cast<uint16_t>(limit16[width] ? rng() % (limit16[width] + 1) : 0);
        w[i] = static_cast<int32_t>(limit32[width] ? rng() % (limit32[width] + 1u) : 0);
      }
    }
  }
  Bytes a(MaxPackedI32Bytes(32 * blocks)), b(a.size());
  uint8_t* endA = kernels_avx::PackU16Blocks(a.data(), v.data(), blocks);
  uint8_t* endB = kernels_avx2::PackU16Blocks(b.data(), v.data(), blocks);
  ASSERT_EQ(endA - a.data(), endB - b.data());
  ASSERT_TRUE(std::equal(a.data(), endA, b.data()));
  std::vector<uint16_t> va(v.size()), vb(v.size());
  EXPECT_EQ(kernels_avx::UnpackU16Blocks(va.data(), blocks, a.data()), endA);
  EXPECT_EQ(kernels_avx2::UnpackU16Blocks(vb.data(), blocks, a.data()), endA);
  EXPECT_EQ(va, v);
  EXPECT_EQ(vb, v);

  endA = kernels_avx::PackI32Blocks(a.data(), w.data(), blocks);
  endB = kernels_avx2::PackI32Blocks(b.data(), w.data(), blocks);
  ASSERT_EQ(endA - a.data(), endB - b.data());
  ASSERT_TRUE(std::equal(a.data(), endA, b.data()));
  std::vector<uint32_t> wa(w.size()), wb(w.size());
  EXPECT_EQ(kernels_avx::UnpackI32Blocks(wa.data(), blocks, a.data()), endA);
  EXPECT_EQ(kernels_avx2::UnpackI32Blocks(wb.data(), blocks, a.data()), endA);
  for (size_t i = 0; i < w.size(); ++i) {
    ASSERT_EQ(wa[i], static_cast<uint32_t>(w[i])) << i;
    ASSERT_EQ(wb[i], static_cast<uint32_t>(w[i])) << i;
  }
}

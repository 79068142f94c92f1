// The three codec pairs: residual modes, the exact channel bytes of the
// packing and FSE channel codecs, round trips of every codec over all row
// lengths with and without previous rows, and damaged channel data.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "codecs/codec.h"
#include "codecs/fse.h"
#include "codecs/range_codec.h"
#include "codecs/residuals_variants.h"
#include "core/cpu_info.h"

namespace {

using Bytes = std::vector<uint8_t>;

// 24 byte channels in memory: writers append, readers take the next bytes
// and get fewer when the channel runs out.
struct Channels {
  Bytes data[kCodecChannels];
  size_t read[kCodecChannels] = {};

  static int Write(void* context, int channel, uint8_t* bytes, int length) {
    Bytes& d = static_cast<Channels*>(context)->data[channel];
    d.insert(d.end(), bytes, bytes + length);
    return length;
  }
  static int Read(void* context, int channel, uint8_t* bytes, int length) {
    Channels* self = static_cast<Channels*>(context);
    const Bytes& d = self->data[channel];
    const size_t n = std::min<size_t>(static_cast<size_t>(length), d.size() - self->read[channel]);
    if (n > 0) std::memcpy(bytes, d.data() + self->read[channel], n);
    self->read[channel] += n;
    return static_cast<int>(n);
  }
  void Rewind() { std::fill(std::begin(read), std::end(read), 0); }
};

// The bytes a channel of the FSE channel codec carries, blocks undone.
Bytes ChannelContent(const Bytes& channel, size_t start = 0, std::vector<uint32_t>* rawLengths = nullptr) {
  Bytes out;
  size_t p = start;
  while (p < channel.size()) {
    uint32_t raw, coded32;
    std::memcpy(&raw, &channel[p], 4);
    std::memcpy(&coded32, &channel[p + 4], 4);
    const int32_t coded = static_cast<int32_t>(coded32);
    p += 8;
    if (rawLengths) rawLengths->push_back(raw);
    const size_t at = out.size();
    out.resize(at + raw);
    if (coded > 1) {
      EXPECT_EQ(FSE_decompress(&out[at], raw, &channel[p], static_cast<size_t>(coded)), raw);
      p += static_cast<size_t>(coded);
    } else if (coded == 1) {
      std::memset(&out[at], channel[p], raw);
      p += 1;
    } else {
      std::memcpy(&out[at], &channel[p], raw);
      p += raw;
    }
  }
  return out;
}

// A compressor that keeps what CompressRow hands it.
struct RecordingCompressor : CompressorInterface {
  std::vector<uint32_t> residuals;
  int mode = -1;
  void compress(const uint32_t* r, int count, int m) override {
    residuals.assign(r, r + count);
    mode = m;
  }
};

TEST(CodecResiduals, ZigZagAndTheModeRule) {
  EXPECT_EQ(ZigZag(0), 0u);
  EXPECT_EQ(ZigZag(static_cast<uint32_t>(-1)), 1u);
  EXPECT_EQ(ZigZag(1), 2u);
  EXPECT_EQ(ZigZag(static_cast<uint32_t>(-2)), 3u);
  EXPECT_EQ(ZigZag(2), 4u);
  EXPECT_EQ(UnZigZag(ZigZag(0x80000000u)), 0x80000000u);

  RecordingCompressor rec;
  const uint32_t p[5] = {10, 20, 5, 7, 7};
  // Equal to a non-constant previous row: A is all zero, mode 1.
  CompressRow(&rec, p, p, 5);
  EXPECT_EQ(rec.mode, 1);
  EXPECT_EQ(rec.residuals, std::vector<uint32_t>(5, 0));
  // Equal to a constant previous row: both have no non-zero entry, a tie.
  const uint32_t flat[4] = {3, 3, 3, 3};
  CompressRow(&rec, flat, flat, 4);
  EXPECT_EQ(rec.mode, 0);
  // The previous row plus a constant: only A[0] is non-zero.
  const uint32_t shifted[5] = {13, 23, 8, 10, 10};
  CompressRow(&rec, shifted, p, 5);
  EXPECT_EQ(rec.mode, 1);
  EXPECT_EQ(rec.residuals, (std::vector<uint32_t>{6, 0, 0, 0, 0}));
  // A constant row without a previous row.
  CompressRow(&rec, flat, nullptr, 4);
  EXPECT_EQ(rec.mode, 0);
  EXPECT_EQ(rec.residuals, (std::vector<uint32_t>{6, 0, 0, 0}));
  // A tie: B = (0, 2, 0) and A = (0, 0, 1) have one non-zero entry each,
  // and mode 0 is chosen.
  const uint32_t q[3] = {5, 6, 7}, c[3] = {5, 6, 6};
  CompressRow(&rec, c, q, 3);
  EXPECT_EQ(rec.mode, 0);
  EXPECT_EQ(rec.residuals, (std::vector<uint32_t>{0, 2, 0}));
  // One fewer non-zero entry in A than in B: mode 1.
  const uint32_t c2[3] = {5, 6, 8};
  CompressRow(&rec, c2, q, 3);
  EXPECT_EQ(rec.mode, 1);
  EXPECT_EQ(rec.residuals, (std::vector<uint32_t>{0, 0, 2}));
  // One value is always mode 0.
  CompressRow(&rec, c, q, 1);
  EXPECT_EQ(rec.mode, 0);
  // A descending row gives odd residuals, also across the wrap.
  const uint32_t down[3] = {1, 0, 0xFFFFFFFFu};
  CompressRow(&rec, down, nullptr, 3);
  EXPECT_EQ(rec.residuals, (std::vector<uint32_t>{2, 1, 1}));
  // 16-bit rows are widened before the differences are taken.
  const uint16_t w16[2] = {0, 65535};
  CompressRow16(&rec, w16, nullptr, 2);
  EXPECT_EQ(rec.residuals, (std::vector<uint32_t>{0, 131070}));
  // An empty row hands over no residual at all.
  CompressRow(&rec, nullptr, nullptr, 0);
  EXPECT_TRUE(rec.residuals.empty());
  EXPECT_EQ(rec.mode, 0);
}

TEST(CodecResiduals, BothKernelVariantsAgree) {
  if (!CpuSupportsAvx2Fma()) GTEST_SKIP() << "no AVX2 on this processor";
  std::mt19937 rng(77);
  std::vector<uint32_t> c(1326), p(1326), a1(1326), b1(1326), a2(1326), b2(1326);
  std::vector<uint16_t> c16(1326), p16(1326);
  for (int n : {1, 2, 8, 9, 15, 16, 17, 100, 1325, 1326}) {
    for (int i = 0; i < 1326; ++i) {
      c[i] = rng() % 5 == 0 ? rng() : rng() % 4;
      p[i] = rng() % 3 == 0 ? c[i] : rng();
      c16[i] = static_cast<uint16_t>(c[i]);
      p16[i] = static_cast<uint16_t>(p[i]);
    }
    for (const uint32_t* prev : {static_cast<const uint32_t*>(nullptr), static_cast<const uint32_t*>(p.data())}) {
      const ResidualCounts x = kernels_avx2::ComputeResiduals(c.data(), prev, n, a1.data(), b1.data());
      const ResidualCounts y = kernels_avx::ComputeResiduals(c.data(), prev, n, a2.data(), b2.data());
      EXPECT_EQ(x.nonZeroA, y.nonZeroA);
      EXPECT_EQ(x.nonZeroB, y.nonZeroB);
      EXPECT_TRUE(std::equal(b1.begin(), b1.begin() + n, b2.begin()));
      if (prev) {
        EXPECT_TRUE(std::equal(a1.begin(), a1.begin() + n, a2.begin()));
      }
    }
    const ResidualCounts x = kernels_avx2::ComputeResiduals16(c16.data(), p16.data(), n, a1.data(), b1.data());
    const ResidualCounts y = kernels_avx::ComputeResiduals16(c16.data(), p16.data(), n, a2.data(), b2.data());
    EXPECT_EQ(x.nonZeroA, y.nonZeroA);
    EXPECT_EQ(x.nonZeroB, y.nonZeroB);
    EXPECT_TRUE(std::equal(a1.begin(), a1.begin() + n, a2.begin()));
    EXPECT_TRUE(std::equal(b1.begin(), b1.begin() + n, b2.begin()));
  }
}

// --- Exact channel bytes -------------------------------------------------------

TEST(FseChannelCodec, EscapeLadderAndContexts) {
  Channels ch;
  CompressionStats stats;
  CompressorInterface* c = CreateCompressor(kFseCodecId, nullptr, nullptr, Channels::Write, &ch, &stats);
  ASSERT_NE(c, nullptr);
  // Residual codes straight to the codec: values 1, 16, 256, 65535, 65536,
  // 2^32 - 1, then 2 in the next row (context back to 0).
  const uint32_t row[6] = {1, 16, 256, 65535, 65536, 0xFFFFFFFFu};
  c->compress(row, 6, 1);
  const uint32_t next[1] = {2};
  c->compress(next, 1, 0);
  DestroyCompressor(c);

  EXPECT_EQ(ch.data[0][0], kFseCodecId);
  EXPECT_EQ(ChannelContent(ch.data[0], 1), (Bytes{1, 0}));
  EXPECT_EQ(ChannelContent(ch.data[1]), (Bytes{0x3F, 0x01}));
  // Values 1 (symbol 0) and 16 (symbol 15) in context 0, then 2 in the next
  // row, context 0 again; 256 in context 15 (channel 17), and every later
  // escape too.
  EXPECT_EQ(ChannelContent(ch.data[2]), (Bytes{0, 15, 1}));
  EXPECT_EQ(ChannelContent(ch.data[17]), (Bytes{255, 255, 255, 255}));
  EXPECT_EQ(ChannelContent(ch.data[18]), (Bytes{255, 254, 255, 255}));
  EXPECT_EQ(ChannelContent(ch.data[19]), (Bytes{0, 255, 255, 255}));
  EXPECT_EQ(ChannelContent(ch.data[20]), (Bytes{255, 254}));
  EXPECT_EQ(ChannelContent(ch.data[21]), (Bytes{255, 255}));
  EXPECT_EQ(ChannelContent(ch.data[22]), (Bytes{0, 255}));
  EXPECT_EQ(ChannelContent(ch.data[23]), (Bytes{0, 255}));
  EXPECT_EQ(stats.rows, 2u);
  EXPECT_EQ(stats.rowsInMode1, 1u);
  EXPECT_EQ(stats.rawBytes, 28u);
  EXPECT_EQ(stats.largestEscaped, 65535) << "symbol 2^32 - 2 is negative as a signed number";
}

TEST(FseChannelCodec, ZeroRowsAndGroupBytes) {
  Channels ch;
  CompressionStats stats;
  CompressorInterface* c = CreateCompressor(kFseCodecId, nullptr, nullptr, Channels::Write, &ch, &stats);
  const uint32_t zeros[9] = {};
  c->compress(zeros, 9, 0);
  c->compress(zeros, 0, 0);
  c->compress(zeros, 8, 0);
  DestroyCompressor(c);
  EXPECT_EQ(ChannelContent(ch.data[0], 1), (Bytes{0, 0, 0}));
  EXPECT_EQ(ChannelContent(ch.data[1]), (Bytes{0, 0, 0})) << "two groups for 9 values, none for 0, one for 8";
  for (int k = 2; k < kCodecChannels; ++k) EXPECT_TRUE(ch.data[k].empty()) << k;

  // Without rows: the type byte alone.
  Channels empty;
  DestroyCompressor(CreateCompressor(kFseCodecId, nullptr, nullptr, Channels::Write, &empty, &stats));
  EXPECT_EQ(empty.data[0], Bytes{kFseCodecId});
  for (int k = 1; k < kCodecChannels; ++k) EXPECT_TRUE(empty.data[k].empty());
}

// Rows of residual code 1 (symbol 0, context 0) fill channel 2 by one byte a
// value: 64 rows of 1024 fill it to exactly 65536 bytes.
TEST(FseChannelCodec, ChannelOfExactlyOneBlockAndOneByteMore) {
  for (int extra : {0, 1}) {
    Channels ch;
    CompressionStats stats;
    CompressorInterface* c = CreateCompressor(kFseCodecId, nullptr, nullptr, Channels::Write, &ch, &stats);
    std::vector<uint32_t> ones(1024, 1);
    for (int r = 0; r < 64; ++r) c->compress(ones.data(), 1024, 0);
    if (extra) c->compress(ones.data(), 1, 0);
    DestroyCompressor(c);
    std::vector<uint32_t> lengths;
    EXPECT_EQ(ChannelContent(ch.data[2], 0, &lengths), Bytes(65536 + extra, 0));
    EXPECT_EQ(lengths, extra ? (std::vector<uint32_t>{65536, 1}) : (std::vector<uint32_t>{65536}));
    // 65536 equal bytes: coded length 1 and a one-byte payload.
    EXPECT_EQ(ch.data[2][4], 1);
    EXPECT_EQ(ch.data[2][8], 0);

    DecompressorInterface* d = CreateDecompressor(Channels::Read, &ch);
    std::vector<uint32_t> out(1024);
    for (int r = 0; r < 64; ++r) {
      DecodeValues(d, out.data(), nullptr, 1024);
      // Each code 1 is a difference of -1.
      ASSERT_EQ(out[1023], 0u - 1024u);
    }
    if (extra) {
      DecodeValues(d, out.data(), nullptr, 1);
      EXPECT_EQ(out[0], 0xFFFFFFFFu);
    }
    EXPECT_FALSE(d->Failed());
    DestroyDecompressor(d);
    for (int k = 0; k < kCodecChannels; ++k) EXPECT_EQ(ch.read[k], ch.data[k].size()) << k;
  }
}

TEST(FastCodec, BitsNibblesAndBytes) {
  Channels ch;
  CompressionStats stats;
  CompressorInterface* c = CreateCompressor(kFastCodecId, nullptr, nullptr, Channels::Write, &ch, &stats);
  const uint32_t zeros[9] = {};
  c->compress(zeros, 8, 1);  // bits: 1 (mode), 0 (group)
  c->compress(zeros, 9, 0);  // bits: 0, 0, 0
  const uint32_t values[6] = {1, 15, 16, 255, 256, 65536};
  c->compress(values, 6, 0);  // bits: 0, 1, then 1 per value
  DestroyCompressor(c);
  // Bits, least significant first: 1 0 | 0 0 0 | 0 1 1 1 1 1 1 1.
  ASSERT_EQ(ch.data[1].size(), 256u);
  EXPECT_EQ(ch.data[1][0], 0xC1);
  EXPECT_EQ(ch.data[1][1], 0x1F);
  // Nibbles 0, 14, 15, 15, 15, 15.
  ASSERT_EQ(ch.data[2].size(), 256u);
  EXPECT_EQ(ch.data[2][0], 0xE0);
  EXPECT_EQ(ch.data[2][1], 0xFF);
  EXPECT_EQ(ch.data[2][2], 0xFF);
  EXPECT_EQ(ch.data[2][3], 0x00);
  // Bytes after the type byte: 15; 254; 255 and u16 255; 255, u16 65535 and u32 65535.
  ASSERT_EQ(ch.data[0].size(), 257u);
  const Bytes bytes(ch.data[0].begin() + 1, ch.data[0].begin() + 14);
  EXPECT_EQ(bytes, (Bytes{15, 254, 255, 255, 0, 255, 255, 255, 255, 255, 0, 0, 0}));
  EXPECT_EQ(stats.largestEscaped, 65535);

  Channels one;
  c = CreateCompressor(kFastCodecId, nullptr, nullptr, Channels::Write, &one, &stats);
  c->compress(zeros, 8, 0);
  DestroyCompressor(c);
  EXPECT_EQ(one.data[0].size(), 1u);
  EXPECT_EQ(one.data[1].size(), 256u);
  EXPECT_TRUE(one.data[2].empty());
}

TEST(RangeCodec, HeaderTreeAndFlush) {
  Channels ch;
  CompressionStats stats;
  uint64_t frequencies[256] = {}, symbolCounts[256];
  std::fill(std::begin(symbolCounts), std::end(symbolCounts), 99);
  frequencies[0] = 1000;
  frequencies[1] = 1;
  CompressorInterface* c = CreateCompressor(kRangeCodecId, frequencies, symbolCounts, Channels::Write, &ch, &stats);
  EXPECT_EQ(symbolCounts[5], 0u);
  DestroyCompressor(c);
  ASSERT_EQ(ch.data[0].size(), 1u + 4 + 2048 + 5);
  EXPECT_EQ(ch.data[0][0], kRangeCodecId);
  EXPECT_EQ(std::string(ch.data[0].begin() + 1, ch.data[0].begin() + 5), "Cmpr");
  EXPECT_EQ(ch.data[0][5], 1000 & 0xFF);
  EXPECT_EQ(ch.data[0][6], 1000 >> 8);
  EXPECT_EQ(Bytes(ch.data[0].end() - 5, ch.data[0].end()), Bytes(5, 0));

  SymbolTree tree;
  ASSERT_TRUE(BuildSymbolTree(tree, frequencies));
  EXPECT_EQ(tree.nodes[0].split, 1) << "symbol 0 alone on the left";
  const uint64_t none[256] = {};
  ASSERT_TRUE(BuildSymbolTree(tree, none));
  EXPECT_EQ(tree.nodes[0].split, 512);
  EXPECT_EQ(tree.nodes[1].split, 256);
}

// --- Round trips -------------------------------------------------------------

// Rows of every length 0..1326: random small values with the edge values
// spread in, descending runs, and a previous row for every other row.
template <typename T>
struct RowSet {
  std::vector<std::vector<T>> rows;
  std::vector<std::vector<T>> previous;  // empty: coded without a previous row

  explicit RowSet(uint32_t seed) {
    std::mt19937 rng(seed);
    const uint32_t edges[] = {255, 256, 65535, 65536, 0xFFFFFFFFu, 0, 1};
    for (int n = 0; n <= kMaxRowValues; ++n) {
      std::vector<T> row(n);
      for (int i = 0; i < n; ++i) {
        uint32_t v = rng() % 20;
        if (n % 3 == 1 && rng() % 7 == 0) v = edges[rng() % 7];
        if (n % 3 == 2) v = static_cast<uint32_t>(3 * (n - i));  // descending
        if (n % 5 == 0 && rng() % 50 == 0) v = rng();
        row[i] = static_cast<T>(v);
      }
      std::vector<T> prev;
      if (n % 4 == 0) {
        // A close relative: one less everywhere (mode 1 wins unless the row
        // is constant), longer than the row.
        prev = row;
        for (T& v : prev) v = static_cast<T>(v - 1);
        prev.resize(n + 3, 7);
      } else if (n % 4 == 2) {
        prev.resize(n);
        for (T& v : prev) v = static_cast<T>(rng() % 3 == 0 ? rng() : rng() % 30);
      }
      rows.push_back(row);
      previous.push_back(prev);
    }
  }
  const T* PreviousOf(size_t r) const { return previous[r].empty() ? nullptr : previous[r].data(); }
};

template <typename T>
void RoundTrip(int type, uint32_t seed) {
  const RowSet<T> set(seed);
  Channels ch;
  CompressionStats stats;
  uint64_t frequencies[256];
  for (int s = 0; s < 256; ++s) frequencies[s] = 256 - s;
  uint64_t symbolCounts[256];
  CompressorInterface* c = CreateCompressor(type, type == 0 ? frequencies : nullptr, type == 0 ? symbolCounts : nullptr,
                                            Channels::Write, &ch, &stats);
  ASSERT_NE(c, nullptr);
  for (size_t r = 0; r < set.rows.size(); ++r) {
    const T* prev = set.PreviousOf(r);
    if constexpr (sizeof(T) == 2)
      CompressRow16(c, set.rows[r].data(), prev, static_cast<int>(set.rows[r].size()));
    else
      CompressRow(c, set.rows[r].data(), prev, static_cast<int>(set.rows[r].size()));
  }
  DestroyCompressor(c);
  EXPECT_EQ(stats.rows, set.rows.size());
  EXPECT_GT(stats.rowsInMode1, 100u);

  DecompressorInterface* d = CreateDecompressor(Channels::Read, &ch);
  ASSERT_NE(d, nullptr);
  std::vector<T> out(kMaxRowValues + 1);
  for (size_t r = 0; r < set.rows.size(); ++r) {
    const std::vector<T>& row = set.rows[r];
    const T* prev = set.PreviousOf(r);
    out[row.size()] = static_cast<T>(0x5A5A5A5A);
    if constexpr (sizeof(T) == 2)
      DecodeValues16(d, out.data(), prev, static_cast<int>(row.size()));
    else
      DecodeValues(d, out.data(), prev, static_cast<int>(row.size()));
    ASSERT_TRUE(std::equal(row.begin(), row.end(), out.begin())) << "codec " << type << " row " << r;
    ASSERT_EQ(out[row.size()], static_cast<T>(0x5A5A5A5A)) << "wrote past the row";
  }
  EXPECT_FALSE(d->Failed());
  DestroyDecompressor(d);
  // Every byte written was read back: the rows of 0 values kept the reader in step.
  for (int k = 0; k < kCodecChannels; ++k) EXPECT_EQ(ch.read[k], ch.data[k].size()) << "codec " << type << " channel " << k;
}

TEST(CodecRoundTrip, EveryCodecAndWidth) {
  for (int type : {kFseCodecId, kFastCodecId, kRangeCodecId}) {
    RoundTrip<uint32_t>(type, 10 + type);
    RoundTrip<uint16_t>(type, 20 + type);
  }
}

// Each codec's row writer (and the range coder's probability fill) exists in
// two instruction-set variants: a row set coded under each must give the same
// bytes on every channel and the same counters. The rows span many blocks of
// every channel, so fields split across block ends are compared too.
TEST(CodecRoundTrip, BothKernelVariantsWriteTheSameBytes) {
  if (!CpuSupportsAvx2Fma()) GTEST_SKIP() << "no AVX2 on this processor";
  const bool baselineBefore = !UseAvx2FmaKernels();
  const RowSet<uint32_t> set(31);
  uint64_t frequencies[256];
  for (int s = 0; s < 256; ++s) frequencies[s] = (s * 37) % 11;
  for (int type : {kFseCodecId, kFastCodecId, kRangeCodecId}) {
    Channels coded[2];
    CompressionStats stats[2];
    uint64_t symbolCounts[2][256];
    for (int baseline = 0; baseline < 2; ++baseline) {
      ForceBaselineKernels(baseline == 1);
      CompressorInterface* c = CreateCompressor(type, type == 0 ? frequencies : nullptr,
                                                type == 0 ? symbolCounts[baseline] : nullptr, Channels::Write,
                                                &coded[baseline], &stats[baseline]);
      ASSERT_NE(c, nullptr);
      // Twice over: the second pass codes rows against adapted models.
      for (int pass = 0; pass < 2; ++pass)
        for (size_t r = 0; r < set.rows.size(); ++r)
          CompressRow(c, set.rows[r].data(), set.PreviousOf(r), static_cast<int>(set.rows[r].size()));
      DestroyCompressor(c);
    }
    ForceBaselineKernels(baselineBefore);
    for (int k = 0; k < kCodecChannels; ++k)
      EXPECT_TRUE(coded[0].data[k] == coded[1].data[k]) << "codec " << type << " channel " << k;
    EXPECT_EQ(stats[0].rows, stats[1].rows);
    EXPECT_EQ(stats[0].rowsInMode1, stats[1].rowsInMode1);
    EXPECT_EQ(stats[0].rawBytes, stats[1].rawBytes);
    EXPECT_EQ(stats[0].largestEscaped, stats[1].largestEscaped);
    EXPECT_GE(stats[0].largestEscaped, 65535) << "codec " << type;
    if (type == 0) {
      EXPECT_TRUE(std::equal(symbolCounts[0], symbolCounts[0] + 256, symbolCounts[1]));
    }
    // The bit channel of the packer holds many blocks, so its split fields
    // were exercised; the baseline's bytes also decode to the rows.
    if (type == kFastCodecId) {
      EXPECT_GT(coded[1].data[1].size(), 8u * 256u);
    }
    DecompressorInterface* d = CreateDecompressor(Channels::Read, &coded[1]);
    ASSERT_NE(d, nullptr);
    std::vector<uint32_t> out(kMaxRowValues);
    for (int pass = 0; pass < 2; ++pass)
      for (size_t r = 0; r < set.rows.size(); ++r) {
        const std::vector<uint32_t>& row = set.rows[r];
        DecodeValues(d, out.data(), set.PreviousOf(r), static_cast<int>(row.size()));
        ASSERT_TRUE(std::equal(row.begin(), row.end(), out.begin())) << "codec " << type << " row " << r;
      }
    DestroyDecompressor(d);
  }
}

TEST(CodecRoundTrip, UnknownTypes) {
  Channels ch;
  CompressionStats stats;
  EXPECT_EQ(CreateCompressor(3, nullptr, nullptr, Channels::Write, &ch, &stats), nullptr);
  ch.data[0] = {7};
  EXPECT_EQ(CreateDecompressor(Channels::Read, &ch), nullptr);
  Channels empty;
  EXPECT_EQ(CreateDecompressor(Channels::Read, &empty), nullptr);
}

// --- Damaged data --------------------------------------------------------------

// Coded channels of a few hundred rows of one codec.
Channels CodedSample(int type, int rows) {
  Channels ch;
  CompressionStats stats;
  uint64_t frequencies[256] = {};
  frequencies[0] = 10;
  frequencies[1] = 5;
  CompressorInterface* c = CreateCompressor(type, type == 0 ? frequencies : nullptr, nullptr, Channels::Write, &ch, &stats);
  std::mt19937 rng(type);
  std::vector<uint32_t> row(300), prev(300);
  for (int r = 0; r < rows; ++r) {
    for (auto& v : row) v = rng() % 9 == 0 ? rng() % 70000 : rng() % 6;
    CompressRow(c, row.data(), r % 2 ? prev.data() : nullptr, 300);
    prev = row;
  }
  DestroyCompressor(c);
  return ch;
}

// Decodes `rows` rows of 300 values, errors reported; true when an error was seen.
bool DecodeSample(Channels& ch, int rows) {
  ch.Rewind();
  DecompressorInterface* d = CreateDecompressor(Channels::Read, &ch, true);
  if (!d) return true;
  std::vector<uint32_t> out(300), prev(300);
  for (int r = 0; r < rows; ++r) {
    DecodeValues(d, out.data(), r % 2 ? prev.data() : nullptr, 300);
    prev = out;
  }
  const bool failed = d->Failed();
  if (failed) {
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint32_t v) { return v == 0; }));
  }
  DestroyDecompressor(d);
  return failed;
}

TEST(CodecDamage, MalformedBlocksAreReported) {
  Channels good = CodedSample(kFseCodecId, 400);
  EXPECT_FALSE(DecodeSample(good, 400));
  // Raw length above 65536.
  Channels bad = good;
  const uint32_t huge = 65537;
  std::memcpy(bad.data[1].data(), &huge, 4);
  EXPECT_TRUE(DecodeSample(bad, 400));
  // A coded length past the channel's end.
  bad = good;
  const int32_t longer = 60000;
  std::memcpy(bad.data[1].data() + 4, &longer, 4);
  EXPECT_TRUE(DecodeSample(bad, 400));
  // A channel that runs out: one row more than was written.
  bad = good;
  EXPECT_TRUE(DecodeSample(bad, 401));
  // A channel cut short.
  for (int type : {kFseCodecId, kFastCodecId, kRangeCodecId}) {
    Channels cut = CodedSample(type, 400);
    for (auto& d : cut.data)
      if (d.size() > 300) d.resize(d.size() - 300);
    EXPECT_TRUE(DecodeSample(cut, 400)) << "codec " << type;
  }
  // A range-coder header that is not its own: reported, never thrown.
  Channels wrongId = CodedSample(kRangeCodecId, 2);
  wrongId.data[0][1] = 'X';
  DecompressorInterface* d = nullptr;
  EXPECT_NO_THROW(d = CreateDecompressor(Channels::Read, &wrongId, true));
  ASSERT_NE(d, nullptr);
  EXPECT_STREQ(d->ErrorText(), "compressor wrong id");
  DestroyDecompressor(d);
}

// Deterministic mutations of every channel of every codec; run under the
// address sanitizer it shows that no decoder leaves its buffers.
TEST(CodecDamage, MutationLoop) {
  std::mt19937 rng(31337);
  for (int type : {kFseCodecId, kFastCodecId, kRangeCodecId}) {
    const Channels good = CodedSample(type, 60);
    int reported = 0;
    for (int m = 0; m < 120; ++m) {
      Channels bad = good;
      for (int k = 0; k < 3; ++k) {
        Bytes& d = bad.data[rng() % (type == kRangeCodecId ? 1 : kCodecChannels)];
        if (d.empty()) continue;
        if (rng() % 4 == 0)
          d.resize(rng() % d.size());
        else
          d[rng() % d.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
      }
      reported += DecodeSample(bad, 60);
    }
    EXPECT_GT(reported, 10) << "codec " << type;
  }
}

TEST(CodecDeathTest, DecodeErrorOutsideAFileLoadEndsTheProcess) {
  Channels bad = CodedSample(kFseCodecId, 50);
  const uint32_t huge = 70000;
  std::memcpy(bad.data[1].data(), &huge, 4);
  EXPECT_EXIT(
      {
        dup2(2, 1);
        DecompressorInterface* d = CreateDecompressor(Channels::Read, &bad);
        std::vector<uint32_t> out(300);
        for (int r = 0; r < 50; ++r) DecodeValues(d, out.data(), nullptr, 300);
      },
      ::testing::ExitedWithCode(1), "^fse error\n$");
}

TEST(CodecDeathTest, RowsLongerThan1326Fail) {
  std::vector<uint32_t> row(1327, 1);
  std::vector<uint16_t> row16(1327, 1);
  Channels ch;
  CompressionStats stats;
  EXPECT_EXIT(
      {
        dup2(2, 1);
        CompressorInterface* c = CreateCompressor(kFseCodecId, nullptr, nullptr, Channels::Write, &ch, &stats);
        CompressRow(c, row.data(), nullptr, 1327);
      },
      ::testing::ExitedWithCode(1), "^fail\n$");
  EXPECT_EXIT(
      {
        dup2(2, 1);
        CompressorInterface* c = CreateCompressor(kFastCodecId, nullptr, nullptr, Channels::Write, &ch, &stats);
        CompressRow16(c, row16.data(), nullptr, 1327);
      },
      ::testing::ExitedWithCode(1), "^fail\n$");
  Channels coded = CodedSample(kFseCodecId, 1);
  EXPECT_EXIT(
      {
        dup2(2, 1);
        DecompressorInterface* d = CreateDecompressor(Channels::Read, &coded);
        DecodeValues(d, row.data(), nullptr, 1327);
      },
      ::testing::ExitedWithCode(1), "^fail\n$");
}

}  // namespace

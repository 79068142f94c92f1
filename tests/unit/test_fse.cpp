// FSE block coder: the worked example, the results that say "store raw" or
// "store one byte", round trips over many distributions, and decoding of
// damaged blocks (errors, never a read or write outside the buffers).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "codecs/fse.h"
#include "codecs/fse_variants.h"
#include "core/cpu_info.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Codes src; returns the coded block (empty for results 0 and 1) and the result.
size_t Compress(const Bytes& src, Bytes& coded) {
  coded.assign(FSE_compressBound(src.size()), 0);
  const size_t r = FSE_compress(coded.data(), coded.size(), src.data(), src.size());
  coded.resize(FSE_isError(r) || r <= 1 ? 0 : r);
  return r;
}

// Decodes into a buffer of exactly `capacity` bytes (heap-allocated so that
// the address sanitizer sees any access past it).
size_t Decompress(const Bytes& coded, size_t capacity, Bytes& out) {
  out.assign(capacity, 0xAA);
  uint8_t* dst = capacity ? out.data() : nullptr;
  Bytes src(coded);
  return FSE_decompress(dst, capacity, src.data(), src.size());
}

// n bytes drawn from a skewed distribution over `alphabet` symbols.
Bytes Skewed(size_t n, int alphabet, double decay, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<double> weights;
  double w = 1.0;
  for (int s = 0; s < alphabet; ++s, w *= decay) weights.push_back(w);
  std::discrete_distribution<int> pick(weights.begin(), weights.end());
  Bytes out(n);
  for (auto& b : out) b = static_cast<uint8_t>(pick(rng));
  return out;
}

Bytes TheHundredBytes() {
  // 50 x 0, 30 x 1, 20 x 2, interleaved.
  Bytes b;
  for (int i = 0; i < 10; ++i) {
    for (int k = 0; k < 5; ++k) b.push_back(0);
    for (int k = 0; k < 3; ++k) b.push_back(1);
    for (int k = 0; k < 2; ++k) b.push_back(2);
  }
  return b;
}

TEST(FseCoder, HundredByteExampleHeaderAndTable) {
  const Bytes src = TheHundredBytes();
  unsigned counts[256];
  unsigned maxSymbol = 255;
  EXPECT_EQ(FSE_count(counts, &maxSymbol, src.data(), src.size()), 50u);
  EXPECT_EQ(maxSymbol, 2u);
  const unsigned tableLog = FSE_optimalTableLog(11, src.size(), maxSymbol);
  EXPECT_EQ(tableLog, 5u);
  int16_t norm[256];
  ASSERT_EQ(FSE_normalizeCount(norm, tableLog, counts, src.size(), maxSymbol), 5u);
  EXPECT_EQ(norm[0], 17);
  EXPECT_EQ(norm[1], 9);
  EXPECT_EQ(norm[2], 6);
  uint8_t header[16];
  ASSERT_EQ(FSE_writeNCount(header, sizeof header, norm, maxSymbol, tableLog), 2u);
  EXPECT_EQ(header[0], 0x20);
  EXPECT_EQ(header[1], 0xF5);

  // The header reads back to the same counts.
  int16_t back[256];
  unsigned backMax = 255, backLog = 0;
  uint8_t padded[4] = {header[0], header[1], 0, 0};
  EXPECT_EQ(FSE_readNCount(back, &backMax, &backLog, padded, 4), 2u);
  EXPECT_EQ(backLog, 5u);
  EXPECT_EQ(backMax, 2u);
  EXPECT_EQ(back[0], 17);
  EXPECT_EQ(back[1], 9);
  EXPECT_EQ(back[2], 6);

  Bytes coded, out;
  const size_t r = Compress(src, coded);
  ASSERT_GT(r, 1u);
  EXPECT_EQ(coded[0], 0x20);
  EXPECT_EQ(coded[1], 0xF5);
  EXPECT_EQ(Decompress(coded, src.size(), out), src.size());
  EXPECT_EQ(out, src);
}

TEST(FseCoder, ResultsThatMeanRawOrSingleByte) {
  Bytes coded;
  EXPECT_EQ(Compress(Bytes{}, coded), 0u);
  EXPECT_EQ(Compress(Bytes{7}, coded), 0u);
  EXPECT_EQ(Compress(Bytes(2, 9), coded), 1u);
  EXPECT_EQ(Compress(Bytes(65536, 200), coded), 1u);
  Bytes distinct(256);
  for (int i = 0; i < 256; ++i) distinct[i] = static_cast<uint8_t>(255 - i);
  EXPECT_EQ(Compress(distinct, coded), 0u);
  // Most frequent byte below n/128: 2560 bytes, each value ten times.
  Bytes flat;
  for (int k = 0; k < 10; ++k)
    for (int i = 0; i < 256; ++i) flat.push_back(static_cast<uint8_t>(i));
  Bytes sparse = flat;
  sparse.resize(256 * 10 * 2, 0);
  for (size_t i = 2560; i < sparse.size(); ++i) sparse[i] = static_cast<uint8_t>(i * 7);
  EXPECT_EQ(Compress(sparse, coded), 0u) << "largest count 20 of 5120 bytes is below n/128 = 40";
  EXPECT_EQ(Compress(Bytes{4, 4, 5}, coded), 0u);
  EXPECT_EQ(FSE_compressBound(65536), 66560u);
}

TEST(FseCoder, TableLogFollowsSizeAndAlphabet) {
  Bytes ten(100);
  for (int i = 0; i < 100; ++i) ten[i] = static_cast<uint8_t>(i % 10);
  unsigned counts[256], maxSymbol = 255;
  FSE_count(counts, &maxSymbol, ten.data(), ten.size());
  EXPECT_EQ(maxSymbol, 9u);
  EXPECT_EQ(FSE_optimalTableLog(11, 100, 9), 5u);
  EXPECT_EQ(FSE_optimalTableLog(11, 65536, 255), 11u);
  EXPECT_EQ(FSE_optimalTableLog(0, 65536, 40), 11u);
  // hb(1) - 2 wraps around and leaves the table log alone.
  EXPECT_EQ(FSE_optimalTableLog(11, 2, 0), 11u);
  // A block coded with table log 11 says so in its first four bits.
  Bytes coded;
  ASSERT_GT(Compress(Skewed(65536, 60, 0.9, 3), coded), 1u);
  EXPECT_EQ(coded[0] & 0xF, 11 - 5);
}

TEST(FseCoder, RareSymbolTakesOneSlotAtTheTop) {
  // 1000 bytes, symbol 3 once: 1 <= 1000 >> 8, so it gets -1 and cell T - 1.
  Bytes src = Skewed(1000, 3, 0.5, 11);
  src[500] = 3;
  unsigned counts[256], maxSymbol = 255;
  FSE_count(counts, &maxSymbol, src.data(), src.size());
  const unsigned tableLog = FSE_optimalTableLog(11, src.size(), maxSymbol);
  int16_t norm[256];
  ASSERT_FALSE(FSE_isError(FSE_normalizeCount(norm, tableLog, counts, src.size(), maxSymbol)));
  EXPECT_EQ(norm[3], -1);
  FseDTable table;
  ASSERT_EQ(FSE_buildDTable(&table, norm, maxSymbol, tableLog), 0u);
  EXPECT_EQ(table.cells[(1u << tableLog) - 1].symbol, 3);
  EXPECT_EQ(table.cells[(1u << tableLog) - 1].nbBits, tableLog);
  int used = 0;
  for (uint32_t u = 0; u < (1u << tableLog); ++u) used += table.cells[u].symbol == 3;
  EXPECT_EQ(used, 1);
  Bytes coded, out;
  ASSERT_GT(Compress(src, coded), 1u);
  EXPECT_EQ(Decompress(coded, src.size(), out), src.size());
  EXPECT_EQ(out, src);
}

TEST(FseCoder, RoundTripsOverSizesAndDistributions) {
  const size_t sizes[] = {2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 63, 100, 255, 1000, 4095, 4096, 30001, 65535, 65536};
  const double decays[] = {0.05, 0.5, 0.9, 0.99};
  int coded = 0;
  uint32_t seed = 1;
  for (size_t n : sizes) {
    for (double decay : decays) {
      for (int alphabet : {2, 17, 256}) {
        const Bytes src = Skewed(n, alphabet, decay, seed++);
        Bytes block, out;
        const size_t r = Compress(src, block);
        ASSERT_FALSE(FSE_isError(r)) << FSE_getErrorName(r);
        if (r <= 1) continue;
        ++coded;
        EXPECT_LT(r, n - 1);
        ASSERT_EQ(Decompress(block, n, out), n) << "n " << n << " decay " << decay;
        ASSERT_EQ(out, src);
      }
    }
  }
  EXPECT_GT(coded, 100);
}

// The histogram, the secondary normalisation and the bit-stream writer exist
// in two instruction-set variants that must agree exactly: counts against a
// plain count, normalised counts on distributions that need the secondary
// method (many rare symbols), and stream bytes with room to spare and with a
// destination the flushes must clamp to.
TEST(FseCoder, KernelVariantsCountNormaliseAndWriteAlike) {
  if (!CpuSupportsAvx2Fma()) GTEST_SKIP() << "no AVX2 on this processor";
  uint32_t seed = 500;
  for (size_t n : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{17}, size_t{100}, size_t{4097},
                   size_t{65536}}) {
    for (double decay : {0.3, 0.97}) {
      const Bytes src = Skewed(n, 256, decay, seed++);
      uint32_t plain[256] = {}, t1[256], t2[256];
      for (uint8_t b : src) ++plain[b];
      const unsigned largest = *std::max_element(plain, plain + 256);
      EXPECT_EQ(kernels_avx2::CountBytes(src.data(), n, t1), largest) << n;
      EXPECT_EQ(kernels_avx::CountBytes(src.data(), n, t2), largest) << n;
      ASSERT_TRUE(std::equal(plain, plain + 256, t1)) << "avx2, n " << n;
      ASSERT_TRUE(std::equal(plain, plain + 256, t2)) << "avx, n " << n;
    }
  }

  std::mt19937 rng(9);
  int secondary = 0;
  for (int trial = 0; trial < 300; ++trial) {
    // One heavy symbol and many light ones, some of them below one slot.
    const unsigned maxSymbol = 20 + rng() % 236;
    std::vector<unsigned> counts(maxSymbol + 1);
    size_t total = 0;
    for (unsigned& c : counts) total += c = rng() % 4 == 0 ? 0 : 1 + rng() % (trial % 2 ? 3 : 40);
    counts[rng() % counts.size()] += static_cast<unsigned>(rng() % 60000);
    total = 0;
    for (unsigned c : counts) total += c;
    for (unsigned tableLog : {9u, 11u, 12u}) {
      int16_t n1[256], n2[256];
      const size_t r1 = kernels_avx2::NormalizeM2(n1, tableLog, counts.data(), total, maxSymbol);
      const size_t r2 = kernels_avx::NormalizeM2(n2, tableLog, counts.data(), total, maxSymbol);
      ASSERT_EQ(r1, r2);
      if (FSE_isError(r1)) continue;
      ++secondary;
      ASSERT_TRUE(std::equal(n1, n1 + maxSymbol + 1, n2)) << "trial " << trial;
      int sum = 0;
      for (unsigned s = 0; s <= maxSymbol; ++s) sum += n1[s] < 0 ? 1 : n1[s];
      EXPECT_EQ(sum, 1 << tableLog);
    }
  }
  EXPECT_GT(secondary, 500);

  for (size_t n : {size_t{2}, size_t{5}, size_t{100}, size_t{4096}, size_t{65536}}) {
    const Bytes src = Skewed(n, 40, 0.8, seed++);
    unsigned counts[256], maxSymbol = 255;
    FSE_count(counts, &maxSymbol, src.data(), n);
    const unsigned tableLog = FSE_optimalTableLog(11, n, maxSymbol);
    int16_t norm[256];
    ASSERT_FALSE(FSE_isError(FSE_normalizeCount(norm, tableLog, counts, n, maxSymbol)));
    FseCTable table;
    ASSERT_EQ(FSE_buildCTable(&table, norm, maxSymbol, tableLog), 0u);
    for (size_t capacity : {FSE_compressBound(n), n / 2 + 8, size_t{8}}) {
      Bytes a(capacity, 0x11), b(capacity, 0x11);
      const size_t ra = kernels_avx2::EncodeFseStream(a.data(), capacity, src.data(), n, &table);
      const size_t rb = kernels_avx::EncodeFseStream(b.data(), capacity, src.data(), n, &table);
      EXPECT_EQ(ra, rb) << "n " << n << " capacity " << capacity;
      EXPECT_TRUE(a == b) << "n " << n << " capacity " << capacity;
    }
  }
}

TEST(FseCoder, SmallDestinationsAreErrorsOrNotWorthCoding) {
  const Bytes src = Skewed(4000, 20, 0.7, 5);
  Bytes dst(4);
  EXPECT_EQ(FSE_compress(dst.data(), 1, src.data(), src.size()), static_cast<size_t>(-FSE_ERROR_dstSize_tooSmall));
  // Room for the header only: the bit stream does not fit, store raw.
  Bytes header(64);
  EXPECT_EQ(FSE_compress(header.data(), header.size(), src.data(), src.size()), 0u);
}

TEST(FseCoder, ErrorNames) {
  EXPECT_STREQ(FSE_getErrorName(0), "Unspecified error code");
  EXPECT_STREQ(FSE_getErrorName(42), "Unspecified error code");
  EXPECT_STREQ(FSE_getErrorName(static_cast<size_t>(-8)), "Unspecified error code");
  EXPECT_STREQ(FSE_getErrorName(static_cast<size_t>(-7)), "FSE_ERROR_corruptionDetected");
  EXPECT_STREQ(FSE_getErrorName(static_cast<size_t>(-1)), "FSE_ERROR_GENERIC");
  EXPECT_TRUE(FSE_isError(static_cast<size_t>(-1)));
  EXPECT_FALSE(FSE_isError(static_cast<size_t>(-8)));
  EXPECT_FALSE(FSE_isError(66560));
}

TEST(FseCoder, DamagedBlocksAreReported) {
  const Bytes src = Skewed(5000, 30, 0.8, 9);
  Bytes coded, out;
  ASSERT_GT(Compress(src, coded), 1u);

  // Output one byte short of the decoded length.
  EXPECT_EQ(Decompress(coded, src.size() - 1, out), static_cast<size_t>(-FSE_ERROR_dstSize_tooSmall));
  // A last byte of 0 has no end mark.
  Bytes noMark = coded;
  noMark.back() = 0;
  EXPECT_EQ(Decompress(noMark, src.size(), out), static_cast<size_t>(-FSE_ERROR_GENERIC));
  // Counts that do not add up to the table size: the 100-byte header with
  // the last count changed from 6 to 5 (field 7 -> 6), then zero counts for
  // every further symbol (fields 01 and zero-run 00).
  Bytes badCounts = {0x20, 0xD5};
  badCounts.resize(150, 0x11);
  EXPECT_EQ(Decompress(badCounts, 100, out), static_cast<size_t>(-FSE_ERROR_GENERIC));
  // Too short inputs.
  EXPECT_EQ(Decompress(Bytes{0x20}, 100, out), static_cast<size_t>(-FSE_ERROR_srcSize_wrong));
  EXPECT_EQ(Decompress(Bytes{0x20, 0xF5, 0x01}, 100, out), static_cast<size_t>(-FSE_ERROR_srcSize_wrong));
  // Header table log above 15.
  EXPECT_EQ(Decompress(Bytes{0x0B, 0, 0, 0, 1}, 100, out), static_cast<size_t>(-FSE_ERROR_tableLog_tooLarge));
  // A block cut short never decodes to the original bytes.
  Bytes cut(coded.begin(), coded.end() - 1);
  const size_t r = Decompress(cut, src.size(), out);
  EXPECT_TRUE(FSE_isError(r) || out != src);
}

// Deterministic mutations of coded blocks: every result is an error code or
// a size within the output buffer (the address sanitizer build checks that
// nothing outside the buffers is touched).
TEST(FseCoder, MutatedBlocksNeverLeaveTheirBuffers) {
  std::mt19937 rng(2024);
  int errors = 0, decoded = 0;
  for (int block = 0; block < 12; ++block) {
    const size_t n = block < 4 ? 40 + block * 13 : 3000 + block * 911;
    const Bytes src = Skewed(n, 4 + block * 20, 0.6 + block * 0.03, 100 + block);
    Bytes coded;
    if (Compress(src, coded) <= 1) continue;
    for (int m = 0; m < 400; ++m) {
      Bytes mutated = coded;
      switch (m % 4) {
        case 0:
          mutated[rng() % mutated.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
          break;
        case 1:
          mutated[rng() % mutated.size()] = static_cast<uint8_t>(rng());
          break;
        case 2:
          mutated.resize(1 + rng() % mutated.size());
          break;
        default:
          for (int k = 0; k < 4; ++k) mutated[rng() % std::min<size_t>(mutated.size(), 24)] = static_cast<uint8_t>(rng());
          break;
      }
      Bytes out;
      const size_t capacity = (m % 3 == 0) ? n / 2 : n;
      const size_t r = Decompress(mutated, capacity, out);
      if (FSE_isError(r)) {
        ++errors;
      } else {
        ++decoded;
        EXPECT_LE(r, capacity);
      }
    }
  }
  EXPECT_GT(errors, 1000);
  EXPECT_GT(decoded, 0);
}

TEST(FseCoderDeathTest, BlockLongerThanItsCountsCanHoldFails) {
  // The source is never read: the length alone fails the process.
  uint8_t dst[16];
  static const uint8_t src[1] = {0};
  EXPECT_EXIT(
      {
        dup2(2, 1);
        FSE_compress(dst, sizeof dst, src, size_t{1} << 32);
      },
      ::testing::ExitedWithCode(1), "^fail\n$");
}

}  // namespace

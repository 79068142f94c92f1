#include "codecs/range_codec.h"

#include <algorithm>
#include <cstring>

#include "codecs/range_codec_variants.h"
#include "core/cpu_info.h"
#include "core/output.h"

namespace {

#include "codecs/range_coder.inc"

constexpr char kHeader[4] = {'C', 'm', 'p', 'r'};

constexpr size_t kGroupProbs = 2 * 4096;
constexpr size_t kZeroProbs = 2 * 65536;
constexpr size_t kTreeProbs = 2ull * 1024 * 1024;
constexpr size_t kEscape17 = 1u << 17;
constexpr size_t kEscape16 = 1u << 16;
constexpr size_t kAllProbs = kGroupProbs + kZeroProbs + kTreeProbs + kEscape17 + kEscape16;

}  // namespace

bool BuildOptimalTree(SymbolTreeNode* nodes, int& next, const uint64_t* frequencies, uint64_t w, int lo, int hi,
                      int limit) {
  while (hi - lo >= 3) {
    int split;
    uint64_t acc = 0;
    if (w >= 1 && lo < limit) {
      const uint64_t half = (w + 1) / 2;
      const int end = std::min(hi - 1, limit);
      split = lo;
      do {
        if (acc >= half) break;
        acc += frequencies[split];
        ++split;
      } while (split < end);
    } else {
      split = lo + (hi - lo) / 2;
    }
    if (next >= kSymbolTreeNodes) return false;
    const int node = next++;
    if (!BuildOptimalTree(nodes, next, frequencies, acc, lo, split, limit)) return false;
    nodes[node].right = static_cast<int16_t>(next);
    nodes[node].split = static_cast<int16_t>(split);
    w -= acc;
    lo = split;
  }
  if (hi - lo == 2) {
    if (next >= kSymbolTreeNodes) return false;
    nodes[next].right = 0;
    nodes[next].split = static_cast<int16_t>(lo + 1);
    ++next;
  }
  return true;
}

bool BuildSymbolTree(SymbolTree& tree, const uint64_t* frequencies) {
  static const uint64_t kNoWeights[256] = {};
  if (!frequencies) frequencies = kNoWeights;
  uint64_t total = 0;
  for (int s = 0; s < 256; ++s) total += frequencies[s];
  int rootSplit = 512;
  uint64_t leftWeight = 0;
  if (total >= 1) {
    const uint64_t half = (total + 1) / 2;
    rootSplit = 0;
    while (rootSplit < 255) {
      leftWeight += frequencies[rootSplit++];
      if (leftWeight >= half) break;
    }
  }
  int next = 1;
  if (!BuildOptimalTree(tree.nodes, next, frequencies, leftWeight, 0, rootSplit)) return false;
  tree.nodes[0].right = static_cast<int16_t>(next);
  tree.nodes[0].split = static_cast<int16_t>(rootSplit);
  if (!BuildOptimalTree(tree.nodes, next, frequencies, total - leftWeight, rootSplit, 1024)) return false;
  return next == kSymbolTreeNodes;
}

EntropyCoder::EntropyCoder() {
  memory_ = new uint16_t[kAllProbs];
  if (UseAvx2FmaKernels())
    kernels_avx2::FillProbabilities(memory_, kAllProbs, kProbabilityOne / 2);
  else
    kernels_avx::FillProbabilities(memory_, kAllProbs, kProbabilityOne / 2);
  groupProbs_ = memory_;
  zeroProbs_ = groupProbs_ + kGroupProbs;
  treeProbs_ = zeroProbs_ + kZeroProbs;
  escape17_ = treeProbs_ + kTreeProbs;
  escape16_ = escape17_ + kEscape17;
  std::memset(&tree_, 0, sizeof tree_);
}

EntropyCoder::~EntropyCoder() { delete[] memory_; }

// --- Writer ----------------------------------------------------------------

Compressor* CreateCompressorObject(ChannelCallback* callback, const uint64_t* frequencies, uint64_t* symbolCounts,
                                   CompressionStats* stats) {
  return new Compressor(callback, frequencies, symbolCounts, stats);
}

Compressor::Compressor(ChannelCallback* callback, const uint64_t* frequencies, uint64_t* symbolCounts,
                       CompressionStats* stats) {
  coder_.callback = callback;
  models_ = {&modeProb_, groupProbs_, zeroProbs_, treeProbs_, escape17_, escape16_, &tree_, symbolCounts, stats};
  for (char c : kHeader) PutByte(coder_, static_cast<uint8_t>(c));
  // A tree over 1024 leaves always has 1023 inner nodes.
  if (!BuildSymbolTree(tree_, frequencies)) Fail("CreateOptimalTree fail");
  for (int s = 0; s < 256; ++s) {
    const uint64_t f = frequencies ? frequencies[s] : 0;
    for (int b = 0; b < 8; ++b) PutByte(coder_, static_cast<uint8_t>(f >> (8 * b)));
  }
  if (symbolCounts) std::fill(symbolCounts, symbolCounts + 256, 0);
}

Compressor::~Compressor() {
  for (int i = 0; i < 5; ++i) ShiftLow(coder_);
  Drain(coder_);
  delete coder_.callback;
}

void Compressor::compress(const uint32_t* residuals, int count, int mode) {
  if (UseAvx2FmaKernels())
    kernels_avx2::RangeCompressRow(coder_, models_, residuals, count, mode);
  else
    kernels_avx::RangeCompressRow(coder_, models_, residuals, count, mode);
}

// --- Reader ----------------------------------------------------------------

Decompressor* CreateDecompressorObject(ChannelCallback* callback, bool reportErrors) {
  return new Decompressor(callback, reportErrors);
}

Decompressor::Decompressor(ChannelCallback* callback, bool reportErrors) : callback_(callback) {
  ReportErrors(reportErrors);
  uint8_t header[4];
  if (!ReadExact(header, 4)) return;
  if (std::memcmp(header, kHeader, 4) != 0) {
    Damaged("compressor wrong id");
    return;
  }
  uint8_t weights[2048];
  if (!ReadExact(weights, 2048)) return;
  uint64_t frequencies[256];
  for (int s = 0; s < 256; ++s) {
    uint64_t f = 0;
    for (int b = 0; b < 8; ++b) f |= static_cast<uint64_t>(weights[8 * s + b]) << (8 * b);
    frequencies[s] = f;
  }
  if (!BuildSymbolTree(tree_, frequencies)) {
    Damaged("CreateOptimalTree fail");
    return;
  }
  for (int i = 0; i < 5; ++i) code_ = (code_ << 8) | NextByte();
}

Decompressor::~Decompressor() { delete callback_; }

void Decompressor::Damaged(const char* text) {
  if (damaged_) return;
  damaged_ = true;
  RaiseError(text);
}

uint8_t Decompressor::NextByte() {
  if (inPosition_ == inLength_) {
    // Reads ahead: channel 0 carries nothing else after the header.
    const int got = damaged_ ? 0 : callback_->function(callback_->context, 0, in_, static_cast<int>(sizeof in_));
    if (got <= 0) {
      Damaged("fse error");
      return 0;
    }
    inPosition_ = 0;
    inLength_ = static_cast<uint32_t>(got);
  }
  return in_[inPosition_++];
}

bool Decompressor::ReadExact(uint8_t* data, int length) {
  for (int i = 0; i < length; ++i) {
    data[i] = NextByte();
    if (damaged_) return false;
  }
  return true;
}

inline unsigned Decompressor::DecodeBit(uint16_t& p) {
  const uint32_t bound = (range_ >> kProbabilityBits) * p;
  unsigned bit;
  if (code_ < bound) {
    range_ = bound;
    p = static_cast<uint16_t>(p + ((kProbabilityOne - p) >> kAdaptShift));
    bit = 0;
  } else {
    code_ -= bound;
    range_ -= bound;
    p = static_cast<uint16_t>(p - (p >> kAdaptShift));
    bit = 1;
  }
  if (range_ < kTopValue) {
    range_ <<= 8;
    code_ = (code_ << 8) | NextByte();
  }
  return bit;
}

uint32_t Decompressor::DecodeBitTree(uint16_t* probs, int nbBits) {
  uint32_t m = 1;
  for (int i = 0; i < nbBits; ++i) m = 2 * m + DecodeBit(probs[m]);
  return m - (1u << nbBits);
}

uint32_t Decompressor::DecodeValue(int mode, int& symbolContext) {
  uint16_t* probs = TreeProbabilities(mode, symbolContext);
  int k = 0, lo = 0, hi = 1024;
  while (hi - lo > 1) {
    const SymbolTreeNode node = tree_.nodes[k];
    if (DecodeBit(probs[k]) == 0) {
      hi = node.split;
      k = k + 1;
    } else {
      lo = node.split;
      k = node.right;
    }
  }
  symbolContext = lo;
  if (lo < kEscapeSymbol) return static_cast<uint32_t>(lo) + 1;
  const uint32_t x = DecodeBitTree(escape17_, 17);
  uint32_t r = x & 0xFFFF;
  if (x & 0x10000) r |= DecodeBitTree(escape16_, 16) << 16;
  return 1024 + r;
}

int Decompressor::DecodeCodes(uint32_t* codes, int count) {
  const int m = static_cast<int>(DecodeBit(modeProb_));
  uint16_t* groupProbs = GroupProbabilities(m);
  uint16_t* zeroProbs = ZeroProbabilities(m);
  unsigned groupContext = 0, zeroContext = 0;
  int symbolContext = kFirstSymbolContext;
  for (int g = 0; g < count; g += kGroupSize) {
    const int width = std::min(kGroupSize, count - g);
    const unsigned groupBit = DecodeBit(groupProbs[groupContext]);
    groupContext = ((groupContext << 1) | groupBit) & 0xFFF;
    if (!groupBit) {
      std::memset(codes + g, 0, sizeof(uint32_t) * static_cast<size_t>(width));
      continue;
    }
    for (int j = 0; j < width; ++j) {
      const unsigned nonZero = DecodeBit(zeroProbs[zeroContext]);
      zeroContext = ((zeroContext << 1) | nonZero) & 0xFFFF;
      codes[g + j] = nonZero ? DecodeValue(m, symbolContext) : 0;
    }
  }
  return m;
}

int Decompressor::decompress(uint32_t* out, const uint32_t* previous, int count) {
  return DecodeRowWith(out, previous, count, damaged_, [&](uint32_t* codes) { return damaged_ ? 0 : DecodeCodes(codes, count); });
}

int Decompressor::decompress16(uint16_t* out, const uint16_t* previous, int count) {
  return DecodeRowWith(out, previous, count, damaged_, [&](uint32_t* codes) { return damaged_ ? 0 : DecodeCodes(codes, count); });
}

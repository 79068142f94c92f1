#include "codecs/range_codec.h"

#include <algorithm>
#include <cstring>

#include "core/output.h"

namespace {

constexpr uint32_t kTopValue = 1u << 24;
constexpr unsigned kProbabilityBits = 11;
constexpr uint16_t kProbabilityOne = 1u << kProbabilityBits;
constexpr unsigned kAdaptShift = 4;
constexpr char kHeader[4] = {'C', 'm', 'p', 'r'};

constexpr size_t kGroupProbs = 2 * 4096;
constexpr size_t kZeroProbs = 2 * 65536;
constexpr size_t kTreeProbs = 2ull * 1024 * 1024;
constexpr size_t kEscape17 = 1u << 17;
constexpr size_t kEscape16 = 1u << 16;
constexpr size_t kAllProbs = kGroupProbs + kZeroProbs + kTreeProbs + kEscape17 + kEscape16;

constexpr int kGroupSize = 16;
constexpr int kEscapeSymbol = 1023;
constexpr int kFirstSymbolContext = 1022;

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
  std::fill(memory_, memory_ + kAllProbs, static_cast<uint16_t>(kProbabilityOne / 2));
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
                       CompressionStats* stats)
    : callback_(callback), symbolCounts_(symbolCounts), stats_(stats) {
  for (char c : kHeader) PutByte(static_cast<uint8_t>(c));
  // A tree over 1024 leaves always has 1023 inner nodes.
  if (!BuildSymbolTree(tree_, frequencies)) Fail("CreateOptimalTree fail");
  for (int s = 0; s < 256; ++s) {
    const uint64_t f = frequencies ? frequencies[s] : 0;
    for (int b = 0; b < 8; ++b) PutByte(static_cast<uint8_t>(f >> (8 * b)));
  }
  if (symbolCounts_) std::fill(symbolCounts_, symbolCounts_ + 256, 0);
}

Compressor::~Compressor() {
  for (int i = 0; i < 5; ++i) ShiftLow();
  Drain();
  delete callback_;
}

void Compressor::PutByte(uint8_t byte) {
  out_[outCount_++] = byte;
  if (outCount_ == sizeof out_) Drain();
}

void Compressor::Drain() {
  if (outCount_ > 0) callback_->function(callback_->context, 0, out_, static_cast<int>(outCount_));
  outCount_ = 0;
}

void Compressor::ShiftLow() {
  if (static_cast<uint32_t>(low_) < 0xFF000000u || (low_ >> 32) != 0) {
    const uint8_t carry = static_cast<uint8_t>(low_ >> 32);
    uint8_t pending = cache_;
    do {
      PutByte(static_cast<uint8_t>(pending + carry));
      pending = 0xFF;
    } while (--cacheSize_ != 0);
    cache_ = static_cast<uint8_t>(low_ >> 24);
  }
  ++cacheSize_;
  low_ = (low_ & 0x00FFFFFFu) << 8;
}

inline void Compressor::EncodeBit(uint16_t& p, unsigned bit) {
  const uint32_t bound = (range_ >> kProbabilityBits) * p;
  if (bit == 0) {
    range_ = bound;
    p = static_cast<uint16_t>(p + ((kProbabilityOne - p) >> kAdaptShift));
  } else {
    low_ += bound;
    range_ -= bound;
    p = static_cast<uint16_t>(p - (p >> kAdaptShift));
  }
  if (range_ < kTopValue) {
    range_ <<= 8;
    ShiftLow();
  }
}

void Compressor::EncodeBitTree(uint16_t* probs, int nbBits, uint32_t value) {
  uint32_t m = 1;
  for (int i = nbBits - 1; i >= 0; --i) {
    const unsigned bit = (value >> i) & 1;
    EncodeBit(probs[m], bit);
    m = 2 * m + bit;
  }
}

void Compressor::EncodeValue(uint32_t v, int mode, int& symbolContext) {
  const int symbol = v <= 1023 ? static_cast<int>(v - 1) : kEscapeSymbol;
  uint16_t* probs = TreeProbabilities(mode, symbolContext);
  int k = 0, lo = 0, hi = 1024;
  while (hi - lo > 1) {
    const SymbolTreeNode node = tree_.nodes[k];
    const unsigned bit = symbol >= node.split;
    EncodeBit(probs[k], bit);
    if (bit == 0) {
      hi = node.split;
      k = k + 1;
    } else {
      lo = node.split;
      k = node.right;
    }
  }
  symbolContext = symbol;
  if (symbol == kEscapeSymbol) {
    const uint32_t r = v - 1024;
    EncodeBitTree(escape17_, 17, (r & 0xFFFF) | (r > 0xFFFF ? 0x10000u : 0u));
    if (r > 0xFFFF) EncodeBitTree(escape16_, 16, r >> 16);
  }
}

void Compressor::compress(const uint32_t* residuals, int count, int mode) {
  const int m = mode != 0;
  EncodeBit(modeProb_, static_cast<unsigned>(m));
  uint16_t* groupProbs = GroupProbabilities(m);
  uint16_t* zeroProbs = ZeroProbabilities(m);
  unsigned groupContext = 0, zeroContext = 0;
  int symbolContext = kFirstSymbolContext;
  for (int g = 0; g < count; g += kGroupSize) {
    const int width = std::min(kGroupSize, count - g);
    uint32_t any = 0;
    for (int j = 0; j < width; ++j) any |= residuals[g + j];
    const unsigned groupBit = any != 0;
    EncodeBit(groupProbs[groupContext], groupBit);
    groupContext = ((groupContext << 1) | groupBit) & 0xFFF;
    if (!groupBit) continue;
    for (int j = 0; j < width; ++j) {
      const uint32_t v = residuals[g + j];
      const unsigned nonZero = v != 0;
      EncodeBit(zeroProbs[zeroContext], nonZero);
      zeroContext = ((zeroContext << 1) | nonZero) & 0xFFFF;
      if (!nonZero) continue;
      EncodeValue(v, m, symbolContext);
      if (symbolCounts_) ++symbolCounts_[std::min<uint32_t>(v - 1, 255)];
      if (static_cast<int32_t>(v - 1) > stats_->largestEscaped) stats_->largestEscaped = static_cast<int32_t>(v - 1);
    }
  }
  stats_->rows += 1;
  stats_->rawBytes += 4 * static_cast<uint64_t>(count > 0 ? count : 0);
  if (m) stats_->rowsInMode1 += 1;
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

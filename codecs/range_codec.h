// The adaptive range-coder codec (codec id 0), read where old data holds it.
// A binary range coder (11-bit probabilities, adaptation shift 4, carry
// through a cache byte) codes per row: the mode bit; per group of up to 16
// residuals a bit "any non-zero" in the context of the row's last 12 group
// bits; per residual of a non-zero group a bit "non-zero" in the context of
// the last 16 such bits; per non-zero residual v its symbol min(v - 1, 1023)
// on a weight-balanced binary tree whose node probabilities depend on the
// mode and the row's previous symbol, and for 1023 (v >= 1024) the rest
// v - 1024 on a 17-bit (and, above 0xFFFF, a further 16-bit) bit tree.
// Everything travels on channel 0: "Cmpr", 256 u64 symbol weights that shape
// the tree, then the coded bytes. A row of 0 values is its mode bit alone,
// for writer and reader alike.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codecs/codec.h"

// One inner node of the symbol tree over 0..1023: node k + 1 is its left
// child, `right` its right child; symbols below `split` go left.
struct SymbolTreeNode {
  int16_t right;
  int16_t split;
};
constexpr int kSymbolTreeNodes = 1023;

struct SymbolTree {
  SymbolTreeNode nodes[kSymbolTreeNodes];
};

// Builds the subtree of symbols lo..hi-1 with weight w, numbering its nodes
// in pre-order from `next`: below `limit` each split puts half the weight on
// the left, elsewhere (and where the weight runs out) ranges are halved.
// False when the nodes would not fit the tree.
bool BuildOptimalTree(SymbolTreeNode* nodes, int& next, const uint64_t* frequencies, uint64_t w, int lo, int hi,
                      int limit = 255);
// The whole tree from 256 weights; false unless it has exactly 1023 nodes.
bool BuildSymbolTree(SymbolTree& tree, const uint64_t* frequencies);

// The writer's coder state: the low end and width of the interval, the
// carry cache, and the output buffer of channel 0 (sent when full).
struct RangeEncoderState {
  ChannelCallback* callback = nullptr;
  uint64_t low = 0;
  uint32_t range = 0xFFFFFFFFu;
  uint8_t cache = 0;
  uint32_t cacheSize = 1;
  uint32_t outCount = 0;
  uint8_t out[4096];
};

// What coding one row reads and adapts: the models of both modes, the symbol
// tree and the writer's counters (symbolCounts may be null).
struct RangeRowModels {
  uint16_t* modeProb;
  uint16_t* groupProbs;  // 2 x 4096
  uint16_t* zeroProbs;   // 2 x 65536
  uint16_t* treeProbs;   // 2 x 1024 x 1024
  uint16_t* escape17;
  uint16_t* escape16;
  const SymbolTree* tree;
  uint64_t* symbolCounts;
  CompressionStats* stats;
};

// Coder state and adaptive models shared by both directions.
class EntropyCoder {
 public:
  EntropyCoder(const EntropyCoder&) = delete;
  EntropyCoder& operator=(const EntropyCoder&) = delete;

 protected:
  EntropyCoder();
  ~EntropyCoder();

  uint16_t* GroupProbabilities(int mode) { return groupProbs_ + mode * 4096; }
  uint16_t* ZeroProbabilities(int mode) { return zeroProbs_ + mode * 65536; }
  uint16_t* TreeProbabilities(int mode, int symbolContext) {
    return treeProbs_ + (static_cast<size_t>(mode) * 1024 + static_cast<size_t>(symbolContext)) * 1024;
  }

  uint16_t* memory_;
  uint16_t modeProb_ = 1024;
  uint16_t* groupProbs_;  // 2 x 4096
  uint16_t* zeroProbs_;   // 2 x 65536
  uint16_t* treeProbs_;   // 2 x 1024 x 1024
  uint16_t* escape17_;    // 2^17
  uint16_t* escape16_;    // 2^16
  SymbolTree tree_;
};

class Compressor : public CompressorInterface, private EntropyCoder {
 public:
  // Writes "Cmpr" and the weights (null: all 0) on channel 0; clears
  // `symbolCounts` (when given), which then counts min(v - 1, 255) of every
  // non-zero value coded.
  Compressor(ChannelCallback* callback, const uint64_t* frequencies, uint64_t* symbolCounts,
             CompressionStats* stats);
  // Flushes the coder.
  ~Compressor() override;

  void compress(const uint32_t* residuals, int count, int mode) override;

 private:
  RangeEncoderState coder_;
  RangeRowModels models_;
};

class Decompressor : public DecompressorInterface, private EntropyCoder {
 public:
  // Reads and checks the header; a header that is not "Cmpr" is the error
  // "compressor wrong id" (recorded or fatal, see DecompressorInterface).
  Decompressor(ChannelCallback* callback, bool reportErrors);
  ~Decompressor() override;

  int decompress(uint32_t* out, const uint32_t* previous, int count) override;
  int decompress16(uint16_t* out, const uint16_t* previous, int count) override;
  bool isDirect() const override { return true; }

 private:
  unsigned DecodeBit(uint16_t& p);
  uint32_t DecodeBitTree(uint16_t* probs, int nbBits);
  uint32_t DecodeValue(int mode, int& symbolContext);
  uint8_t NextByte();
  bool ReadExact(uint8_t* data, int length);
  int DecodeCodes(uint32_t* codes, int count);
  void Damaged(const char* text);

  ChannelCallback* callback_;
  uint32_t code_ = 0;
  uint32_t range_ = 0xFFFFFFFFu;
  bool damaged_ = false;
  uint32_t inPosition_ = 0;
  uint32_t inLength_ = 0;
  uint8_t in_[4096];
};

Compressor* CreateCompressorObject(ChannelCallback* callback, const uint64_t* frequencies, uint64_t* symbolCounts,
                                   CompressionStats* stats);
Decompressor* CreateDecompressorObject(ChannelCallback* callback, bool reportErrors);

// The context-modelled channel codec (codec id 2), the form of all newly
// written data. Each row goes out as:
//   channel 0        one mode byte per row;
//   channel 1        one occupancy byte per group of up to 8 values (bit j
//                    set when value j of the group is non-zero);
//   channel 2 + k    one byte per non-zero value, s = value - 1 when s < 255,
//                    else the escape mark 255; k is the context, 0 at the
//                    start of a row and min(s, 15) after each non-zero value;
//   channels 18, 19  low and high byte of an escaped s below 65535, else 255
//                    and 255;
//   channels 20..23  the four bytes of s when s >= 65535.
// A row of 0 values is its mode byte alone, for writer and reader alike.
// Each channel collects its bytes in a 64 KiB buffer; a full buffer (and the
// rest at the end) becomes one block {raw length L (u32), coded length E
// (i32), payload}: the FSE-coded bytes when E > 1, the one byte repeated L
// times when E = 1, the L raw bytes when E <= 0. Every block of a channel but
// its last carries exactly 65536 bytes.
#pragma once

#include <cstdint>

#include "codecs/codec.h"

constexpr uint32_t kFseChannelBlock = 65536;

// One byte channel of a codec object. Writing: `count` bytes wait in the
// buffer. Reading: `count` is the read position in the loaded block, `limit`
// the block's raw length (65536 while no block is loaded or the loaded one
// is full, so that the next read loads the next block).
struct FSEChannel {
  uint32_t count = 0;
  uint32_t limit = kFseChannelBlock;
  uint8_t* buffer = nullptr;
  int32_t channel = 0;
};

// The writer's channels and their buffers. A channel's buffer that fills is
// coded and sent as one block by FlushFseChannel.
struct FseWriterState {
  ChannelCallback* callback = nullptr;
  CompressionStats* stats = nullptr;
  FSEChannel channels[kCodecChannels];
  uint8_t* memory = nullptr;   // the 24 buffers
  uint8_t* scratch = nullptr;  // one coded block
};
// Codes the bytes a channel holds as one block on its channel and empties it.
void FlushFseChannel(FseWriterState& state, FSEChannel& channel);

class FSECompressor : public CompressorInterface {
 public:
  FSECompressor(ChannelCallback* callback, CompressionStats* stats);
  // Writes the last block of every channel that still holds bytes, channels
  // 0 to 23 in order.
  ~FSECompressor() override;
  FSECompressor(const FSECompressor&) = delete;
  FSECompressor& operator=(const FSECompressor&) = delete;

  void compress(const uint32_t* codes, int count, int mode) override;

 private:
  FseWriterState state_;
};

class FSEDecompressor : public DecompressorInterface {
 public:
  explicit FSEDecompressor(ChannelCallback* callback);
  ~FSEDecompressor() override;
  FSEDecompressor(const FSEDecompressor&) = delete;
  FSEDecompressor& operator=(const FSEDecompressor&) = delete;

  int decompress(uint32_t* out, const uint32_t* previous, int count) override;
  int decompress16(uint16_t* out, const uint16_t* previous, int count) override;
  bool isDirect() const override { return true; }

 private:
  uint8_t ReadByte(int channel) {
    FSEChannel& c = channels_[channel];
    if (__builtin_expect(c.count >= c.limit, 0) && !LoadBlock(c)) return 0;
    return c.buffer[c.count++];
  }
  bool LoadBlock(FSEChannel& channel);
  // Reads one row's residual codes; returns its mode.
  int DecodeCodes(uint32_t* codes, int count);
  void Damaged();

  ChannelCallback* callback_;
  FSEChannel channels_[kCodecChannels];
  uint8_t* memory_;
  uint8_t* scratch_;
  bool damaged_ = false;
};

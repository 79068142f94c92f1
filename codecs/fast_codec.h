// The packing codec (codec id 1): no entropy coding. Per row, on channel 1
// (bits, least significant first) the mode bit, then per group of up to 8
// residuals a bit that is 0 for an all-zero group, else per residual a bit
// that is 1 for a non-zero one, followed by its value code w = residual - 1:
// nibble w (w < 15, channel 2); nibble 15 and byte w (w < 255, channel 0);
// nibble 15, byte 255 and u16 w (w < 65535); nibble 15, byte 255, u16 65535
// and u32 w. Each channel goes out in blocks of exactly 256 bytes. A row of
// 0 values is its mode bit alone, for writer and reader alike.
#pragma once

#include <cstdint>

#include "codecs/codec.h"

// The writer's three block buffers: bits (channel 1, 2048 to a block),
// nibbles (channel 2, 512) and bytes (channel 0, 256). A buffer that fills
// is sent at once, zeroed and started again.
struct FastPackState {
  ChannelCallback* callback = nullptr;
  uint32_t bitPosition = 0;
  uint8_t bits[256] = {};
  uint32_t nibblePosition = 0;
  uint8_t nibbles[256] = {};
  uint32_t bytePosition = 0;
  uint8_t bytes[256] = {};
  CompressionStats* stats = nullptr;
};

class FastCompressor : public CompressorInterface {
 public:
  FastCompressor(ChannelCallback* callback, CompressionStats* stats);
  // Writes each partly filled buffer as a 256-byte block: channel 1, then 2,
  // then 0.
  ~FastCompressor() override;
  FastCompressor(const FastCompressor&) = delete;
  FastCompressor& operator=(const FastCompressor&) = delete;

  void compress(const uint32_t* residuals, int count, int mode) override;

 private:
  void Send(int channel, uint8_t* block);

  FastPackState state_;
};

class FastDecompressor : public DecompressorInterface {
 public:
  explicit FastDecompressor(ChannelCallback* callback);
  ~FastDecompressor() override;
  FastDecompressor(const FastDecompressor&) = delete;
  FastDecompressor& operator=(const FastDecompressor&) = delete;

  int decompress(uint32_t* out, const uint32_t* previous, int count) override;
  int decompress16(uint16_t* out, const uint16_t* previous, int count) override;
  bool isDirect() const override { return true; }

 private:
  unsigned GetBit();
  unsigned GetNibble();
  unsigned GetByte();
  bool Refill(int channel, uint8_t* block);
  int DecodeCodes(uint32_t* codes, int count);

  ChannelCallback* callback_;
  uint32_t bitPosition_ = 2048;
  uint8_t bits_[256] = {};
  uint32_t nibblePosition_ = 512;
  uint8_t nibbles_[256] = {};
  uint32_t bytePosition_ = 256;
  uint8_t bytes_[256] = {};
  bool damaged_ = false;
};

FastCompressor* CreateFastCompressor(ChannelCallback* callback, CompressionStats* stats);
FastDecompressor* CreateFastDecompressor(ChannelCallback* callback);

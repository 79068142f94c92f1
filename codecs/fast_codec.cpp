#include "codecs/fast_codec.h"

#include <cstring>

#include "codecs/fast_codec_variants.h"
#include "core/cpu_info.h"
#include "core/output.h"

FastCompressor* CreateFastCompressor(ChannelCallback* callback, CompressionStats* stats) {
  return new FastCompressor(callback, stats);
}

FastDecompressor* CreateFastDecompressor(ChannelCallback* callback) { return new FastDecompressor(callback); }

// --- Writer ----------------------------------------------------------------

FastCompressor::FastCompressor(ChannelCallback* callback, CompressionStats* stats) {
  state_.callback = callback;
  state_.stats = stats;
}

FastCompressor::~FastCompressor() {
  if (state_.bitPosition > 0) Send(1, state_.bits);
  if (state_.nibblePosition > 0) Send(2, state_.nibbles);
  if (state_.bytePosition > 0) Send(0, state_.bytes);
  delete state_.callback;
}

void FastCompressor::Send(int channel, uint8_t* block) {
  state_.callback->function(state_.callback->context, channel, block, 256);
  std::memset(block, 0, 256);
}

void FastCompressor::compress(const uint32_t* residuals, int count, int mode) {
  if (UseAvx2FmaKernels())
    kernels_avx2::FastCompressRow(state_, residuals, count, mode);
  else
    kernels_avx::FastCompressRow(state_, residuals, count, mode);
}

// --- Reader ----------------------------------------------------------------

FastDecompressor::FastDecompressor(ChannelCallback* callback) : callback_(callback) {}

FastDecompressor::~FastDecompressor() { delete callback_; }

bool FastDecompressor::Refill(int channel, uint8_t* block) {
  if (!damaged_ && callback_->function(callback_->context, channel, block, 256) == 256) return true;
  // The channel ran out: the rest of the pass reads zeros.
  std::memset(block, 0, 256);
  if (!damaged_) {
    damaged_ = true;
    RaiseError("fse error");
  }
  return false;
}

unsigned FastDecompressor::GetBit() {
  if (bitPosition_ >= 2048) {
    Refill(1, bits_);
    bitPosition_ = 0;
  }
  const unsigned bit = (bits_[bitPosition_ >> 3] >> (bitPosition_ & 7)) & 1;
  ++bitPosition_;
  return bit;
}

unsigned FastDecompressor::GetNibble() {
  if (nibblePosition_ >= 512) {
    Refill(2, nibbles_);
    nibblePosition_ = 0;
  }
  const unsigned nibble = (nibbles_[nibblePosition_ >> 1] >> ((nibblePosition_ & 1) * 4)) & 15;
  ++nibblePosition_;
  return nibble;
}

unsigned FastDecompressor::GetByte() {
  if (bytePosition_ >= 256) {
    Refill(0, bytes_);
    bytePosition_ = 0;
  }
  return bytes_[bytePosition_++];
}

int FastDecompressor::DecodeCodes(uint32_t* codes, int count) {
  const int mode = static_cast<int>(GetBit());
  for (int g = 0; g < count; g += 8) {
    const int width = count - g < 8 ? count - g : 8;
    if (!GetBit()) {
      std::memset(codes + g, 0, sizeof(uint32_t) * static_cast<size_t>(width));
      continue;
    }
    for (int j = 0; j < width; ++j) {
      if (!GetBit()) {
        codes[g + j] = 0;
        continue;
      }
      uint32_t w = GetNibble();
      if (w == 15) {
        w = GetByte();
        if (w == 255) {
          w = GetByte();
          w |= GetByte() << 8;
          if (w == 65535) {
            w = 0;
            for (int b = 0; b < 4; ++b) w |= static_cast<uint32_t>(GetByte()) << (8 * b);
          }
        }
      }
      codes[g + j] = w + 1;
    }
  }
  return mode;
}

int FastDecompressor::decompress(uint32_t* out, const uint32_t* previous, int count) {
  return DecodeRowWith(out, previous, count, damaged_, [&](uint32_t* codes) { return DecodeCodes(codes, count); });
}

int FastDecompressor::decompress16(uint16_t* out, const uint16_t* previous, int count) {
  return DecodeRowWith(out, previous, count, damaged_, [&](uint32_t* codes) { return DecodeCodes(codes, count); });
}

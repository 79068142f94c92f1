#include "codecs/fast_codec.h"

#include <cstring>

#include "core/output.h"

FastCompressor* CreateFastCompressor(ChannelCallback* callback, CompressionStats* stats) {
  return new FastCompressor(callback, stats);
}

FastDecompressor* CreateFastDecompressor(ChannelCallback* callback) { return new FastDecompressor(callback); }

// --- Writer ----------------------------------------------------------------

FastCompressor::FastCompressor(ChannelCallback* callback, CompressionStats* stats)
    : callback_(callback), stats_(stats) {}

FastCompressor::~FastCompressor() {
  if (bitPosition_ > 0) Send(1, bits_);
  if (nibblePosition_ > 0) Send(2, nibbles_);
  if (bytePosition_ > 0) Send(0, bytes_);
  delete callback_;
}

void FastCompressor::Send(int channel, uint8_t* block) {
  callback_->function(callback_->context, channel, block, 256);
  std::memset(block, 0, 256);
}

void FastCompressor::PutBit(unsigned bit) {
  bits_[bitPosition_ >> 3] |= static_cast<uint8_t>(bit << (bitPosition_ & 7));
  if (++bitPosition_ == 2048) {
    Send(1, bits_);
    bitPosition_ = 0;
  }
}

void FastCompressor::PutNibble(unsigned nibble) {
  nibbles_[nibblePosition_ >> 1] |= static_cast<uint8_t>(nibble << ((nibblePosition_ & 1) * 4));
  if (++nibblePosition_ == 512) {
    Send(2, nibbles_);
    nibblePosition_ = 0;
  }
}

void FastCompressor::PutByte(unsigned byte) {
  bytes_[bytePosition_] = static_cast<uint8_t>(byte);
  if (++bytePosition_ == 256) {
    Send(0, bytes_);
    bytePosition_ = 0;
  }
}

void FastCompressor::PutValue(uint32_t w) {
  if (w < 15) {
    PutNibble(w);
    return;
  }
  PutNibble(15);
  if (w < 255) {
    PutByte(w);
    return;
  }
  PutByte(255);
  if (static_cast<int32_t>(w) > stats_->largestEscaped) stats_->largestEscaped = static_cast<int32_t>(w);
  const uint32_t u16 = w < 65535 ? w : 65535;
  PutByte(u16 & 0xFF);
  PutByte(u16 >> 8);
  if (w >= 65535)
    for (int b = 0; b < 4; ++b) PutByte((w >> (8 * b)) & 0xFF);
}

void FastCompressor::compress(const uint32_t* residuals, int count, int mode) {
  PutBit(mode != 0);
  for (int g = 0; g < count; g += 8) {
    const int width = count - g < 8 ? count - g : 8;
    uint32_t any = 0;
    for (int j = 0; j < width; ++j) any |= residuals[g + j];
    PutBit(any != 0);
    if (any == 0) continue;
    for (int j = 0; j < width; ++j) {
      const uint32_t z = residuals[g + j];
      PutBit(z != 0);
      if (z != 0) PutValue(z - 1);
    }
  }
  stats_->rows += 1;
  stats_->rawBytes += 4 * static_cast<uint64_t>(count > 0 ? count : 0);
  if (mode != 0) stats_->rowsInMode1 += 1;
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

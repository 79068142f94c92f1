#include "codecs/fse_codec.h"

#include <cstring>
#include <new>

#include "codecs/fse.h"
#include "codecs/fse_variants.h"
#include "core/cpu_info.h"
#include "core/output.h"

namespace {

constexpr size_t kScratchBytes = FSE_compressBound(kFseChannelBlock);

void PutLe32(uint8_t* p, uint32_t v) {
  for (int k = 0; k < 4; ++k) p[k] = static_cast<uint8_t>(v >> (8 * k));
}

uint32_t GetLe32(const uint8_t* p) {
  return p[0] | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// Calls the channel function with a length checked against its 32-bit field.
int Transfer(const ChannelCallback* callback, int channel, uint8_t* data, size_t length) {
  if (length > 0x7FFFFFFF) Fail();
  if (length == 0) return 0;
  return callback->function(callback->context, channel, data, static_cast<int>(length));
}

inline int NextContext(uint32_t symbol) { return symbol < 15 ? static_cast<int>(symbol) : 15; }

// Channels 1 (occupancy) to 17 (the last context's symbols).
constexpr int kSymbolChannelEnd = 18;

}  // namespace

// --- Writer ----------------------------------------------------------------

FSECompressor::FSECompressor(ChannelCallback* callback, CompressionStats* stats) {
  state_.memory = new uint8_t[kCodecChannels * static_cast<size_t>(kFseChannelBlock)];
  try {
    state_.scratch = new uint8_t[kScratchBytes];
  } catch (...) {
    delete[] state_.memory;
    throw;
  }
  state_.callback = callback;
  state_.stats = stats;
  for (int c = 0; c < kCodecChannels; ++c) {
    state_.channels[c].count = 0;
    state_.channels[c].buffer = state_.memory + static_cast<size_t>(c) * kFseChannelBlock;
    state_.channels[c].channel = c;
  }
}

FSECompressor::~FSECompressor() {
  for (FSEChannel& c : state_.channels)
    if (c.count > 0) FlushFseChannel(state_, c);
  delete state_.callback;
  delete[] state_.scratch;
  delete[] state_.memory;
}

void FlushFseChannel(FseWriterState& state, FSEChannel& channel) {
  const size_t n = channel.count;
  if (n > kFseChannelBlock) Fail();
  const size_t r = FSE_compress(state.scratch, kScratchBytes, channel.buffer, n);
  uint8_t header[8];
  PutLe32(header, static_cast<uint32_t>(n));
  PutLe32(header + 4, static_cast<uint32_t>(r));
  Transfer(state.callback, channel.channel, header, 8);
  const int32_t coded = static_cast<int32_t>(static_cast<uint32_t>(r));
  if (coded > 1)
    Transfer(state.callback, channel.channel, state.scratch, static_cast<size_t>(coded));
  else if (coded == 1)
    Transfer(state.callback, channel.channel, channel.buffer, 1);
  else
    Transfer(state.callback, channel.channel, channel.buffer, n);
  channel.count = 0;
}

void FSECompressor::compress(const uint32_t* codes, int count, int mode) {
  if (UseAvx2FmaKernels())
    kernels_avx2::FseCompressRow(state_, codes, count, mode);
  else
    kernels_avx::FseCompressRow(state_, codes, count, mode);
}

// --- Reader ----------------------------------------------------------------

FSEDecompressor::FSEDecompressor(ChannelCallback* callback) : callback_(callback) {
  memory_ = new uint8_t[kCodecChannels * static_cast<size_t>(kFseChannelBlock)];
  try {
    scratch_ = new uint8_t[kScratchBytes];
  } catch (...) {
    delete[] memory_;
    throw;
  }
  for (int c = 0; c < kCodecChannels; ++c) {
    channels_[c].count = kFseChannelBlock;
    channels_[c].limit = kFseChannelBlock;
    channels_[c].buffer = memory_ + static_cast<size_t>(c) * kFseChannelBlock;
    channels_[c].channel = c;
  }
}

FSEDecompressor::~FSEDecompressor() {
  delete callback_;
  delete[] scratch_;
  delete[] memory_;
}

void FSEDecompressor::Damaged() {
  // From here on every read gives 0 without touching a channel.
  damaged_ = true;
  for (FSEChannel& c : channels_) c.count = c.limit = 0;
  RaiseError("fse error");
}

bool FSEDecompressor::LoadBlock(FSEChannel& channel) {
  if (damaged_) return false;
  // A block shorter than 65536 bytes is a channel's last: reading past it
  // means the channel ran out.
  if (channel.limit < kFseChannelBlock) {
    Damaged();
    return false;
  }
  uint8_t header[8];
  if (Transfer(callback_, channel.channel, header, 8) != 8) {
    Damaged();
    return false;
  }
  const uint32_t rawLength = GetLe32(header);
  const int32_t coded = static_cast<int32_t>(GetLe32(header + 4));
  if (rawLength == 0 || rawLength > kFseChannelBlock) {
    Damaged();
    return false;
  }
  if (coded > 1) {
    const size_t size = static_cast<size_t>(coded);
    if (size > kScratchBytes || Transfer(callback_, channel.channel, scratch_, size) != coded) {
      Damaged();
      return false;
    }
    const size_t r = FSE_decompress(channel.buffer, rawLength, scratch_, size);
    if (FSE_isError(r) || r != rawLength) {
      Damaged();
      return false;
    }
  } else if (coded == 1) {
    if (Transfer(callback_, channel.channel, channel.buffer, 1) != 1) {
      Damaged();
      return false;
    }
    std::memset(channel.buffer + 1, channel.buffer[0], rawLength - 1);
  } else if (Transfer(callback_, channel.channel, channel.buffer, rawLength) != static_cast<int>(rawLength)) {
    Damaged();
    return false;
  }
  channel.count = 0;
  channel.limit = rawLength;
  return true;
}

int FSEDecompressor::DecodeCodes(uint32_t* codes, int count) {
  const int mode = ReadByte(0);
  if (count <= 0) return mode;
  // The occupancy channel and the 16 symbol channels are read through local
  // read positions within their loaded blocks: each symbol chooses the next
  // symbol's channel, so the read of a byte waits on the one before, and a
  // position kept here is one load in that chain where the channel record
  // costs two. A position at its block's end takes the channel's own reader
  // (which loads the next block) and is set again from the record after it.
  const uint8_t* at[kSymbolChannelEnd];
  const uint8_t* end[kSymbolChannelEnd];
  for (int k = 1; k < kSymbolChannelEnd; ++k) {
    const FSEChannel& c = channels_[k];
    at[k] = c.buffer + c.count;
    end[k] = c.buffer + (c.count < c.limit ? c.limit : c.count);
  }
  const auto next = [&](int k) -> uint32_t {
    if (__builtin_expect(at[k] < end[k], 1)) return *at[k]++;
    FSEChannel& c = channels_[k];
    c.count = static_cast<uint32_t>(at[k] - c.buffer);
    const uint32_t byte = ReadByte(k);
    at[k] = c.buffer + c.count;
    end[k] = c.buffer + (c.count < c.limit ? c.limit : c.count);
    return byte;
  };
  int context = 0;
  for (int g = 0; g < count; g += 8) {
    const unsigned occupancy = next(1);
    // The codes buffer holds a whole last group: eight codes are cleared in
    // one fixed-size store.
    std::memset(codes + g, 0, 8 * sizeof(uint32_t));
    if (occupancy == 0) continue;
    const int width = count - g < 8 ? count - g : 8;
    if (occupancy >> width) {
      // Bits beyond the group's size are never written.
      Damaged();
      break;
    }
    // Only the non-zero values read a symbol, lowest bit first.
    for (unsigned bits = occupancy; bits != 0; bits &= bits - 1) {
      uint32_t symbol = next(2 + context);
      if (symbol < 255) {
        context = NextContext(symbol);
      } else {
        context = 15;
        symbol = ReadByte(18);
        symbol |= static_cast<uint32_t>(ReadByte(19)) << 8;
        if (symbol == 65535) {
          symbol = 0;
          for (int b = 0; b < 4; ++b) symbol |= static_cast<uint32_t>(ReadByte(20 + b)) << (8 * b);
        }
      }
      codes[g + __builtin_ctz(bits)] = symbol + 1;
    }
  }
  // A damaged stream keeps every channel emptied (every later read gives 0).
  if (!damaged_)
    for (int k = 1; k < kSymbolChannelEnd; ++k) channels_[k].count = static_cast<uint32_t>(at[k] - channels_[k].buffer);
  return mode;
}

int FSEDecompressor::decompress(uint32_t* out, const uint32_t* previous, int count) {
  return DecodeRowWith(out, previous, count, damaged_, [&](uint32_t* codes) { return damaged_ ? 0 : DecodeCodes(codes, count); });
}

int FSEDecompressor::decompress16(uint16_t* out, const uint16_t* previous, int count) {
  return DecodeRowWith(out, previous, count, damaged_, [&](uint32_t* codes) { return damaged_ ? 0 : DecodeCodes(codes, count); });
}

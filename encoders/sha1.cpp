#include "encoders/sha1.h"

#include <cstring>
#include <fstream>

#include "core/cpu_info.h"
#include "encoders/sha1_variants.h"

namespace {

constexpr uint32_t kInitialHash[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};

// The block compression of the variant the processor runs.
void CompressBlocks(uint32_t h[5], const uint8_t* data, size_t blocks) {
  if (UseAvx2FmaKernels()) {
    kernels_avx2::Sha1Compress(h, data, blocks);
  } else {
    kernels_avx::Sha1Compress(h, data, blocks);
  }
}

}  // namespace

Sha1::Sha1() { Reset(); }

void Sha1::Reset() {
  std::memcpy(h_, kInitialHash, sizeof h_);
  bufferLength_ = 0;
  blockCount_ = 0;
}

void Sha1::Absorb(const uint8_t* data, size_t length) {
  if (bufferLength_ > 0) {
    const size_t take = length < 64 - bufferLength_ ? length : 64 - bufferLength_;
    std::memcpy(buffer_ + bufferLength_, data, take);
    bufferLength_ += take;
    data += take;
    length -= take;
    if (bufferLength_ < 64) return;
    CompressBlocks(h_, buffer_, 1);
    ++blockCount_;
    bufferLength_ = 0;
  }
  // Whole blocks straight from the caller's bytes, the rest kept.
  const size_t blocks = length / 64;
  CompressBlocks(h_, data, blocks);
  blockCount_ += blocks;
  bufferLength_ = length - 64 * blocks;
  std::memcpy(buffer_, data + 64 * blocks, bufferLength_);
}

void Sha1::update(const std::string& text) {
  Absorb(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

void Sha1::update(std::istream& input) {
  char chunk[1 << 14];
  while (input.good()) {
    input.read(chunk, sizeof chunk);
    const std::streamsize got = input.gcount();
    if (got > 0) Absorb(reinterpret_cast<const uint8_t*>(chunk), static_cast<size_t>(got));
  }
}

std::string Sha1::final() {
  if (UseAvx2FmaKernels()) {
    kernels_avx2::Sha1Finish(h_, buffer_, bufferLength_, blockCount_);
  } else {
    kernels_avx::Sha1Finish(h_, buffer_, bufferLength_, blockCount_);
  }
  static const char kHex[] = "0123456789abcdef";
  std::string text(40, '0');
  for (int i = 0; i < 5; ++i)
    for (int j = 0; j < 8; ++j) text[8 * i + j] = kHex[(h_[i] >> (28 - 4 * j)) & 0xF];
  Reset();
  return text;
}

std::string Sha1::from_file(const std::string& fileName) {
  std::ifstream input(fileName, std::ios::in | std::ios::binary);
  if (!input.is_open()) return std::string();
  Sha1 digest;
  digest.update(input);
  // End of input sets eofbit and failbit; a failed read (an I/O error, a
  // directory) sets badbit.
  if (input.bad() || !input.eof()) return std::string();
  return digest.final();
}

#include "encoders/sha1.h"

#include <cstring>
#include <fstream>

namespace {

constexpr uint32_t kInitialHash[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t LoadBigEndian(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// One round in place: the caller rotates the roles of a..e from round to
// round instead of moving the values, so a round is e += ...; b = rotl(b, 30).
#define SHA1_ROUND(a, b, c, d, e, f, k, x) \
  do {                                      \
    e += Rotl(a, 5) + (f) + (k) + (x);      \
    b = Rotl(b, 30);                        \
  } while (0)

#define SHA1_CH(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define SHA1_PARITY(b, c, d) ((b) ^ (c) ^ (d))
#define SHA1_MAJ(b, c, d) (((b) & (c)) | ((d) & ((b) | (c))))

// Message words 16..79 computed on the fly in a ring of sixteen.
#define SHA1_W(t) (w[(t)&15] = Rotl(w[((t) + 13) & 15] ^ w[((t) + 8) & 15] ^ w[((t) + 2) & 15] ^ w[(t)&15], 1))

// Five rounds with the roles rotated back to where they started.
#define SHA1_FIVE(F, k, X, t)                           \
  SHA1_ROUND(a, b, c, d, e, F(b, c, d), k, X((t) + 0)); \
  SHA1_ROUND(e, a, b, c, d, F(a, b, c), k, X((t) + 1)); \
  SHA1_ROUND(d, e, a, b, c, F(e, a, b), k, X((t) + 2)); \
  SHA1_ROUND(c, d, e, a, b, F(d, e, a), k, X((t) + 3)); \
  SHA1_ROUND(b, c, d, e, a, F(c, d, e), k, X((t) + 4))

#define SHA1_W0(t) w[t]

// The compression function over `blocks` consecutive 64-byte blocks.
void CompressBlocks(uint32_t h[5], const uint8_t* data, size_t blocks) {
  constexpr uint32_t k0 = 0x5A827999u, k1 = 0x6ED9EBA1u, k2 = 0x8F1BBCDCu, k3 = 0xCA62C1D6u;
  for (; blocks > 0; --blocks, data += 64) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = LoadBigEndian(data + 4 * i);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    SHA1_FIVE(SHA1_CH, k0, SHA1_W0, 0);
    SHA1_FIVE(SHA1_CH, k0, SHA1_W0, 5);
    SHA1_FIVE(SHA1_CH, k0, SHA1_W0, 10);
    SHA1_ROUND(a, b, c, d, e, SHA1_CH(b, c, d), k0, w[15]);
    SHA1_ROUND(e, a, b, c, d, SHA1_CH(a, b, c), k0, SHA1_W(16));
    SHA1_ROUND(d, e, a, b, c, SHA1_CH(e, a, b), k0, SHA1_W(17));
    SHA1_ROUND(c, d, e, a, b, SHA1_CH(d, e, a), k0, SHA1_W(18));
    SHA1_ROUND(b, c, d, e, a, SHA1_CH(c, d, e), k0, SHA1_W(19));
    SHA1_FIVE(SHA1_PARITY, k1, SHA1_W, 20);
    SHA1_FIVE(SHA1_PARITY, k1, SHA1_W, 25);
    SHA1_FIVE(SHA1_PARITY, k1, SHA1_W, 30);
    SHA1_FIVE(SHA1_PARITY, k1, SHA1_W, 35);
    SHA1_FIVE(SHA1_MAJ, k2, SHA1_W, 40);
    SHA1_FIVE(SHA1_MAJ, k2, SHA1_W, 45);
    SHA1_FIVE(SHA1_MAJ, k2, SHA1_W, 50);
    SHA1_FIVE(SHA1_MAJ, k2, SHA1_W, 55);
    SHA1_FIVE(SHA1_PARITY, k3, SHA1_W, 60);
    SHA1_FIVE(SHA1_PARITY, k3, SHA1_W, 65);
    SHA1_FIVE(SHA1_PARITY, k3, SHA1_W, 70);
    SHA1_FIVE(SHA1_PARITY, k3, SHA1_W, 75);
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
  }
}

#undef SHA1_W0
#undef SHA1_FIVE
#undef SHA1_W
#undef SHA1_MAJ
#undef SHA1_PARITY
#undef SHA1_CH
#undef SHA1_ROUND

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
  const uint64_t totalBits = (blockCount_ * 64 + bufferLength_) * 8;
  buffer_[bufferLength_] = 0x80;
  std::memset(buffer_ + bufferLength_ + 1, 0, 63 - bufferLength_);
  // The length takes the last 8 bytes; with 56 or more message bytes pending
  // there is no room for it after the 0x80 byte, so a further block follows.
  if (bufferLength_ + 1 > 56) {
    CompressBlocks(h_, buffer_, 1);
    std::memset(buffer_, 0, 56);
  }
  for (int i = 0; i < 8; ++i) buffer_[56 + i] = static_cast<uint8_t>(totalBits >> (56 - 8 * i));
  CompressBlocks(h_, buffer_, 1);

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

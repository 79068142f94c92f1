#include "encoders/gif_writer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "core/cpu_info.h"
#include "encoders/gif_kernels_variants.h"

namespace {

// Index of the transparent colour: unchanged pixels and no palette colour.
constexpr uint8_t kTransparentIndex = 0;

// LZW codes packed least significant bit first into data sub-blocks of up
// to 255 bytes.
class CodeWriter {
 public:
  explicit CodeWriter(FILE* file) : file_(file) {}

  void Put(uint32_t code, int bits) {
    pending_ |= uint64_t(code) << pendingBits_;
    pendingBits_ += bits;
    while (pendingBits_ >= 8) {
      AppendByte(static_cast<uint8_t>(pending_));
      pending_ >>= 8;
      pendingBits_ -= 8;
    }
  }

  // Completes the last byte with zero bits, writes what remains and the
  // block terminator.
  void Finish() {
    if (pendingBits_ > 0) AppendByte(static_cast<uint8_t>(pending_));
    pending_ = 0;
    pendingBits_ = 0;
    if (fill_ > 0) WriteBlock();
    std::fputc(0, file_);
  }

 private:
  void AppendByte(uint8_t byte) {
    block_[1 + fill_++] = byte;
    if (fill_ == 255) WriteBlock();
  }
  void WriteBlock() {
    block_[0] = static_cast<uint8_t>(fill_);
    std::fwrite(block_, 1, size_t(fill_) + 1, file_);
    fill_ = 0;
  }

  FILE* file_;
  uint64_t pending_ = 0;
  int pendingBits_ = 0;
  int fill_ = 0;
  uint8_t block_[256];
};

constexpr uint32_t kLzwMaxCode = 4095;

// The LZW dictionary: the code of each (code, next index) pair entered since
// the last restart. An open-addressing hash table of 8192 slots, at most
// half full (fewer than 4096 entries between restarts), so that it stays in
// the first-level cache; a slot holds the pair in its upper 20 bits and the
// code (never 0) in its low 12.
class LzwDictionary {
 public:
  LzwDictionary() { std::memset(slots_, 0, sizeof slots_); }

  // The code of the pair, or 0 when it is not entered.
  uint32_t Find(uint32_t code, uint32_t index) const {
    const uint32_t key = (code << 8) | index;
    for (uint32_t slot = Hash(key);; slot = (slot + 1) & kMask) {
      const uint32_t entry = slots_[slot];
      if (entry == 0) return 0;
      if (entry >> 12 == key) return entry & 0xFFF;
    }
  }

  void Enter(uint32_t code, uint32_t index, uint32_t newCode) {
    const uint32_t key = (code << 8) | index;
    uint32_t slot = Hash(key);
    while (slots_[slot] != 0) slot = (slot + 1) & kMask;
    slots_[slot] = (key << 12) | newCode;
    used_[usedCount_++] = static_cast<uint16_t>(slot);
  }

  // Empties the slots entered since the last restart.
  void Restart() {
    for (uint32_t k = 0; k < usedCount_; ++k) slots_[used_[k]] = 0;
    usedCount_ = 0;
  }

 private:
  static constexpr uint32_t kBits = 13;
  static constexpr uint32_t kMask = (1u << kBits) - 1;
  static uint32_t Hash(uint32_t key) { return (key * 2654435761u) >> (32 - kBits); }

  uint32_t slots_[1u << kBits];
  uint16_t used_[kLzwMaxCode + 1];
  uint32_t usedCount_ = 0;
};

// LZW-codes the index bytes (the fourth byte of each pixel). The dictionary
// restarts with a clear code once code 4095 has been entered.
void WriteLzw(FILE* file, const uint8_t* frame, size_t pixelCount, int32_t minimumCodeSize,
              LzwDictionary& dictionary) {
  CodeWriter writer(file);
  const uint32_t clearCode = 1u << minimumCodeSize;
  const uint32_t endCode = clearCode + 1;
  int codeSize = minimumCodeSize + 1;
  uint32_t lastCode = clearCode + 1;

  writer.Put(clearCode, codeSize);
  int32_t current = -1;
  for (size_t i = 0; i < pixelCount; ++i) {
    const uint8_t v = frame[4 * i + 3];
    if (current < 0) {
      current = v;
      continue;
    }
    const uint32_t found = dictionary.Find(uint32_t(current), v);
    if (found != 0) {
      current = static_cast<int32_t>(found);
      continue;
    }
    writer.Put(uint32_t(current), codeSize);
    ++lastCode;
    dictionary.Enter(uint32_t(current), v, lastCode);
    if (lastCode >= (1u << codeSize)) ++codeSize;
    if (lastCode == kLzwMaxCode) {
      writer.Put(clearCode, codeSize);
      dictionary.Restart();
      codeSize = minimumCodeSize + 1;
      lastCode = clearCode + 1;
    }
    current = v;
  }
  writer.Put(uint32_t(current), codeSize);
  writer.Put(clearCode, codeSize);
  writer.Put(endCode, minimumCodeSize + 1);
  writer.Finish();
}

inline void PutLittle16(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value & 0xFF);
  out[1] = static_cast<uint8_t>((value >> 8) & 0xFF);
}

// Graphic control extension, image descriptor, local colour table and the
// LZW-coded indices of the frame buffer.
void WriteFrameBlocks(GifWriterState& writer, uint16_t delay, const GifPaletteTree& tree, LzwDictionary& dictionary) {
  uint8_t head[8 + 10 + 3 * 256 + 1];
  size_t n = 0;
  head[n++] = 0x21;  // extension
  head[n++] = 0xF9;  // graphic control
  head[n++] = 0x04;  // block size
  head[n++] = 0x05;  // leave in place; transparent colour present
  PutLittle16(head + n, delay);
  n += 2;
  head[n++] = kTransparentIndex;
  head[n++] = 0;  // block terminator

  head[n++] = 0x2C;  // image descriptor
  PutLittle16(head + n, 0);  // left
  PutLittle16(head + n + 2, 0);  // top
  PutLittle16(head + n + 4, writer.width);
  PutLittle16(head + n + 6, writer.height);
  n += 8;
  head[n++] = static_cast<uint8_t>(0x80 + tree.bitDepth - 1);  // local colour table of 2^bitDepth entries
  head[n++] = 0;
  head[n++] = 0;
  head[n++] = 0;
  for (int i = 1; i < (1 << tree.bitDepth); ++i) {
    head[n++] = tree.red[i];
    head[n++] = tree.green[i];
    head[n++] = tree.blue[i];
  }
  // LZW minimum code size: the bit depth, but at least 2, the least a GIF
  // allows (decoders reject 1).
  const int32_t minimumCodeSize = std::max(tree.bitDepth, 2);
  head[n++] = static_cast<uint8_t>(minimumCodeSize);
  std::fwrite(head, 1, n, writer.file);
  WriteLzw(writer.file, writer.frame, size_t(writer.width) * writer.height, minimumCodeSize, dictionary);
}

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

// Room for the colour mapping's lists per frame: several times what a
// megapixel frame of noise uses, dithered at 8 bits (cells met beyond it use
// the tree search, with the same result). Kept small, as the space is taken
// for every frame.
constexpr uint32_t kMapperCoarseIndices = 1u << 16;
constexpr uint32_t kMapperGroups = 1u << 14;

// The mapping's working space, owned for one frame.
class MapperSpace {
 public:
  MapperSpace()
      : coarseCells_(new (std::nothrow) uint32_t[GifMapperSpace::kCoarseCells]),
        fineCells_(new (std::nothrow) uint32_t[GifMapperSpace::kFineCells]),
        coarseLists_(new (std::nothrow) uint8_t[kMapperCoarseIndices]),
        groups_(new (std::nothrow) GifCandidateGroup[kMapperGroups]) {
    space_.coarseCells = coarseCells_.get();
    space_.fineCells = fineCells_.get();
    space_.coarseLists = coarseLists_.get();
    space_.coarseCapacity = kMapperCoarseIndices;
    space_.groups = groups_.get();
    space_.groupCapacity = kMapperGroups;
  }
  bool ok() const { return coarseCells_ && coarseLists_ && fineCells_ && groups_; }
  GifMapperSpace& space() { return space_; }

 private:
  std::unique_ptr<uint32_t[]> coarseCells_;
  std::unique_ptr<uint32_t[]> fineCells_;
  std::unique_ptr<uint8_t[]> coarseLists_;
  std::unique_ptr<GifCandidateGroup[]> groups_;
  GifMapperSpace space_;
};

bool MakePalette(const uint8_t* previous, const uint8_t* rgbaFrame, size_t pixelCount, int32_t bitDepth,
                 bool forDither, uint32_t* scratch, GifPaletteTree& tree) {
  return UseAvx2FmaKernels()
             ? kernels_avx2::MakeGifPalette(previous, rgbaFrame, pixelCount, bitDepth, forDither, scratch, tree)
             : kernels_avx::MakeGifPalette(previous, rgbaFrame, pixelCount, bitDepth, forDither, scratch, tree);
}

}  // namespace

void GifNearestColor(const GifPaletteTree& tree, int32_t r, int32_t g, int32_t b, int32_t& bestIndex,
                     int32_t& bestDistance, int32_t node) {
  const int32_t leaves = 1 << tree.bitDepth;
  if (node >= leaves) {
    const int32_t index = node - leaves;
    if (index == kTransparentIndex) return;
    const int32_t dr = r - tree.red[index], dg = g - tree.green[index], db = b - tree.blue[index];
    const int32_t distance = (dr < 0 ? -dr : dr) + (dg < 0 ? -dg : dg) + (db < 0 ? -db : db);
    if (distance < bestDistance) {
      bestDistance = distance;
      bestIndex = index;
    }
    return;
  }
  const int component = tree.splitComponent[node];
  const int32_t c = component == 0 ? r : component == 1 ? g : b;
  const int32_t s = tree.splitValue[node];
  if (s > c) {
    GifNearestColor(tree, r, g, b, bestIndex, bestDistance, node * 2);
    if (bestDistance > s - c) GifNearestColor(tree, r, g, b, bestIndex, bestDistance, node * 2 + 1);
  } else {
    GifNearestColor(tree, r, g, b, bestIndex, bestDistance, node * 2 + 1);
    if (bestDistance > c - s) GifNearestColor(tree, r, g, b, bestIndex, bestDistance, node * 2);
  }
}

bool GifMakePalette(const uint8_t* previous, const uint8_t* rgbaFrame, uint64_t pixelCount, int32_t bitDepth,
                    bool forDither, GifPaletteTree& tree) {
  if (bitDepth < 1 || bitDepth > 8 || pixelCount > SIZE_MAX / 8) return false;
  std::unique_ptr<uint32_t[]> scratch(new (std::nothrow) uint32_t[2 * pixelCount]);
  if (!scratch) return false;
  MakePalette(previous, rgbaFrame, static_cast<size_t>(pixelCount), bitDepth, forDither, scratch.get(), tree);
  return true;
}

bool GifWriterOpen(GifWriterState& writer, const char* fileName, uint32_t width, uint32_t height, uint16_t delay) {
  if (writer.file != nullptr) return false;
  if (width == 0 || height == 0 || width > kGifMaxSide || height > kGifMaxSide) return false;
  std::unique_ptr<uint8_t, FreeDeleter> frame(static_cast<uint8_t*>(std::malloc(size_t(width) * height * 4)));
  if (!frame) return false;
  FILE* file = std::fopen(fileName, "wb");
  if (file == nullptr) return false;

  uint8_t header[19 + 19];
  size_t n = 0;
  std::memcpy(header, "GIF89a", 6);
  n = 6;
  PutLittle16(header + n, width);
  PutLittle16(header + n + 2, height);
  n += 4;
  header[n++] = 0xF0;  // global colour table of 2 entries, colour resolution 7
  header[n++] = 0;     // background colour index
  header[n++] = 0;     // pixel aspect ratio
  std::memset(header + n, 0, 6);  // the global table: two black entries
  n += 6;
  if (delay != 0) {
    // Application extension that loops the animation forever.
    header[n++] = 0x21;
    header[n++] = 0xFF;
    header[n++] = 0x0B;
    std::memcpy(header + n, "NETSCAPE2.0", 11);
    n += 11;
    header[n++] = 0x03;  // sub-block size
    header[n++] = 0x01;  // loop sub-block
    header[n++] = 0x00;  // loop count 0 (forever), little-endian
    header[n++] = 0x00;
    header[n++] = 0x00;  // block terminator
  }
  std::fwrite(header, 1, n, file);

  writer.file = file;
  writer.frame = frame.release();
  writer.width = width;
  writer.height = height;
  writer.firstFrame = true;
  return true;
}

bool GifWriterAddFrame(GifWriterState& writer, const uint8_t* rgbaFrame, uint32_t width, uint32_t height,
                       uint16_t delay, int32_t bitDepth, bool dither) {
  if (writer.file == nullptr || rgbaFrame == nullptr) return false;
  if (width != writer.width || height != writer.height) return false;
  if (bitDepth < 1 || bitDepth > 8) return false;
  const size_t pixelCount = size_t(width) * height;

  // Working buffers of this frame, all taken before anything changes.
  std::unique_ptr<uint32_t[]> scratch(new (std::nothrow) uint32_t[2 * pixelCount]);
  std::unique_ptr<int32_t[]> work(dither ? new (std::nothrow) int32_t[4 * pixelCount] : nullptr);
  std::unique_ptr<LzwDictionary> dictionary(new (std::nothrow) LzwDictionary);
  MapperSpace mapperSpace;
  if (!scratch || (dither && !work) || !dictionary || !mapperSpace.ok()) return false;

  const uint8_t* previous = writer.firstFrame ? nullptr : writer.frame;
  writer.firstFrame = false;

  GifPaletteTree tree;
  const bool leavesOnTheirSides =
      MakePalette(dither ? nullptr : previous, rgbaFrame, pixelCount, bitDepth, dither, scratch.get(), tree);
  scratch.reset();
  GifMapperSpace& space = mapperSpace.space();
  if (dither && UseAvx2FmaKernels()) {
    kernels_avx2::DitherGifFrame(previous, rgbaFrame, writer.frame, width, pixelCount, tree, leavesOnTheirSides,
                                 work.get(), space);
  } else if (dither) {
    kernels_avx::DitherGifFrame(previous, rgbaFrame, writer.frame, width, pixelCount, tree, leavesOnTheirSides,
                                work.get(), space);
  } else if (UseAvx2FmaKernels()) {
    kernels_avx2::MapGifFrame(previous, rgbaFrame, writer.frame, pixelCount, tree, leavesOnTheirSides, space);
  } else {
    kernels_avx::MapGifFrame(previous, rgbaFrame, writer.frame, pixelCount, tree, leavesOnTheirSides, space);
  }
  WriteFrameBlocks(writer, delay, tree, *dictionary);
  return std::ferror(writer.file) == 0;
}

bool GifWriterClose(GifWriterState& writer) {
  if (writer.file == nullptr) return false;
  bool ok = std::fputc(0x3B, writer.file) != EOF;
  ok = std::ferror(writer.file) == 0 && ok;
  ok = std::fclose(writer.file) == 0 && ok;
  std::free(writer.frame);
  writer.file = nullptr;
  writer.frame = nullptr;
  writer.width = 0;
  writer.height = 0;
  return ok;
}

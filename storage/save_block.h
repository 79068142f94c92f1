// Save blocks: rows of unsigned integers stored in a tree file either as
// group-packed rows one after another (fast form) or as the 24 channels of
// one coded sequence (slow form). A reader pulls the rows one at a time, in
// the order they were written, each with no previous row.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "codecs/codec.h"

class BinaryReader;

class SaveDecompressor {
 public:
  virtual ~SaveDecompressor() = default;
  // One row of `count` values (nothing for count <= 0). Malformed data (a
  // count above 1326, a packed row that does not use its length exactly, a
  // lane that runs out, a damaged coded form) raise IOException.
  virtual void readRow(uint32_t* out, const uint32_t* previous, int count) = 0;
  virtual void readRow16(uint16_t* out, const uint16_t* previous, int count) = 0;
};

// Rows straight from the file: B (i16) and B bytes of a packed row.
class FastSaveDecompressor : public SaveDecompressor {
 public:
  explicit FastSaveDecompressor(BinaryReader& reader) : reader_(reader) {}
  void readRow(uint32_t* out, const uint32_t* previous, int count) override;
  void readRow16(uint16_t* out, const uint16_t* previous, int count) override;

 private:
  BinaryReader& reader_;
  uint8_t buffer_[8192];
};

// The 24 lanes of one coded sequence, read whole when the block is opened.
class SlowSaveDecompressor : public SaveDecompressor {
 public:
  // Reads the lanes and makes the decompressor (its codec from lane 0).
  explicit SlowSaveDecompressor(BinaryReader& reader);
  ~SlowSaveDecompressor() override;
  SlowSaveDecompressor(const SlowSaveDecompressor&) = delete;
  SlowSaveDecompressor& operator=(const SlowSaveDecompressor&) = delete;
  void readRow(uint32_t* out, const uint32_t* previous, int count) override;
  void readRow16(uint16_t* out, const uint16_t* previous, int count) override;

 private:
  static int SaveLaneRead(void* context, int lane, uint8_t* data, int length);
  void CheckDecoded() const;

  std::vector<uint8_t> lanes_[kCodecChannels];
  size_t positions_[kCodecChannels] = {};
  DecompressorInterface* decompressor_ = nullptr;
};

// Opens the save block at the reader's position: from version 6 on a
// selector byte chooses the fast form (non-zero) or the slow form; older
// files have only the slow form.
std::unique_ptr<SaveDecompressor> OpenSaveDecompressor(BinaryReader& reader);

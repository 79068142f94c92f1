#include "storage/save_block.h"

#include <cstring>
#include <string>

#include "core/binary_reader.h"
#include "storage/packed_rows.h"

namespace {

void CheckCount(int count) {
  if (count > kMaxRowValues) throw IOException("corrupt save block (row of " + std::to_string(count) + " values)");
}

// Reads B and the B packed bytes of one row into `buffer` (at most `limit`).
int16_t ReadPackedRow(BinaryReader& reader, uint8_t* buffer, int limit) {
  const int16_t length = ReadValue<int16_t>(reader);
  if (length < 1 || length > limit)
    throw IOException("corrupt save block (packed length " + std::to_string(length) + ")");
  reader.read(buffer, static_cast<uint64_t>(length));
  return length;
}

void RowOutOfStep() { throw IOException("corrupt save block (packed row out of step)"); }

}  // namespace

void FastSaveDecompressor::readRow(uint32_t* out, const uint32_t*, int count) {
  CheckCount(count);
  if (count <= 0) return;
  const int16_t length = ReadPackedRow(reader_, buffer_, 8192);
  const uint8_t* end = UnpackGroupsChecked(out, count, buffer_, static_cast<size_t>(length));
  if (end != buffer_ + length) RowOutOfStep();
}

void FastSaveDecompressor::readRow16(uint16_t* out, const uint16_t*, int count) {
  CheckCount(count);
  if (count <= 0) return;
  const int16_t length = ReadPackedRow(reader_, buffer_, 4096);
  const uint8_t* end = UnpackGroupsU16Checked(out, count, buffer_, static_cast<size_t>(length));
  if (end != buffer_ + length) RowOutOfStep();
}

SlowSaveDecompressor::SlowSaveDecompressor(BinaryReader& reader) {
  for (int k = 0; k < kCodecChannels; ++k) {
    const uint64_t length = ReadValue<uint64_t>(reader);
    RequireBytes(reader, length, 1);
    lanes_[k].resize(static_cast<size_t>(length));
    reader.read(lanes_[k].data(), length);
  }
  decompressor_ = CreateDecompressor(&SlowSaveDecompressor::SaveLaneRead, this, true);
  if (!decompressor_) throw IOException("corrupt save block (unknown codec)");
}

SlowSaveDecompressor::~SlowSaveDecompressor() { DestroyDecompressor(decompressor_); }

int SlowSaveDecompressor::SaveLaneRead(void* context, int lane, uint8_t* data, int length) {
  auto& self = *static_cast<SlowSaveDecompressor*>(context);
  if (lane < 0 || lane >= kCodecChannels || length <= 0) return 0;
  const size_t left = self.lanes_[lane].size() - self.positions_[lane];
  const size_t moved = static_cast<size_t>(length) < left ? static_cast<size_t>(length) : left;
  if (moved) memcpy(data, self.lanes_[lane].data() + self.positions_[lane], moved);
  self.positions_[lane] += moved;
  return static_cast<int>(moved);
}

void SlowSaveDecompressor::CheckDecoded() const {
  if (decompressor_->Failed())
    throw IOException(std::string("corrupt save block (") + decompressor_->ErrorText() + ")");
}

void SlowSaveDecompressor::readRow(uint32_t* out, const uint32_t* previous, int count) {
  CheckCount(count);
  if (count <= 0) return;
  DecodeValues(decompressor_, out, previous, count);
  CheckDecoded();
}

void SlowSaveDecompressor::readRow16(uint16_t* out, const uint16_t* previous, int count) {
  CheckCount(count);
  if (count <= 0) return;
  DecodeValues16(decompressor_, out, previous, count);
  CheckDecoded();
}

std::unique_ptr<SaveDecompressor> OpenSaveDecompressor(BinaryReader& reader) {
  if (reader.formatVersion >= 6 && ReadValue<uint8_t>(reader) != 0)
    return std::make_unique<FastSaveDecompressor>(reader);
  return std::make_unique<SlowSaveDecompressor>(reader);
}

#include "storage/storage_stream.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "core/binary_reader.h"
#include "core/cpu_info.h"
#include "core/output.h"
#include "core/parallel.h"
#include "core/thread_scratch.h"
#include "storage/compressed_kernels_variants.h"
#include "storage/packed_rows.h"

std::atomic<int64_t> StorageBytesRead{0};
std::atomic<int64_t> StorageBytesWritten{0};

namespace {
std::atomic<int64_t> StreamBlockBytes{0};
}  // namespace

int64_t StorageStreamBytes() { return StreamBlockBytes.load(std::memory_order_relaxed); }

namespace {

// A block that cannot be had: inside a recoverable scope (a tree file being
// loaded) the caller undoes its work, so std::bad_alloc is thrown; anywhere
// else the pass it interrupted has left the streams half written, and the
// process ends with the allocator's line.
[[noreturn]] void StreamAllocationFailed(const char* what, int64_t bytes, int error) {
  if (AllocationsRecoverable()) throw std::bad_alloc();
  char line[96];
  snprintf(line, sizeof line, "%s %lld bytes fail (errno %d)\n", what, static_cast<long long>(bytes), error);
  FatalLine(line);
}

// Grows a heap block to `bytes` (malloc when it is null); on failure the
// block is left as it was (see StreamAllocationFailed).
uint8_t* GrowHeapBlock(uint8_t* block, int64_t bytes) {
  errno = 0;
  void* grown = block ? realloc(block, static_cast<size_t>(bytes)) : malloc(static_cast<size_t>(bytes));
  if (!grown) StreamAllocationFailed(block ? "realloc" : "malloc", bytes, errno);
  return static_cast<uint8_t*>(grown);
}

inline int64_t RoundUp(int64_t n, int64_t mask) { return (n + mask) & ~mask; }

constexpr int64_t kBlockMask = kCodedStreamGranule - 1;
constexpr int64_t kFastMask = kPackedStreamGranule - 1;

// The thread's spare lane blocks. The pool owns them: they go back to the
// heap when the thread ends, so worker teams that come and go (one per
// solve) leave nothing behind.
struct LaneBlockPool {
  std::vector<std::unique_ptr<LaneBlock>> blocks;
};
ThreadScratch<LaneBlockPool> t_lanePool;

thread_local bool t_reportDecodeErrors = false;
thread_local bool t_decodeErrorSeen = false;

// A damaged block: recorded while errors are reported, else the process ends.
void DecodeError() {
  if (!t_reportDecodeErrors) FatalDecodeError();
  t_decodeErrorSeen = true;
}

// A lane's capacity steps: lanes 1 and 17 carry the bulk of a codec's bytes.
inline int32_t LaneStep(int lane) { return lane == 1 || lane == 17 ? 65536 : 16384; }

// Checks the 24 lane lengths of a stored record against its block length.
bool LaneLengthsFit(const int32_t* lengths, int64_t blockLength) {
  int64_t sum = 0;
  for (int k = 0; k < kCodecChannels; ++k) {
    if (lengths[k] < 0) return false;
    sum += lengths[k];
  }
  return sum == blockLength;
}

}  // namespace

void ReserveExhausted() { FatalLine("out of memory (not enough reserved)\n"); }

LaneBlock::~LaneBlock() {
  for (uint8_t* lane : lanes) free(lane);
}

size_t PooledLaneBlocks() {
  const LaneBlockPool* pool = t_lanePool.Find();
  return pool ? pool->blocks.size() : 0;
}

void ReportStreamDecodeErrors(bool report) {
  t_reportDecodeErrors = report;
  t_decodeErrorSeen = false;
}

bool StreamDecodeErrorSeen() {
  const bool seen = t_decodeErrorSeen;
  t_decodeErrorSeen = false;
  return seen;
}

// --- CompressedStorageStream ---------------------------------------------------------

// Every coded block holds at least the codec id byte, so even a stream of no
// elements (a board where every hand meets a card) needs one granule.
int64_t CompressedStorageStream::ReserveFor(int64_t sizeHint) {
  return std::max<int64_t>(RoundUp(2 * (sizeHint > 0 ? sizeHint : 0), kBlockMask), kBlockMask + 1);
}

CompressedStorageStream::CompressedStorageStream(int64_t sizeHint, int)
    : reserveLimit_(ReserveFor(sizeHint)) {}

CompressedStorageStream::CompressedStorageStream() = default;

CompressedStorageStream::~CompressedStorageStream() {
  // Streams are destroyed between passes; a codec still attached (a pass cut
  // short by a fault) goes with the stream.
  DestroyCompressor(compressor_);
  DestroyDecompressor(decompressor_);
  free(block_);
  StreamBlockBytes.fetch_sub(capacity_, std::memory_order_relaxed);
}

void CompressedStorageStream::BeginWrite() {
  if (compressor_ || decompressor_) Fail();
  if (!laneBlock_) {
    LaneBlockPool& pool = t_lanePool.Get();
    if (pool.blocks.empty()) {
      laneBlock_ = std::make_unique<LaneBlock>();
    } else {
      laneBlock_ = std::move(pool.blocks.back());
      pool.blocks.pop_back();
    }
  }
  for (int k = 0; k < kCodecChannels; ++k) laneSizes_[k] = lanePositions_[k] = 0;
  stats_.Clear();
  compressor_ = CreateCompressor(kFseCodecId, nullptr, nullptr, &CompressedStorageStream::LaneWrite, this, &stats_);
  if (!compressor_) Fail("no codec");
}

int CompressedStorageStream::LaneWrite(void* context, int lane, uint8_t* data, int length) {
  if (length <= 0) return 0;
  CompressedStorageStream& s = *static_cast<CompressedStorageStream*>(context);
  LaneBlock& block = *s.laneBlock_;
  const int64_t end = static_cast<int64_t>(s.lanePositions_[lane]) + length;
  if (end > INT32_MAX) ReserveExhausted();
  if (end > s.laneSizes_[lane]) {
    const int64_t step = LaneStep(lane);
    const int64_t rounded = (end + step - 1) / step * step;
    if (rounded > block.capacity[lane]) {
      block.lanes[lane] = GrowHeapBlock(block.lanes[lane], rounded);
      block.capacity[lane] = static_cast<int32_t>(rounded);
    }
    s.laneSizes_[lane] = static_cast<int32_t>(end);
  }
  memcpy(block.lanes[lane] + s.lanePositions_[lane], data, static_cast<size_t>(length));
  s.lanePositions_[lane] = static_cast<int32_t>(end);
  return length;
}

void CompressedStorageStream::WriteRow32(const uint32_t* values, const uint32_t* previous, int count) {
  if (!compressor_) Fail("stream not writing");
  CompressRow(compressor_, values, previous, count);
}

void CompressedStorageStream::WriteRow16(const uint16_t* values, const uint16_t* previous, int count) {
  if (!compressor_) Fail("stream not writing");
  CompressRow16(compressor_, values, previous, count);
}

void CompressedStorageStream::GrowBlock(int64_t rounded) {
  if (rounded <= capacity_) return;
  if (rounded > reserveLimit_) ReserveExhausted();
  block_ = GrowHeapBlock(block_, rounded);
  StreamBlockBytes.fetch_add(rounded - capacity_, std::memory_order_relaxed);
  capacity_ = rounded;
}

void CompressedStorageStream::EndWrite() {
  if (!compressor_) return;
  DestroyCompressor(compressor_);  // writes what the codec still buffers
  compressor_ = nullptr;
  const bool avx2 = UseAvx2FmaKernels();
  const int64_t length =
      avx2 ? kernels_avx2::SumLaneLengths(lanePositions_) : kernels_avx::SumLaneLengths(lanePositions_);
  GrowBlock(RoundUp(length, kBlockMask));
  if (avx2)
    kernels_avx2::JoinLanes(block_, laneBlock_->lanes, lanePositions_);
  else
    kernels_avx::JoinLanes(block_, laneBlock_->lanes, lanePositions_);
  memcpy(laneLengths_, lanePositions_, sizeof laneLengths_);
  blockLength_ = length;
  StorageBytesWritten.fetch_add(length, std::memory_order_relaxed);
  t_lanePool.Get().blocks.push_back(std::move(laneBlock_));
}

void CompressedStorageStream::BeginRead() {
  if (compressor_ || decompressor_) Fail();
  const uint8_t* start = block_;
  for (int k = 0; k < kCodecChannels; ++k) {
    laneSizes_[k] = laneLengths_[k];
    laneStarts_[k] = start;
    start += laneLengths_[k];
    lanePositions_[k] = 0;
  }
  decompressor_ = CreateDecompressor(&CompressedStorageStream::LaneRead, this, t_reportDecodeErrors);
  // Blocks this process wrote always carry a known codec id; one that does
  // not is damaged. While errors are reported, its rows read as zeros.
  if (!decompressor_) {
    DecodeError();
    unreadable_ = true;
  }
}

int CompressedStorageStream::LaneRead(void* context, int lane, uint8_t* data, int length) {
  if (length <= 0) return 0;
  CompressedStorageStream& s = *static_cast<CompressedStorageStream*>(context);
  const int32_t left = s.laneSizes_[lane] - s.lanePositions_[lane];
  const int moved = length < left ? length : left;
  if (moved <= 0) return 0;
  memcpy(data, s.laneStarts_[lane] + s.lanePositions_[lane], static_cast<size_t>(moved));
  s.lanePositions_[lane] += moved;
  return moved;
}

void CompressedStorageStream::ReadRow32(uint32_t* out, const uint32_t* previous, int count) {
  if (unreadable_ && count > 0 && count <= kMaxRowValues) {
    memset(out, 0, static_cast<size_t>(count) * sizeof *out);
    return;
  }
  if (!decompressor_) Fail("stream not reading");
  DecodeValues(decompressor_, out, previous, count);
}

void CompressedStorageStream::ReadRow16(uint16_t* out, const uint16_t* previous, int count) {
  if (unreadable_ && count > 0 && count <= kMaxRowValues) {
    memset(out, 0, static_cast<size_t>(count) * sizeof *out);
    return;
  }
  if (!decompressor_) Fail("stream not reading");
  DecodeValues16(decompressor_, out, previous, count);
}

void CompressedStorageStream::EndRead() {
  unreadable_ = false;
  if (!decompressor_) return;
  if (decompressor_->Failed()) DecodeError();
  DestroyDecompressor(decompressor_);
  decompressor_ = nullptr;
  const int64_t consumed = UseAvx2FmaKernels() ? kernels_avx2::SumLaneLengths(lanePositions_)
                                               : kernels_avx::SumLaneLengths(lanePositions_);
  StorageBytesRead.fetch_add(consumed, std::memory_order_relaxed);
}

void CompressedStorageStream::Save(BinaryWriter& writer) {
  for (int k = 0; k < kCodecChannels; ++k) {
    writer.write(&laneLengths_[k], 4);
    writer.write(&laneLengths_[k], 4);
  }
  writer.write(&reserveLimit_, 8);
  writer.write(&blockLength_, 8);
  if (blockLength_ > 0) writer.write(block_, static_cast<uint64_t>(blockLength_));
}

void CompressedStorageStream::Load(BinaryReader& reader) {
  if (compressor_ || decompressor_) Fail();
  int32_t sizes[kCodecChannels], positions[kCodecChannels];
  for (int k = 0; k < kCodecChannels; ++k) {
    sizes[k] = ReadValue<int32_t>(reader);
    positions[k] = ReadValue<int32_t>(reader);
  }
  const int64_t limit = ReadValue<int64_t>(reader);
  const int64_t length = static_cast<int32_t>(static_cast<uint64_t>(ReadValue<int64_t>(reader)) & 0xFFFFFFFFu);
  // The block is the lanes one after another: their lengths must add up to
  // it, or the reader would run past the block.
  if (length < 0 || !LaneLengthsFit(positions, length)) throw IOException("corrupt storage stream");
  // The block must lie in the file and within the stream's own reserve (a
  // block past it would end the process when it is made room for).
  RequireBytes(reader, static_cast<uint64_t>(length), 1);
  if (limit < 0 || RoundUp(length, kBlockMask) > limit) throw IOException("corrupt storage stream");
  reserveLimit_ = limit;
  GrowBlock(RoundUp(length, kBlockMask));
  if (length > 0) reader.read(block_, static_cast<uint64_t>(length));
  for (int k = 0; k < kCodecChannels; ++k) {
    laneSizes_[k] = sizes[k];
    lanePositions_[k] = laneLengths_[k] = positions[k];
  }
  blockLength_ = length;
}

// --- FastStorageStream ----------------------------------------------------------------

int64_t FastStorageStream::ReserveFor(int64_t sizeHint, int width) {
  const int64_t h = sizeHint > 0 ? sizeHint : 0;
  return RoundUp((h + 31) / 32 + static_cast<int64_t>(width) * h, kFastMask);
}

FastStorageStream::FastStorageStream(int64_t sizeHint, int width) : reserveLimit_(ReserveFor(sizeHint, width)) {}

FastStorageStream::FastStorageStream() = default;

FastStorageStream::~FastStorageStream() {
  free(buffer_);
  StreamBlockBytes.fetch_sub(capacity_, std::memory_order_relaxed);
}

void FastStorageStream::BeginWrite() {
  reservedLength_ = 0;
  position_ = 0;
  savedLength_ = 0;
  packedLength_ = 0;
  writing_ = true;
  reading_ = false;
}

void FastStorageStream::GrowBuffer(int64_t rounded) {
  if (rounded <= capacity_) return;
  if (rounded > reserveLimit_) ReserveExhausted();
  buffer_ = GrowHeapBlock(buffer_, rounded);
  StreamBlockBytes.fetch_add(rounded - capacity_, std::memory_order_relaxed);
  capacity_ = rounded;
}

// Makes room for a row of at most `need` bytes (its packer's worst case) at
// the position: the reservation grows by that much and the buffer with it.
// False, changing nothing, when the grown reservation would pass the reserve
// limit.
bool FastStorageStream::Reserve(int64_t need) {
  if (!writing_) Fail("stream not writing");
  if (static_cast<int64_t>(reservedLength_) >= position_ + need) return true;
  const int64_t reserved = static_cast<int64_t>(reservedLength_) + need;
  if (RoundUp(reserved, kFastMask) > reserveLimit_) return false;
  reservedLength_ = static_cast<int32_t>(reserved);
  savedLength_ = reservedLength_;
  GrowBuffer(RoundUp(reserved, kFastMask));
  return true;
}

// A row whose worst case would pass the limit is packed aside first: it is
// refused only when its real bytes do not fit, so a block that fits its
// budget is never lost to the worst-case estimate.
template <typename T, typename Pack>
void FastStorageStream::WriteRow(const T* values, int count, int64_t need, Pack pack) {
  if (count > kMaxRowValues) Fail();
  if (count <= 0) return;
  if (Reserve(need)) {
    uint8_t* start = buffer_ + position_;
    position_ += static_cast<int32_t>(pack(start, values, count) - start);
    return;
  }
  uint8_t packed[kMaxPackedI32RowBytes];
  const int64_t length = pack(packed, values, count) - packed;
  const int64_t end = static_cast<int64_t>(position_) + length;
  if (RoundUp(end, kFastMask) > reserveLimit_) ReserveExhausted();
  if (end > reservedLength_) {
    reservedLength_ = static_cast<int32_t>(end);
    savedLength_ = reservedLength_;
  }
  GrowBuffer(RoundUp(end, kFastMask));
  memcpy(buffer_ + position_, packed, static_cast<size_t>(length));
  position_ = static_cast<int32_t>(end);
}

void FastStorageStream::WriteRow32(const uint32_t* values, const uint32_t*, int count) {
  WriteRow(reinterpret_cast<const int32_t*>(values), count, MaxPackedI32Bytes(count),
           [](uint8_t* out, const int32_t* in, int n) { return PackI32Groups(out, in, n); });
}

void FastStorageStream::WriteRow16(const uint16_t* values, const uint16_t*, int count) {
  WriteRow(values, count, MaxPackedU16Bytes(count),
           [](uint8_t* out, const uint16_t* in, int n) { return PackU16Groups(out, in, n); });
}

void FastStorageStream::EndWrite() {
  if (!writing_) return;
  writing_ = false;
  packedLength_ = position_;
  StorageBytesWritten.fetch_add(position_, std::memory_order_relaxed);
}

void FastStorageStream::BeginRead() {
  position_ = 0;
  reading_ = true;
  writing_ = false;
}

// Rows are read only as far as the block goes: a row that would run past it
// (a damaged block) ends the process rather than reading foreign memory.
template <typename T, typename Unpack>
void FastStorageStream::ReadPackedRow(T* out, int count, Unpack unpack) {
  if (count > kMaxRowValues) Fail();
  if (count <= 0) return;
  if (!reading_) Fail("stream not reading");
  const uint8_t* start = buffer_ + position_;
  const uint8_t* end = unpack(out, count, start, static_cast<size_t>(savedLength_ - position_));
  if (!end) {
    // A row that runs past the block: damaged data.
    DecodeError();
    memset(out, 0, static_cast<size_t>(count) * sizeof *out);
    position_ = static_cast<int32_t>(savedLength_);
    return;
  }
  position_ += static_cast<int32_t>(end - start);
}

void FastStorageStream::ReadRow32(uint32_t* out, const uint32_t*, int count) {
  ReadPackedRow(out, count, UnpackGroupsChecked);
}

void FastStorageStream::ReadRow16(uint16_t* out, const uint16_t*, int count) {
  ReadPackedRow(out, count, UnpackGroupsU16Checked);
}

void FastStorageStream::EndRead() {
  if (!reading_) return;
  reading_ = false;
  StorageBytesRead.fetch_add(position_, std::memory_order_relaxed);
}

void FastStorageStream::Save(BinaryWriter& writer) {
  writer.write(&reservedLength_, 4);
  writer.write(&reserveLimit_, 8);
  writer.write(&savedLength_, 8);
  if (savedLength_ <= 0) return;
  // The bytes past the packed rows are never read; they are written as zeros.
  const int64_t packed = packedLength_ < savedLength_ ? packedLength_ : savedLength_;
  if (packed > 0) writer.write(buffer_, static_cast<uint64_t>(packed));
  static const uint8_t zeros[4096] = {};
  for (int64_t left = savedLength_ - packed; left > 0; left -= 4096)
    writer.write(zeros, static_cast<uint64_t>(left < 4096 ? left : 4096));
}

void FastStorageStream::Load(BinaryReader& reader) {
  const int32_t reserved = ReadValue<int32_t>(reader);
  const int64_t limit = ReadValue<int64_t>(reader);
  const int64_t saved = static_cast<int32_t>(static_cast<uint64_t>(ReadValue<int64_t>(reader)) & 0xFFFFFFFFu);
  if (reserved < 0 || saved < 0) throw IOException("corrupt storage stream");
  RequireBytes(reader, static_cast<uint64_t>(saved), 1);
  if (limit < 0 || RoundUp(saved, kFastMask) > limit) throw IOException("corrupt storage stream");
  reserveLimit_ = limit;
  GrowBuffer(RoundUp(saved, kFastMask));
  if (saved > 0) reader.read(buffer_, static_cast<uint64_t>(saved));
  reservedLength_ = reserved;
  savedLength_ = saved;
  packedLength_ = saved;
  position_ = 0;
  writing_ = reading_ = false;
}

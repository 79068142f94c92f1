// Storage streams: one coded block of per-hand rows kept in memory. A
// compressed river storage owns one stream per board (turn card) and player;
// while a board is open the rows of every river node of that player are
// written into the stream one after another, and read back in the same order
// the next time the board is opened.
//
// Calling order of one write pass: BeginWrite, WriteRow32 / WriteRow16 once
// per row, EndWrite. One read pass: HasData (go on only when true),
// BeginRead, ReadRow32 / ReadRow16 once per row with the widths, counts and
// previous rows (null where the writer passed null) of the write pass, in
// its order, EndRead. A previous row is a row of the same pass the caller
// already wrote or read: the stream keeps no rows of its own.
//
// Every stream has a reserve limit fixed when it is made: a block that would
// need more ends the process with "out of memory (not enough reserved)".
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "codecs/codec.h"
#include "storage/storage_interface.h"

class BinaryReader;

class StorageStreamInterface {
 public:
  virtual ~StorageStreamInterface() = default;
  // Drops the current block and starts a new one.
  virtual void BeginWrite() = 0;
  // Finishes the block begun by BeginWrite; nothing outside a write pass.
  virtual void EndWrite() = 0;
  // True when the stream holds a block to read.
  virtual bool HasData() const = 0;
  // Positions the stream at the start of its block.
  virtual void BeginRead() = 0;
  // Ends a read pass; nothing outside a read pass.
  virtual void EndRead() = 0;
  virtual void WriteRow32(const uint32_t* values, const uint32_t* previous, int count) = 0;
  virtual void WriteRow16(const uint16_t* values, const uint16_t* previous, int count) = 0;
  virtual void ReadRow32(uint32_t* out, const uint32_t* previous, int count) = 0;
  virtual void ReadRow16(uint16_t* out, const uint16_t* previous, int count) = 0;
  // The stream record; called between passes. Save writes exactly what Load
  // reads. Load raises IOException for a record that cannot be a block of
  // this kind.
  virtual void Save(BinaryWriter& writer) = 0;
  virtual void Load(BinaryReader& reader) = 0;
  // Bytes the block buffer holds (its capacity) and may hold at most.
  virtual int64_t Capacity() const = 0;
  virtual int64_t ReserveLimit() const = 0;
};

// What a stream's buffer grows by: whole granules of 4 KB (entropy-coded
// blocks) or 16 KB (packed rows).
constexpr int64_t kCodedStreamGranule = 4096;
constexpr int64_t kPackedStreamGranule = 16384;

// Bytes read and written by all streams since the tree's storages were last
// allocated (atomic additions; readers take a plain snapshot).
extern std::atomic<int64_t> StorageBytesRead;
extern std::atomic<int64_t> StorageBytesWritten;
// The bytes the blocks of every stream now hold (their capacities): what the
// compressed river storages of the tree take, for the estimates of how much
// a solve's passes make them grow.
int64_t StorageStreamBytes();

// Decoding errors on the calling thread. Normally a damaged block ends the
// process ("fse error"): blocks held in memory are only damaged by a fault.
// A loader that reads streams from a file turns reporting on while it
// trial-decodes them; a damaged block then reads as zeros and is recorded, and
// the loader asks StreamDecodeErrorSeen afterwards (which clears the record).
void ReportStreamDecodeErrors(bool report);
bool StreamDecodeErrorSeen();

// Prints "out of memory (not enough reserved)" on standard output under the
// output lock and ends the process with status 1.
[[noreturn]] void ReserveExhausted();

// The 24 lane buffers one writer collects a codec's channels in; kept per
// thread from block to block so that a pass allocates only when a lane grows.
struct LaneBlock {
  uint8_t* lanes[kCodecChannels] = {};
  int32_t capacity[kCodecChannels] = {};
  LaneBlock() = default;
  ~LaneBlock();
  LaneBlock(const LaneBlock&) = delete;
  LaneBlock& operator=(const LaneBlock&) = delete;
};
// Lane blocks held by the calling thread's pool (freed when the thread ends).
size_t PooledLaneBlocks();

// Rows coded by the entropy codec (new data always codec 2), its channels
// collected in 24 lanes and joined into one block at EndWrite. Blocks of any
// codec id are readable. Reserve limit: 2 bytes per element of the size
// hint, rounded up to 4096, whatever the row width.
class CompressedStorageStream : public StorageStreamInterface {
 public:
  // sizeHint: the row elements the stream will hold; width 2 or 4 bytes.
  CompressedStorageStream(int64_t sizeHint, int width);
  // A stream made to be loaded: reserve limit 0 until Load.
  CompressedStorageStream();
  ~CompressedStorageStream() override;
  CompressedStorageStream(const CompressedStorageStream&) = delete;
  CompressedStorageStream& operator=(const CompressedStorageStream&) = delete;

  void BeginWrite() override;
  void EndWrite() override;
  bool HasData() const override { return laneLengths_[0] > 0; }
  void BeginRead() override;
  void EndRead() override;
  void WriteRow32(const uint32_t* values, const uint32_t* previous, int count) override;
  void WriteRow16(const uint16_t* values, const uint16_t* previous, int count) override;
  void ReadRow32(uint32_t* out, const uint32_t* previous, int count) override;
  void ReadRow16(uint16_t* out, const uint16_t* previous, int count) override;
  void Save(BinaryWriter& writer) override;
  void Load(BinaryReader& reader) override;
  int64_t Capacity() const override { return capacity_; }
  int64_t ReserveLimit() const override { return reserveLimit_; }

  int64_t BlockLength() const { return blockLength_; }
  static int64_t ReserveFor(int64_t sizeHint);

 private:
  static int LaneWrite(void* context, int lane, uint8_t* data, int length);
  static int LaneRead(void* context, int lane, uint8_t* data, int length);
  // Grows the block buffer to `rounded` bytes within the reserve limit.
  void GrowBlock(int64_t rounded);

  int32_t laneSizes_[kCodecChannels] = {};
  int32_t lanePositions_[kCodecChannels] = {};
  // Each lane's length in the block, fixed by EndWrite and Load.
  int32_t laneLengths_[kCodecChannels] = {};
  const uint8_t* laneStarts_[kCodecChannels] = {};
  CompressorInterface* compressor_ = nullptr;
  DecompressorInterface* decompressor_ = nullptr;
  CompressionStats stats_;
  bool unreadable_ = false;  // a read pass over a block of no known codec
  int64_t blockLength_ = 0;
  int64_t capacity_ = 0;
  int64_t reserveLimit_ = 0;
  uint8_t* block_ = nullptr;
  std::unique_ptr<LaneBlock> laneBlock_;
};

// Rows packed into one buffer by the group packers, without entropy coding.
// Reserve limit: ceil(h / 32) + width * h bytes, rounded up to 16384; each
// row reserves its packer's worst case before it is packed, and near the
// limit a row is refused only when its packed bytes do not fit.
class FastStorageStream : public StorageStreamInterface {
 public:
  FastStorageStream(int64_t sizeHint, int width);
  FastStorageStream();
  ~FastStorageStream() override;
  FastStorageStream(const FastStorageStream&) = delete;
  FastStorageStream& operator=(const FastStorageStream&) = delete;

  void BeginWrite() override;
  void EndWrite() override;
  bool HasData() const override { return reservedLength_ > 0; }
  void BeginRead() override;
  void EndRead() override;
  void WriteRow32(const uint32_t* values, const uint32_t* previous, int count) override;
  void WriteRow16(const uint16_t* values, const uint16_t* previous, int count) override;
  void ReadRow32(uint32_t* out, const uint32_t* previous, int count) override;
  void ReadRow16(uint16_t* out, const uint16_t* previous, int count) override;
  void Save(BinaryWriter& writer) override;
  void Load(BinaryReader& reader) override;
  int64_t Capacity() const override { return capacity_; }
  int64_t ReserveLimit() const override { return reserveLimit_; }

  int32_t Position() const { return position_; }
  static int64_t ReserveFor(int64_t sizeHint, int width);

 private:
  template <typename T, typename Unpack>
  void ReadPackedRow(T* out, int count, Unpack unpack);
  bool Reserve(int64_t need);
  void GrowBuffer(int64_t rounded);
  template <typename T, typename Pack>
  void WriteRow(const T* values, int count, int64_t need, Pack pack);

  int32_t reservedLength_ = 0;
  int32_t position_ = 0;
  int64_t savedLength_ = 0;
  int64_t packedLength_ = 0;  // bytes of packed rows in the block
  int64_t capacity_ = 0;
  int64_t reserveLimit_ = 0;
  uint8_t* buffer_ = nullptr;
  bool writing_ = false;
  bool reading_ = false;
};

// The storages of river nodes. A river node stands for every runout below
// the tree's root, so its storage holds one block of rows per (turn index,
// river index) entry of a StorageLayout shared by all river nodes with the
// same number of actions. Action a of entry e starts at element
// offset(e) + a * R(hands(e)), R rounding up to a multiple of 4, in one flat
// buffer.
//
// RiverStorageBase keeps the layout and one NodeRecord per entry;
// UncompressedRiverStorage adds the flat buffer; RiverStorage keeps f32
// elements (regrets or strategy sums) and ShortRiverStorage u16 counts
// (regrets only).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "game/aligned_array.h"
#include "storage/storage_interface.h"

struct StorageLayout;

class RiverStorageBase : public StorageInterface {
 public:
  // The layout is shared, not owned, and must outlive the storage; a null
  // layout makes a storage with no entries.
  explicit RiverStorageBase(const StorageLayout* layout);
  ~RiverStorageBase() override = default;
  RiverStorageBase(const RiverStorageBase&) = delete;
  RiverStorageBase& operator=(const RiverStorageBase&) = delete;

  // Hands of the addressed entry.
  int32_t EntryCount(int turnIndex, int riverIndex) override;
  // The layout's unpadded element total, whatever the argument.
  int64_t ElementCount(int turnIndex) override;
  void* OpenBoard(void* buffer, int turnIndex, int64_t sizeHint) override;
  void* CloseBoard(void* buffer, int turnIndex, int flag) override;
  NodeRecord* GetNodeRecord(int turnIndex, int riverIndex) override;

  // The entry of a (turn index, river index) address. Indices outside the
  // layout end the process through Fail: they never reach memory.
  uint32_t EntryIndex(int turnIndex, int riverIndex) const;
  const StorageLayout* Layout() const { return layout; }
  uint32_t EntryTotal() const;

 protected:
  // Reads the layout's entryTotal NodeRecordBlocks in entry order.
  void LoadNodeRecords(BinaryReader& reader);

  const StorageLayout* layout;
  std::unique_ptr<NodeRecord[]> records;
};

class UncompressedRiverStorage : public RiverStorageBase {
 public:
  explicit UncompressedRiverStorage(const StorageLayout* layout);
  ~UncompressedRiverStorage() override;

  // Allocates and zeroes paddedElementTotal * ElementSize bytes from the
  // ordinary heap; false when the allocation fails (the buffer stays null).
  // A prepared storage keeps its buffer: a second call does nothing.
  bool Prepare() override;
  // River storages write no record.
  void Save(BinaryWriter& writer) override;
  // The river record: entryTotal NodeRecordBlocks, then every row of every
  // entry in turn, entry and action order, raw (hands * ElementSize bytes) or
  // as packed u16 rows (i16 byte length 0..4096, then the bytes) when the
  // elements are 2 bytes and the reader's data-format version is 4 or later.
  // A packed length outside 1..4096, or one that the row does not use
  // exactly, raises IOException; so does a record longer than the bytes left.
  // An unprepared storage gets its buffer here without committing its pages
  // first: the load writes every row at once, so each page is touched by a
  // write and committing them ahead would only double the work. A buffer that
  // cannot be had raises std::bad_alloc.
  void Load(BinaryReader& reader) override;
  virtual int ElementSize() const = 0;

  bool HasBuffer() const { return buffer != nullptr; }

 protected:
  // Allocates the buffer when missing; AllocationFailed when that fails (the
  // write paths cannot report it).
  void EnsureBuffer();
  // The zeroed buffer, its pages committed at once or left to the first
  // touch; false when the allocation fails.
  bool AllocateBuffer(bool commit);
  // Element offset of action a's row of an entry (entry and action checked).
  size_t RowOffset(uint32_t entry, int action) const;
  // Called after raw rows were read: float rows are sanitised, and a value
  // no solve can store raises IOException.
  virtual void AfterRawRowRead(void* row, int hands);
  // The rows of the entry after `entry` on the same turn (the next river's
  // rows, read next by a walk of the river sub-games): their start, and their
  // size through `bytes`; null with 0 bytes after the turn's last river or
  // without a buffer.
  const uint8_t* NextEntryRows(int turnIndex, int riverIndex, uint32_t entry, size_t& bytes) const;

  uint8_t* buffer = nullptr;
};

class RiverStorage : public UncompressedRiverStorage {
 public:
  explicit RiverStorage(const StorageLayout* layout);

  // Float rows to probabilities; without a buffer every hand of action a
  // gets defaults[a] (0 with null defaults).
  void ReadRow(int turnIndex, int riverIndex, const float* defaults, std::vector<AlignedArray>& out) override;
  // The values' first hands as floats (negative and NaN as 0, missing values
  // as 0); the row keeps its length. Prepares the storage first when needed.
  void WriteRow(int turnIndex, int riverIndex, int action, const AlignedArray& values) override;
  // The float regret update of each action row with the entry's mask.
  void UpdateRow(int turnIndex, int riverIndex, const AlignedArray& nodeValues,
                 const std::vector<AlignedArray>& actionValues, const AlignedArray* alternative,
                 const std::vector<int16_t>* segments, double scale) override;
  // The float accumulation of each action row with the entry's mask.
  void AccumulateRow(int turnIndex, int riverIndex, const std::vector<AlignedArray>& strategy,
                     const AlignedArray& reach, double weight) override;
  int ElementSize() const override { return 4; }

  // Action a's stored row of an address (null before Prepare).
  const float* RowData(int turnIndex, int riverIndex, int action) const;

 protected:
  void AfterRawRowRead(void* row, int hands) override;

};

class ShortRiverStorage : public UncompressedRiverStorage {
 public:
  explicit ShortRiverStorage(const StorageLayout* layout);

  // Counts to probabilities; any action count other than 2, 3 and 4 sums the
  // counts into a fixed 1082-entry stack row, chunk by chunk.
  void ReadRow(int turnIndex, int riverIndex, const float* defaults, std::vector<AlignedArray>& out) override;
  void ReadReachedRow(int turnIndex, int riverIndex, const float* defaults, std::vector<AlignedArray>& out,
                      const double* reach) override;
  // The products in one pass for nodes of two to four actions; false for
  // other action counts and before the buffer exists.
  bool ReadReachProducts(int turnIndex, int riverIndex, const float* defaults, std::vector<AlignedArray>& out,
                         const double* reach, std::vector<double>& sums) override;
  // The values' first hands as counts truncated and saturated to 0..65535.
  void WriteRow(int turnIndex, int riverIndex, int action, const AlignedArray& values) override;
  // The companded 16-bit update of each action row with the entry's mask and
  // the hand-group segments; the alternative array is not used.
  void UpdateRow(int turnIndex, int riverIndex, const AlignedArray& nodeValues,
                 const std::vector<AlignedArray>& actionValues, const AlignedArray* alternative,
                 const std::vector<int16_t>* segments, double scale) override;
  // Regret counts take no strategy sums: does nothing.
  void AccumulateRow(int turnIndex, int riverIndex, const std::vector<AlignedArray>& strategy,
                     const AlignedArray& reach, double weight) override;
  int ElementSize() const override { return 2; }

  const uint16_t* RowData(int turnIndex, int riverIndex, int action) const;
};

// Rows of a ShortRiverStorage ReadRow for other than two, three or four actions are
// totalled in this many u32 entries at a time (a five-card board leaves at
// most 1081 hands, so one chunk covers every real row).
constexpr int kShortRiverTotalsEntries = 1082;
// The largest packed row length a river record may give.
constexpr int kMaxPackedRiverRowBytes = 4096;

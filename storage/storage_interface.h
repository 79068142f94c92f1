// The abstract storage of one node's per-hand rows, the per-node lock record
// and the float row type. Each inner node owns up to two storages: the first
// holds its cumulative regrets, the second its strategy sums (only while
// strategy averaging is on). The solver, the reports, the lock commands and
// the tree-file reader touch per-hand data only through these operations.
#pragma once

#include <cstdint>
#include <vector>

#include "game/aligned_array.h"

class BinaryReader;

// Byte sink, the inverse of BinaryReader. The system writes no tree files;
// Save exists so that storage records can be round-tripped.
class BinaryWriter {
 public:
  virtual ~BinaryWriter() = default;
  virtual void write(const void* data, uint64_t n) = 0;
};

constexpr uint32_t kNodeLocked = 1u << 0;       // strategy fixed: no update, no accumulation
constexpr uint32_t kNodeComboLocked = 1u << 1;  // some hands fixed: the mask is present

// Lock state of one node for one board. Bit 1 is set exactly when the mask
// is present; a hand whose mask byte is non-zero is never updated.
struct NodeRecord {
  uint32_t flags = 0;
  uint8_t* mask = nullptr;  // maskLength bytes, 0 free / 1 fixed
  int32_t maskLength = 0;

  NodeRecord() = default;
  ~NodeRecord() { delete[] mask; }
  NodeRecord(const NodeRecord&) = delete;
  NodeRecord& operator=(const NodeRecord&) = delete;
  NodeRecord(NodeRecord&& other) noexcept : flags(other.flags), mask(other.mask), maskLength(other.maskLength) {
    other.mask = nullptr;
    other.maskLength = 0;
  }
  // Sets COMBO_LOCKED with a mask of n bytes, or clears both together.
  void SetMask(const uint8_t* bytes, int32_t n);
  void ClearMask();
};

// Reads a NodeRecordBlock into a record. Lengths from the file are checked:
// a negative mask length or run count, a mask length other than
// `expectedLength` (the hands of the record's board; -1 checks nothing), a
// run count beyond the bytes left, or runs that end before the mask is
// covered raise IOException instead of touching memory they do not own.
void LoadNodeRecord(NodeRecord& record, BinaryReader& reader, int32_t expectedLength = -1);
void SaveNodeRecord(const NodeRecord& record, BinaryWriter& writer);

// The float twin of AlignedArray: an owned, aligned block of floats.
struct AlignedFloatArray {
  float* data = nullptr;
  uint32_t count = 0;

  AlignedFloatArray() = default;
  ~AlignedFloatArray();
  AlignedFloatArray(const AlignedFloatArray&) = delete;
  AlignedFloatArray& operator=(const AlignedFloatArray&) = delete;
  AlignedFloatArray(AlignedFloatArray&& other) noexcept : data(other.data), count(other.count) {
    other.data = nullptr;
    other.count = 0;
  }
};
// Sizes the array to n floats (nothing when unchanged); a failure goes to
// AllocationFailed (core/parallel.h).
void ResizeAlignedFloatArray(AlignedFloatArray& array, uint32_t n);
void ReleaseAlignedFloatArray(AlignedFloatArray& array);

// Releases every array of a row vector (the results of ReadRow) and empties
// the vector.
void ReleaseRows(std::vector<AlignedArray>& rows);
// Shapes a caller-kept result vector for ReadRow: `count` arrays, each of n
// elements with a block of its own (an array that has a count but no block
// gets one). Surplus arrays are released before the vector shrinks. Arrays
// that already have the shape are kept, so a caller that reuses the vector
// allocates nothing after the first call.
void SizeResultRows(std::vector<AlignedArray>& rows, size_t count, uint32_t n);

class StorageInterface {
 public:
  virtual ~StorageInterface() = default;
  // Allocates and zeroes every row; false when memory is missing.
  virtual bool Prepare() = 0;
  // Hands of the rows at an address.
  virtual int32_t EntryCount(int turnIndex, int riverIndex) = 0;
  // Action probabilities of every hand at an address into `out` (one array
  // per action, each EntryCount long). The arrays are the caller's: they are
  // resized as needed, so a caller that keeps them allocates nothing.
  virtual void ReadRow(int turnIndex, int riverIndex, const float* defaults, std::vector<AlignedArray>& out) = 0;
  // ReadRow for a caller that multiplies every action's probabilities by
  // `reach` (one double per hand): hands of zero reach may be given
  // probability 0 instead of their stored strategy, where a storage kind can
  // skip them cheaply. Other kinds read the whole row.
  virtual void ReadReachedRow(int turnIndex, int riverIndex, const float* defaults, std::vector<AlignedArray>& out,
                              const double* reach) {
    (void)reach;
    ReadRow(turnIndex, riverIndex, defaults, out);
  }
  // For a caller that uses the probabilities only multiplied by `reach`:
  // out[a] gets ReadReachedRow's row a times the reach, double(p) * reach per
  // hand, and sums[a] (sized to the actions) the sum of those products, added in
  // the order of the solver's row product (per group of eight hands two
  // lanes of four, the lanes added after the last group, then each remaining
  // hand). Returns false, with nothing read, where a storage kind has no such
  // path: the caller then reads the row and multiplies it itself.
  virtual bool ReadReachProducts(int turnIndex, int riverIndex, const float* defaults,
                                 std::vector<AlignedArray>& out, const double* reach,
                                 std::vector<double>& sums) {
    (void)turnIndex, (void)riverIndex, (void)defaults, (void)out, (void)reach, (void)sums;
    return false;
  }
  // Replaces one action's row with the given values.
  virtual void WriteRow(int turnIndex, int riverIndex, int action, const AlignedArray& values) = 0;
  // Regret update of the node at an address: each action's row moves by the
  // difference between the action's value and the node's value per hand.
  // `alternative` is a per-hand weight row (null from the solver); `segments`
  // the hand-group sizes of the board (null without groups).
  virtual void UpdateRow(int turnIndex, int riverIndex, const AlignedArray& nodeValues,
                         const std::vector<AlignedArray>& actionValues, const AlignedArray* alternative,
                         const std::vector<int16_t>* segments, double scale) = 0;
  // Adds weight * strategy * reach into each action's row; nothing when
  // weight <= 0.
  virtual void AccumulateRow(int turnIndex, int riverIndex, const std::vector<AlignedArray>& strategy,
                             const AlignedArray& reach, double weight) = 0;
  // Stored elements (all actions, all boards): -1 the whole storage.
  virtual int64_t ElementCount(int turnIndex) = 0;
  virtual void Save(BinaryWriter& writer) = 0;
  virtual void Load(BinaryReader& reader) = 0;
  // Make one turn card's river data available and put it away again; only
  // compressed river storage does work here.
  virtual void* OpenBoard(void* buffer, int turnIndex, int64_t sizeHint) = 0;
  virtual void* CloseBoard(void* buffer, int turnIndex, int flag) = 0;
  // The lock record of an address; never null.
  virtual NodeRecord* GetNodeRecord(int turnIndex, int riverIndex) = 0;
};

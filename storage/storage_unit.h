// The storages of the flop and turn streets. A StorageUnit holds one node's
// rows for one board: one float row per action, one element per hand of the
// board's list. A TurnStorage holds one StorageUnit per dealt turn card and
// forwards every operation to the unit of the addressed card. Both keep
// regrets and strategy sums at full single precision.
#pragma once

#include <cstdint>
#include <vector>

#include "game/aligned_array.h"
#include "storage/float_rows.h"
#include "storage/prob_kernels.h"
#include "storage/storage_interface.h"

class StorageUnit : public StorageInterface {
 public:
  StorageUnit(int actionCount, int handCount);
  ~StorageUnit() override = default;
  StorageUnit(StorageUnit&&) noexcept = default;
  StorageUnit& operator=(StorageUnit&&) = delete;
  StorageUnit(const StorageUnit&) = delete;
  StorageUnit& operator=(const StorageUnit&) = delete;

  // Gives every row handCount zeros; false when memory is missing. A unit
  // that is already prepared keeps its rows (nothing is reallocated or
  // cleared), so a second call is free.
  bool Prepare() override;
  int32_t EntryCount(int turnIndex, int riverIndex) override;
  // actionCount arrays of handCount probabilities; before the first Prepare
  // (or write) actionCount empty arrays.
  void ReadRow(int turnIndex, int riverIndex, const float* defaults, std::vector<AlignedArray>& out) override;
  // Stores the values as floats in the action's row, which keeps handCount
  // elements: values past the row are ignored, a shorter or block-less array
  // leaves zeros, negative and NaN values store 0. Prepares the unit first
  // when needed. An action outside the node ends the process through Fail.
  void WriteRow(int turnIndex, int riverIndex, int action, const AlignedArray& values) override;
  // The float regret update of every row with the unit's mask; the scale and
  // the two optional arrays are not used. Actions without a value array and
  // an unprepared unit are left alone.
  void UpdateRow(int turnIndex, int riverIndex, const AlignedArray& nodeValues,
                 const std::vector<AlignedArray>& actionValues, const AlignedArray* alternative,
                 const std::vector<int16_t>* segments, double scale) override;
  // The float accumulation of every row with the unit's mask.
  void AccumulateRow(int turnIndex, int riverIndex, const std::vector<AlignedArray>& strategy,
                     const AlignedArray& reach, double weight) override;
  // Elements of all rows (0 before Prepare); the argument is ignored.
  int64_t ElementCount(int turnIndex) override;
  // NodeRecordBlock, then handCount f32 per row in action order.
  void Save(BinaryWriter& writer) override;
  // Reads what Save writes, preparing the rows first when needed; negative
  // and NaN values read as 0.
  void Load(BinaryReader& reader) override;
  void* OpenBoard(void* buffer, int turnIndex, int64_t sizeHint) override;
  void* CloseBoard(void* buffer, int turnIndex, int flag) override;
  NodeRecord* GetNodeRecord(int turnIndex, int riverIndex) override;

  int ActionCount() const { return actionCount; }
  int HandCount() const { return handCount; }
  // The stored row of one action (null before Prepare); for tests and reports.
  const float* RowData(int action) const;

 private:
  bool Prepared() const;
  // Prepares the rows for a writer; AllocationFailed when they cannot be had.
  void RowsForWriting();

  int32_t actionCount;
  int32_t handCount;
  std::vector<AlignedFloatArray> rows;
  NodeRecord record;
};

class TurnStorage : public StorageInterface {
 public:
  // One unit per dealt turn card, unit i with turnHandCounts[i] hands.
  TurnStorage(int actionCount, const std::vector<uint32_t>& turnHandCounts);
  ~TurnStorage() override = default;
  TurnStorage(const TurnStorage&) = delete;
  TurnStorage& operator=(const TurnStorage&) = delete;

  bool Prepare() override;
  // Every addressed operation goes to the unit at the turn index; an index
  // outside the units ends the process through Fail.
  int32_t EntryCount(int turnIndex, int riverIndex) override;
  void ReadRow(int turnIndex, int riverIndex, const float* defaults, std::vector<AlignedArray>& out) override;
  void WriteRow(int turnIndex, int riverIndex, int action, const AlignedArray& values) override;
  void UpdateRow(int turnIndex, int riverIndex, const AlignedArray& nodeValues,
                 const std::vector<AlignedArray>& actionValues, const AlignedArray* alternative,
                 const std::vector<int16_t>* segments, double scale) override;
  // Nothing when weight <= 0 (the unit is not reached).
  void AccumulateRow(int turnIndex, int riverIndex, const std::vector<AlignedArray>& strategy,
                     const AlignedArray& reach, double weight) override;
  // Sum over all units, whatever the argument.
  int64_t ElementCount(int turnIndex) override;
  // The unit records one after the other in turn-list order.
  void Save(BinaryWriter& writer) override;
  void Load(BinaryReader& reader) override;
  void* OpenBoard(void* buffer, int turnIndex, int64_t sizeHint) override;
  void* CloseBoard(void* buffer, int turnIndex, int flag) override;
  NodeRecord* GetNodeRecord(int turnIndex, int riverIndex) override;

  size_t UnitCount() const { return units.size(); }
  StorageUnit& Unit(int turnIndex);

 private:
  std::vector<StorageUnit> units;
};

// Probabilities of k rows of n hands into out[0 .. k-1] (each already sized
// to n) by the probability rule: per hand the rows are summed in single
// precision in action order, and each row is divided by the sum where it is
// at least FLT_MIN, else the action's default (0 with null defaults). rowAt(a)
// gives action a's row, or null for a row that reads as zeros. Two and three
// rows use the dedicated kernels; other counts sum into a stack buffer chunk
// by chunk, so nothing is allocated.
template <typename RowAt>
void FloatRowsToProbabilities(RowAt rowAt, int k, int n, const float* defaults, AlignedArray* out) {
  if (k <= 0 || n <= 0) return;
  if (k == 2) {
    FloatsToProbs2(rowAt(0), rowAt(1), out[0].data, out[1].data, n, defaults);
    return;
  }
  if (k == 3) {
    FloatsToProbs3(rowAt(0), rowAt(1), rowAt(2), out[0].data, out[1].data, out[2].data, n, defaults);
    return;
  }
  constexpr int kChunk = 1088;
  alignas(32) float totals[kChunk];
  for (int start = 0; start < n; start += kChunk) {
    const int len = n - start < kChunk ? n - start : kChunk;
    for (int i = 0; i < len; ++i) totals[i] = 0.0f;
    for (int a = 0; a < k; ++a) {
      const float* row = rowAt(a);
      if (row) AddFloatRow(totals, row + start, len);
    }
    for (int a = 0; a < k; ++a) {
      const float* row = rowAt(a);
      FloatsToProbs(out[a].data + start, row ? row + start : nullptr, totals, len, defaults ? defaults[a] : 0.0f);
    }
  }
}

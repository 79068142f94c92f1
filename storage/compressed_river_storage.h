// River storage kept coded in storage streams, one board (turn card) at a
// time decoded into a working buffer while that board's river sub-tree is
// solved or queried.
//
// Opening a board for the river nodes of one player walks them in a fixed
// order: the first node opened with no stream owns the player's stream of
// that board (it makes the stream and decodes its own rows first); every
// later node decodes its rows from the same stream where the previous one
// stopped. Closing walks the same nodes in the same order; the first node
// closed with write re-encodes into its stream (BeginWrite) and the later
// ones append. The walker ends each read pass with EndRead and each write
// pass with EndWrite on the streams the walk returned.
//
// Rows: for each action, then each entry of the board in order; a row is
// coded against the same action's row of the previous entry when that entry
// has at least as many hands (neighbouring runouts hold similar values).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "storage/river_storage.h"
#include "storage/storage_stream.h"

class CompressedRiverStorage : public RiverStorageBase {
 public:
  // sixteenBit: 16-bit regret counts, else 32-bit strategy sums; level 1
  // packs rows (FastStorageStream), level 2 entropy-codes them
  // (CompressedStorageStream).
  CompressedRiverStorage(const StorageLayout* layout, bool sixteenBit, int level);
  ~CompressedRiverStorage() override;

  // Nothing to allocate: memory comes with OpenBoard.
  bool Prepare() override { return true; }
  // Probabilities of an open board's rows; a 16-bit storage uses the
  // defaults where a hand's counts are all 0, a 32-bit one defaults[a] (0
  // with null defaults) where its sums are. "not open" failure otherwise.
  void ReadRow(int board, int node, const float* defaults, std::vector<AlignedArray>& out) override;
  void ReadReachedRow(int board, int node, const float* defaults, std::vector<AlignedArray>& out,
                      const double* reach) override;
  // 16-bit: the values truncated and saturated to 0..65535; 32-bit: rounded
  // and saturated to 0..2^31-1. Missing values store 0.
  void WriteRow(int board, int node, int action, const AlignedArray& values) override;
  // The companded 16-bit update of each action row (32-bit storages: nothing).
  void UpdateRow(int board, int node, const AlignedArray& nodeValues, const std::vector<AlignedArray>& actionValues,
                 const AlignedArray* extra, const std::vector<int16_t>* segments, double scale) override;
  // The rounded accumulation of each 32-bit action row (16-bit: nothing).
  void AccumulateRow(int board, int node, const std::vector<AlignedArray>& strategy, const AlignedArray& reach,
                     double weight) override;
  // board < 0: the layout's element total; otherwise actions x the board's
  // hands (unpadded).
  int64_t ElementCount(int board) override;
  void Save(BinaryWriter& writer) override;
  void Load(BinaryReader& reader) override;
  // stream: the player's stream of this walk, or null for the owner.
  void* OpenBoard(void* stream, int board, int64_t sizeHint) override;
  void* CloseBoard(void* stream, int board, int write) override;

  bool IsOpen(int board) const;
  bool SixteenBit() const { return sixteenBit_; }
  int Level() const { return level_; }
  // The stream this storage owns for a board (null until first opened).
  StorageStreamInterface* Stream(int board) const;
  // An open board's stored row of an address (entry hands long).
  const uint16_t* RowData16(int board, int node, int action) const;
  const uint32_t* RowData32(int board, int node, int action) const;

 private:
  void CheckBoard(int board) const;
  // Element offset of an entry's action row within its board's buffer.
  size_t RowOffset(uint32_t entry, int board, int action) const;
  uint8_t* OpenBuffer(int board, uint32_t entry) const;
  StorageStreamInterface* NewStream(int64_t sizeHint) const;

  std::vector<std::unique_ptr<StorageStreamInterface>> streams_;
  std::vector<uint8_t*> buffers_;
  // Explicit open flags: a board without elements has no buffer yet is open.
  std::vector<uint8_t> open_;
  int level_;
  bool sixteenBit_;
};

#include "storage/compressed_river_storage.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/binary_reader.h"
#include "core/cpu_info.h"
#include "core/output.h"
#include "core/parallel.h"
#include "game/block_allocator.h"
#include "game/deal_table.h"
#include "storage/compressed_kernels_variants.h"
#include "storage/prob_kernels.h"
#include "storage/update_kernels.h"

namespace {

inline size_t PaddedHands(uint32_t hands) { return (static_cast<size_t>(hands) + 3) & ~static_cast<size_t>(3); }

// Per-hand totals of rows with other action counts are summed in this many
// entries at a time (a river row has at most 1081 hands, so one chunk).
constexpr int kTotalsChunk = 1088;

// A strategy-sum value as stored: rounded, NaN and negatives 0, at most
// 2^31 - 1 (the accumulation kernel works on signed 32-bit sums).
inline uint32_t ToStoredSum(double v) {
  if (!(v > 0.0)) return 0;
  const double r = std::floor(v + 0.5);
  return r >= 2147483647.0 ? 2147483647u : static_cast<uint32_t>(r);
}

}  // namespace

CompressedRiverStorage::CompressedRiverStorage(const StorageLayout* layout_, bool sixteenBit, int level)
    : RiverStorageBase(layout_),
      streams_(layout_ ? layout_->turnCount : 0),
      buffers_(layout_ ? layout_->turnCount : 0, nullptr),
      open_(layout_ ? layout_->turnCount : 0, 0),
      level_(level),
      sixteenBit_(sixteenBit) {}

CompressedRiverStorage::~CompressedRiverStorage() {
  for (uint8_t* buffer : buffers_) FreeAlignedBlock(buffer);
}

void CompressedRiverStorage::CheckBoard(int board) const {
  if (board < 0 || static_cast<size_t>(board) >= streams_.size()) Fail("turn index outside the river layout");
}

bool CompressedRiverStorage::IsOpen(int board) const {
  return board >= 0 && static_cast<size_t>(board) < open_.size() && open_[board] != 0;
}

StorageStreamInterface* CompressedRiverStorage::Stream(int board) const {
  CheckBoard(board);
  return streams_[board].get();
}

StorageStreamInterface* CompressedRiverStorage::NewStream(int64_t sizeHint) const {
  const int width = sixteenBit_ ? 2 : 4;
  if (level_ == 1) return new FastStorageStream(sizeHint, width);
  return new CompressedStorageStream(sizeHint, width);
}

size_t CompressedRiverStorage::RowOffset(uint32_t entry, int board, int action) const {
  if (action < 0 || static_cast<uint32_t>(action) >= layout->actionCount) Fail("action outside the river node");
  const LayoutPair& e = layout->entries[entry];
  return static_cast<size_t>(e.start - layout->turnSpans[board].start) +
         static_cast<size_t>(action) * PaddedHands(e.count);
}

uint8_t* CompressedRiverStorage::OpenBuffer(int board, uint32_t) const {
  if (!IsOpen(board)) Fail("not open");
  return buffers_[board];
}

int64_t CompressedRiverStorage::ElementCount(int board) {
  if (!layout) return 0;
  if (board < 0) return layout->elementTotal;
  CheckBoard(board);
  const LayoutPair& slice = layout->turnIndex[board];
  const LayoutPair* entries = layout->entries + slice.start;
  const int64_t hands = UseAvx2FmaKernels() ? kernels_avx2::SumEntryCounts(entries, slice.count)
                                            : kernels_avx::SumEntryCounts(entries, slice.count);
  return hands * layout->actionCount;
}

void* CompressedRiverStorage::OpenBoard(void* stream, int board, int64_t sizeHint) {
  CheckBoard(board);
  if (open_[board]) Fail("board opened twice");
  StorageStreamInterface* s = static_cast<StorageStreamInterface*>(stream);
  if (!s) {
    if (!streams_[board]) streams_[board].reset(NewStream(sizeHint));
    s = streams_[board].get();
    if (s->HasData()) s->BeginRead();
  }
  const size_t width = sixteenBit_ ? 2 : 4;
  const size_t bytes = static_cast<size_t>(layout->turnSpans[board].count) * width;
  uint8_t* buffer = nullptr;
  if (bytes > 0) {
    buffer = static_cast<uint8_t*>(AllocateAlignedBlock(bytes, 128));
    if (!buffer) AllocationFailed();
  }
  buffers_[board] = buffer;
  open_[board] = 1;
  if (!s->HasData()) {
    if (bytes > 0) memset(buffer, 0, bytes);
    return s;
  }
  const LayoutPair& slice = layout->turnIndex[board];
  const int actions = static_cast<int>(layout->actionCount);
  for (int a = 0; a < actions; ++a) {
    for (uint32_t e = slice.start; e < slice.start + slice.count; ++e) {
      const uint32_t n = layout->entries[e].count;
      const bool chained = e > slice.start && n <= layout->entries[e - 1].count;
      uint8_t* row = buffer + RowOffset(e, board, a) * width;
      const uint8_t* previous = chained ? buffer + RowOffset(e - 1, board, a) * width : nullptr;
      const size_t padded = PaddedHands(n);
      if (sixteenBit_) {
        s->ReadRow16(reinterpret_cast<uint16_t*>(row), reinterpret_cast<const uint16_t*>(previous),
                     static_cast<int>(n));
      } else {
        s->ReadRow32(reinterpret_cast<uint32_t*>(row), reinterpret_cast<const uint32_t*>(previous),
                     static_cast<int>(n));
      }
      if (padded > n) memset(row + n * width, 0, (padded - n) * width);
    }
  }
  return s;
}

void* CompressedRiverStorage::CloseBoard(void* stream, int board, int write) {
  CheckBoard(board);
  if (!open_[board]) return nullptr;
  uint8_t* buffer = buffers_[board];
  StorageStreamInterface* s = static_cast<StorageStreamInterface*>(stream);
  if (write) {
    if (!s) {
      // The walk's first writer owns the stream; it was made when the board
      // was opened.
      if (!streams_[board]) Fail("no stream to write");
      s = streams_[board].get();
      s->BeginWrite();
    }
    const size_t width = sixteenBit_ ? 2 : 4;
    const LayoutPair& slice = layout->turnIndex[board];
    const int actions = static_cast<int>(layout->actionCount);
    for (int a = 0; a < actions; ++a) {
      for (uint32_t e = slice.start; e < slice.start + slice.count; ++e) {
        const uint32_t n = layout->entries[e].count;
        const bool chained = e > slice.start && n <= layout->entries[e - 1].count;
        const uint8_t* row = buffer + RowOffset(e, board, a) * width;
        const uint8_t* previous = chained ? buffer + RowOffset(e - 1, board, a) * width : nullptr;
        if (sixteenBit_) {
          s->WriteRow16(reinterpret_cast<const uint16_t*>(row), reinterpret_cast<const uint16_t*>(previous),
                        static_cast<int>(n));
        } else {
          s->WriteRow32(reinterpret_cast<const uint32_t*>(row), reinterpret_cast<const uint32_t*>(previous),
                        static_cast<int>(n));
        }
      }
    }
  }
  FreeAlignedBlock(buffer);
  buffers_[board] = nullptr;
  open_[board] = 0;
  return s;
}

const uint16_t* CompressedRiverStorage::RowData16(int board, int node, int action) const {
  const uint32_t entry = EntryIndex(board, node);
  if (!sixteenBit_) Fail("not a 16-bit storage");
  return reinterpret_cast<const uint16_t*>(OpenBuffer(board, entry)) + RowOffset(entry, board, action);
}

const uint32_t* CompressedRiverStorage::RowData32(int board, int node, int action) const {
  const uint32_t entry = EntryIndex(board, node);
  if (sixteenBit_) Fail("not a 32-bit storage");
  return reinterpret_cast<const uint32_t*>(OpenBuffer(board, entry)) + RowOffset(entry, board, action);
}

void CompressedRiverStorage::ReadRow(int board, int node, const float* defaults, std::vector<AlignedArray>& out) {
  ReadReachedRow(board, node, defaults, out, nullptr);
}

void CompressedRiverStorage::ReadReachedRow(int board, int node, const float* defaults,
                                            std::vector<AlignedArray>& out, const double* reach) {
  const uint32_t entry = EntryIndex(board, node);
  const uint8_t* buffer = OpenBuffer(board, entry);
  const LayoutPair& e = layout->entries[entry];
  const int actions = static_cast<int>(layout->actionCount);
  const int hands = static_cast<int>(e.count);
  SizeResultRows(out, static_cast<size_t>(actions), e.count);
  if (hands == 0) return;
  const size_t stride = PaddedHands(e.count);
  alignas(32) uint32_t totals[kTotalsChunk];
  if (sixteenBit_) {
    const uint16_t* base = reinterpret_cast<const uint16_t*>(buffer) + RowOffset(entry, board, 0);
    if (actions == 2) {
      CountsToProbs2(base, base + stride, out[0].data, out[1].data, hands, defaults, reach);
      return;
    }
    if (actions == 3) {
      CountsToProbs3(base, base + stride, base + 2 * stride, out[0].data, out[1].data, out[2].data, hands,
                     defaults, reach);
      return;
    }
    if (actions == 4) {
      CountsToProbs4(base, base + stride, base + 2 * stride, base + 3 * stride, out[0].data, out[1].data,
                     out[2].data, out[3].data, hands, defaults);
      return;
    }
    for (int start = 0; start < hands; start += kTotalsChunk) {
      const int len = std::min(hands - start, kTotalsChunk);
      memset(totals, 0, static_cast<size_t>(len) * sizeof(uint32_t));
      for (int a = 0; a < actions; ++a) AddU16ToU32(totals, base + a * stride + start, len);
      for (int a = 0; a < actions; ++a)
        CountsToProbs1(base + a * stride + start, totals, out[a].data + start, len, defaults ? defaults[a] : 0.0f);
    }
    return;
  }
  // Strategy sums: K sums of up to 2^31 - 1 each overflow a 32-bit total, so
  // the totals are taken exactly in double precision.
  const uint32_t* base = reinterpret_cast<const uint32_t*>(buffer) + RowOffset(entry, board, 0);
  if (UseAvx2FmaKernels())
    kernels_avx2::SumsToProbs(base, stride, actions, out.data(), hands, defaults);
  else
    kernels_avx::SumsToProbs(base, stride, actions, out.data(), hands, defaults);
}

void CompressedRiverStorage::WriteRow(int board, int node, int action, const AlignedArray& values) {
  const uint32_t entry = EntryIndex(board, node);
  uint8_t* buffer = OpenBuffer(board, entry);
  const uint32_t hands = layout->entries[entry].count;
  const size_t offset = RowOffset(entry, board, action);
  const int stored = values.data ? static_cast<int>(std::min(values.count, hands)) : 0;
  if (sixteenBit_) {
    uint16_t* row = reinterpret_cast<uint16_t*>(buffer) + offset;
    QuantizeToU16(row, values.data, stored);
    std::fill(row + stored, row + hands, uint16_t{0});
    return;
  }
  uint32_t* row = reinterpret_cast<uint32_t*>(buffer) + offset;
  for (int i = 0; i < stored; ++i) row[i] = ToStoredSum(values.data[i]);
  std::fill(row + stored, row + hands, 0u);
}

void CompressedRiverStorage::UpdateRow(int board, int node, const AlignedArray& nodeValues,
                                       const std::vector<AlignedArray>& actionValues, const AlignedArray* extra,
                                       const std::vector<int16_t>* segments, double scale) {
  const uint32_t entry = EntryIndex(board, node);
  uint8_t* buffer = OpenBuffer(board, entry);
  if (!sixteenBit_) return;
  const LayoutPair& e = layout->entries[entry];
  const NodeRecord& record = records[entry];
  // The update runs over the node values' hands: never more than the row has.
  AlignedArray x = nodeValues;
  x.count = std::min(x.count, e.count);
  const size_t actions = std::min<size_t>(layout->actionCount, actionValues.size());
  for (size_t a = 0; a < actions; ++a) {
    uint16_t* row = reinterpret_cast<uint16_t*>(buffer) + RowOffset(entry, board, static_cast<int>(a));
    if (extra)
      AccumulateCompandU16(row, x, actionValues[a], *extra, segments, scale);
    else
      UpdateCompandedU16(row, x, actionValues[a], segments, record.mask, record.maskLength, scale);
  }
}

void CompressedRiverStorage::AccumulateRow(int board, int node, const std::vector<AlignedArray>& strategy,
                                           const AlignedArray& reach, double weight) {
  const uint32_t entry = EntryIndex(board, node);
  uint8_t* buffer = OpenBuffer(board, entry);
  if (!(weight > 0.0) || sixteenBit_) return;
  const LayoutPair& e = layout->entries[entry];
  const NodeRecord& record = records[entry];
  const size_t actions = std::min<size_t>(layout->actionCount, strategy.size());
  for (size_t a = 0; a < actions; ++a) {
    AlignedArray s = strategy[a];
    s.count = std::min(s.count, e.count);
    int32_t* row = reinterpret_cast<int32_t*>(buffer) + RowOffset(entry, board, static_cast<int>(a));
    AccumulateRounded(row, s, reach, record.mask, record.maskLength, weight);
  }
}

void CompressedRiverStorage::Save(BinaryWriter& writer) {
  const uint32_t total = EntryTotal();
  for (uint32_t e = 0; e < total; ++e) SaveNodeRecord(records[e], writer);
  const uint8_t hasStreams = !streams_.empty() && streams_[0] ? 1 : 0;
  writer.write(&hasStreams, 1);
  if (!hasStreams) return;
  for (size_t b = 0; b < streams_.size(); ++b) {
    if (streams_[b]) {
      streams_[b]->Save(writer);
    } else {
      // A board never opened is saved as an empty stream.
      std::unique_ptr<StorageStreamInterface> empty(NewStream(0));
      empty->Save(writer);
    }
  }
}

void CompressedRiverStorage::Load(BinaryReader& reader) {
  LoadNodeRecords(reader);
  const uint8_t hasStreams = ReadValue<uint8_t>(reader);
  if (!hasStreams) return;
  for (size_t b = 0; b < streams_.size(); ++b) {
    if (open_[b]) Fail("board open while loading");
    std::unique_ptr<StorageStreamInterface> stream(level_ == 1 ? static_cast<StorageStreamInterface*>(
                                                                     new FastStorageStream())
                                                               : new CompressedStorageStream());
    stream->Load(reader);
    streams_[b] = std::move(stream);
  }
}

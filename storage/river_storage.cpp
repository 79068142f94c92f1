#include "storage/river_storage.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "core/binary_reader.h"
#include "core/output.h"
#include "core/parallel.h"
#include "game/deal_table.h"
#include "storage/float_rows.h"
#include "storage/packed_rows.h"
#include "storage/prob_kernels.h"
#include "storage/storage_unit.h"
#include "storage/update_kernels.h"

namespace {

// Elements a row of h hands occupies in the buffer: h rounded up to 4.
inline size_t PaddedHands(uint32_t hands) { return (static_cast<size_t>(hands) + 3) & ~static_cast<size_t>(3); }

// Values a caller's array supplies for a row of n hands (none without a block).
inline int SuppliedHands(const AlignedArray& values, uint32_t n) {
  return values.data ? static_cast<int>(std::min(values.count, n)) : 0;
}

// Asks for the cache lines of [p, p + bytes) ahead of their use. A walk of
// the river sub-games visits a node's entries in river order, so the next
// entry's rows are wanted once the current river's sub-game is done; they come
// from memory (the river rows are far larger than the caches) and would
// otherwise stall the row reads.
inline void PrefetchRows(const void* p, size_t bytes) {
  const char* c = static_cast<const char*>(p);
  if (c == nullptr) return;
  for (size_t off = 0; off < bytes; off += 64) __builtin_prefetch(c + off, 0, 2);
}

void FillDefaults(std::vector<AlignedArray>& out, const float* defaults) {
  for (size_t a = 0; a < out.size(); ++a)
    std::fill(out[a].data, out[a].data + out[a].count, defaults ? static_cast<double>(defaults[a]) : 0.0);
}

}  // namespace

// --- RiverStorageBase ----------------------------------------------------------------

RiverStorageBase::RiverStorageBase(const StorageLayout* layout_)
    : layout(layout_), records(std::make_unique<NodeRecord[]>(layout_ ? layout_->entryTotal : 0)) {}

uint32_t RiverStorageBase::EntryTotal() const { return layout ? layout->entryTotal : 0; }

uint32_t RiverStorageBase::EntryIndex(int turnIndex, int riverIndex) const {
  if (!layout || turnIndex < 0 || static_cast<uint32_t>(turnIndex) >= layout->turnCount)
    Fail("turn index outside the river layout");
  const LayoutPair& turn = layout->turnIndex[turnIndex];
  if (riverIndex < 0 || static_cast<uint32_t>(riverIndex) >= turn.count) Fail("river index outside the river layout");
  const uint64_t entry = static_cast<uint64_t>(turn.start) + static_cast<uint32_t>(riverIndex);
  if (entry >= layout->entryTotal) Fail("river layout entry outside its table");
  return static_cast<uint32_t>(entry);
}

int32_t RiverStorageBase::EntryCount(int turnIndex, int riverIndex) {
  return static_cast<int32_t>(layout->entries[EntryIndex(turnIndex, riverIndex)].count);
}

int64_t RiverStorageBase::ElementCount(int) { return layout ? layout->elementTotal : 0; }

void* RiverStorageBase::OpenBoard(void*, int, int64_t) { return nullptr; }
void* RiverStorageBase::CloseBoard(void*, int, int) { return nullptr; }

NodeRecord* RiverStorageBase::GetNodeRecord(int turnIndex, int riverIndex) {
  return &records[EntryIndex(turnIndex, riverIndex)];
}

void RiverStorageBase::LoadNodeRecords(BinaryReader& reader) {
  const uint32_t total = EntryTotal();
  for (uint32_t e = 0; e < total; ++e) LoadNodeRecord(records[e], reader, static_cast<int32_t>(layout->entries[e].count));
}

// --- UncompressedRiverStorage ----------------------------------------------------------

namespace {

// Commits the pages of a new, zeroed buffer at once. The rows are read before
// they are first written, so a page left to the first touch is mapped to the
// shared zero page by the read and copied on the write; that copy flushes the
// TLBs of every running worker, and the flushes cost the parallel passes far
// more than committing the pages here. The pages are committed in slices of
// 256 KB by the worker team (the kernel's page zeroing is the cost, and it
// spreads over the threads); where MADV_POPULATE_WRITE is missing or refused,
// one byte per page is written instead.
void CommitPages(uint8_t* block, size_t bytes) {
  constexpr uintptr_t kPage = 4096, kSlice = uintptr_t{1} << 18;
  const uintptr_t begin = reinterpret_cast<uintptr_t>(block) & ~(kPage - 1);
  const uintptr_t end = reinterpret_cast<uintptr_t>(block) + bytes;
  const int slices = static_cast<int>((end - begin + kSlice - 1) / kSlice);
  // Page-aligned slices; the first starts at the block's first page, whose
  // head before the block the block itself never touches.
  ForEachIndex(slices, [&](int k) {
    const uintptr_t first = begin + static_cast<uintptr_t>(k) * kSlice;
    const uintptr_t last = std::min(end, first + kSlice);
#ifdef MADV_POPULATE_WRITE
    const uintptr_t from = std::max(first, (reinterpret_cast<uintptr_t>(block) + kPage - 1) & ~(kPage - 1));
    const uintptr_t to = last & ~(kPage - 1);
    if (to > from && madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE) != 0)
      for (uintptr_t p = from; p < to; p += kPage) *reinterpret_cast<volatile uint8_t*>(p) = 0;
#else
    for (uintptr_t p = std::max(first, reinterpret_cast<uintptr_t>(block)); p < last; p += kPage)
      *reinterpret_cast<volatile uint8_t*>(p) = 0;
#endif
  }, slices > 1 ? omp_get_max_threads() : 1);
}

}  // namespace

UncompressedRiverStorage::UncompressedRiverStorage(const StorageLayout* layout_) : RiverStorageBase(layout_) {}

UncompressedRiverStorage::~UncompressedRiverStorage() { free(buffer); }

bool UncompressedRiverStorage::Prepare() { return AllocateBuffer(true); }

bool UncompressedRiverStorage::AllocateBuffer(bool commit) {
  if (buffer) return true;
  const size_t elements = layout ? layout->paddedElementTotal : 0;
  // calloc hands out zeroed pages; they are committed here, before any pass.
  const size_t bytes = (elements ? elements : 1) * static_cast<size_t>(ElementSize());
  buffer = static_cast<uint8_t*>(calloc(bytes, 1));
  if (!buffer) return false;
  if (commit) CommitPages(buffer, bytes);
  return true;
}

void UncompressedRiverStorage::EnsureBuffer() {
  if (buffer || Prepare()) return;
  AllocationFailed();
}

size_t UncompressedRiverStorage::RowOffset(uint32_t entry, int action) const {
  if (action < 0 || static_cast<uint32_t>(action) >= layout->actionCount) Fail("action outside the river node");
  const LayoutPair& e = layout->entries[entry];
  const size_t stride = PaddedHands(e.count);
  const size_t offset = static_cast<size_t>(e.start) + static_cast<size_t>(action) * stride;
  if (offset + stride > layout->paddedElementTotal) Fail("river row outside the storage buffer");
  return offset;
}

const uint8_t* UncompressedRiverStorage::NextEntryRows(int turnIndex, int riverIndex, uint32_t entry,
                                                      size_t& bytes) const {
  bytes = 0;
  if (!buffer || static_cast<uint32_t>(riverIndex) + 1 >= layout->turnIndex[turnIndex].count ||
      entry + 1 >= layout->entryTotal)
    return nullptr;
  const LayoutPair& next = layout->entries[entry + 1];
  const size_t element = static_cast<size_t>(ElementSize());
  bytes = static_cast<size_t>(layout->actionCount) * PaddedHands(next.count) * element;
  return buffer + static_cast<size_t>(next.start) * element;
}

void UncompressedRiverStorage::Save(BinaryWriter&) {}

void UncompressedRiverStorage::AfterRawRowRead(void*, int) {}

void UncompressedRiverStorage::Load(BinaryReader& reader) {
  LoadNodeRecords(reader);
  if (!layout) return;
  const size_t size = static_cast<size_t>(ElementSize());
  const bool packed = size == 2 && reader.formatVersion >= 4;
  // Every row takes at least its raw bytes (packed: its 2-byte length), all
  // of which must still be in the file before the buffer is made.
  RequireBytes(reader, packed ? static_cast<uint64_t>(layout->actionCount) * EntryTotal() : layout->elementTotal,
               packed ? 2 : size);
  if (!AllocateBuffer(false)) throw std::bad_alloc();
  for (uint32_t t = 0; t < layout->turnCount; ++t) {
    const LayoutPair& turn = layout->turnIndex[t];
    for (uint32_t r = 0; r < turn.count; ++r) {
      const uint32_t entry = EntryIndex(static_cast<int>(t), static_cast<int>(r));
      const int hands = static_cast<int>(layout->entries[entry].count);
      for (uint32_t a = 0; a < layout->actionCount; ++a) {
        uint8_t* row = buffer + RowOffset(entry, static_cast<int>(a)) * size;
        if (!packed) {
          reader.read(row, static_cast<uint64_t>(hands) * size);
          AfterRawRowRead(row, hands);
          continue;
        }
        const int16_t length = ReadValue<int16_t>(reader);
        if (length < 1 || length > kMaxPackedRiverRowBytes)
          throw IOException("corrupt river row (packed length " + std::to_string(length) + ")");
        uint8_t bytes[kMaxPackedRiverRowBytes];
        reader.read(bytes, static_cast<uint64_t>(length));
        // The row must use its bytes exactly: a length that disagrees with
        // the packed row means the file is out of step.
        const uint8_t* end =
            UnpackGroupsU16Checked(reinterpret_cast<uint16_t*>(row), hands, bytes, static_cast<size_t>(length));
        if (!end || end != bytes + length)
          throw IOException("corrupt river row (" + std::to_string(hands) + " values do not fit in " +
                            std::to_string(length) + " bytes)");
      }
    }
  }
}

// --- RiverStorage ----------------------------------------------------------------------

RiverStorage::RiverStorage(const StorageLayout* layout_) : UncompressedRiverStorage(layout_) {}

void RiverStorage::AfterRawRowRead(void* row, int hands) {
  if (!SanitizeFloatRow(static_cast<float*>(row), hands)) throw IOException("invalid file");
}

const float* RiverStorage::RowData(int turnIndex, int riverIndex, int action) const {
  const uint32_t entry = EntryIndex(turnIndex, riverIndex);
  const size_t offset = RowOffset(entry, action);
  return buffer ? reinterpret_cast<const float*>(buffer) + offset : nullptr;
}

void RiverStorage::ReadRow(int turnIndex, int riverIndex, const float* defaults, std::vector<AlignedArray>& out) {
  const uint32_t entry = EntryIndex(turnIndex, riverIndex);
  const LayoutPair& e = layout->entries[entry];
  const int actions = static_cast<int>(layout->actionCount);
  SizeResultRows(out, static_cast<size_t>(actions), e.count);
  if (!buffer) {
    FillDefaults(out, defaults);
    return;
  }
  const float* base = reinterpret_cast<const float*>(buffer) + e.start;
  const size_t stride = PaddedHands(e.count);
  size_t aheadBytes = 0;
  PrefetchRows(NextEntryRows(turnIndex, riverIndex, entry, aheadBytes), aheadBytes);
  FloatRowsToProbabilities([base, stride](int a) { return base + static_cast<size_t>(a) * stride; }, actions,
                           static_cast<int>(e.count), defaults, out.data());
}

void RiverStorage::WriteRow(int turnIndex, int riverIndex, int action, const AlignedArray& values) {
  const uint32_t entry = EntryIndex(turnIndex, riverIndex);
  const size_t offset = RowOffset(entry, action);
  EnsureBuffer();
  const uint32_t hands = layout->entries[entry].count;
  float* row = reinterpret_cast<float*>(buffer) + offset;
  const int stored = SuppliedHands(values, hands);
  StoreNonNegativeFloats(row, values.data, stored);
  std::fill(row + stored, row + hands, 0.0f);
}

void RiverStorage::UpdateRow(int turnIndex, int riverIndex, const AlignedArray& nodeValues,
                             const std::vector<AlignedArray>& actionValues, const AlignedArray*,
                             const std::vector<int16_t>*, double) {
  const uint32_t entry = EntryIndex(turnIndex, riverIndex);
  if (!buffer) return;
  const LayoutPair& e = layout->entries[entry];
  const NodeRecord& record = records[entry];
  float* base = reinterpret_cast<float*>(buffer) + e.start;
  const size_t stride = PaddedHands(e.count);
  const size_t actions = std::min<size_t>(layout->actionCount, actionValues.size());
  for (size_t a = 0; a < actions; ++a)
    UpdateFloatRow(base + a * stride, static_cast<int>(e.count), nodeValues, actionValues[a], record.mask,
                   record.maskLength);
}

void RiverStorage::AccumulateRow(int turnIndex, int riverIndex, const std::vector<AlignedArray>& strategy,
                                 const AlignedArray& reach, double weight) {
  if (!(weight > 0.0)) return;
  const uint32_t entry = EntryIndex(turnIndex, riverIndex);
  if (!buffer) return;
  const LayoutPair& e = layout->entries[entry];
  const NodeRecord& record = records[entry];
  float* base = reinterpret_cast<float*>(buffer) + e.start;
  const size_t stride = PaddedHands(e.count);
  size_t aheadBytes = 0;
  PrefetchRows(NextEntryRows(turnIndex, riverIndex, entry, aheadBytes), aheadBytes);
  const size_t actions = std::min<size_t>(layout->actionCount, strategy.size());
  for (size_t a = 0; a < actions; ++a)
    AccumulateFloatRow(base + a * stride, static_cast<int>(e.count), strategy[a], reach, weight, record.mask,
                       record.maskLength);
}

// --- ShortRiverStorage -----------------------------------------------------------------

ShortRiverStorage::ShortRiverStorage(const StorageLayout* layout_) : UncompressedRiverStorage(layout_) {}

const uint16_t* ShortRiverStorage::RowData(int turnIndex, int riverIndex, int action) const {
  const uint32_t entry = EntryIndex(turnIndex, riverIndex);
  const size_t offset = RowOffset(entry, action);
  return buffer ? reinterpret_cast<const uint16_t*>(buffer) + offset : nullptr;
}

void ShortRiverStorage::ReadRow(int turnIndex, int riverIndex, const float* defaults,
                                std::vector<AlignedArray>& out) {
  ReadReachedRow(turnIndex, riverIndex, defaults, out, nullptr);
}

void ShortRiverStorage::ReadReachedRow(int turnIndex, int riverIndex, const float* defaults,
                                       std::vector<AlignedArray>& out, const double* reach) {
  const uint32_t entry = EntryIndex(turnIndex, riverIndex);
  const LayoutPair& e = layout->entries[entry];
  const int actions = static_cast<int>(layout->actionCount);
  const int hands = static_cast<int>(e.count);
  SizeResultRows(out, static_cast<size_t>(actions), e.count);
  if (!buffer) {
    FillDefaults(out, defaults);
    return;
  }
  const uint16_t* base = reinterpret_cast<const uint16_t*>(buffer) + e.start;
  const size_t stride = PaddedHands(e.count);
  size_t aheadBytes = 0;
  const uint8_t* ahead = NextEntryRows(turnIndex, riverIndex, entry, aheadBytes);
  if (actions == 2) {
    CountsToProbs2(base, base + stride, out[0].data, out[1].data, hands, defaults, reach, ahead, aheadBytes);
    return;
  }
  if (actions == 3) {
    CountsToProbs3(base, base + stride, base + 2 * stride, out[0].data, out[1].data, out[2].data, hands, defaults,
                   reach, ahead, aheadBytes);
    return;
  }
  // Four counts sum exactly in float (below 2^24), so the four-row kernel
  // gives what the totals below give.
  if (actions == 4) {
    CountsToProbs4(base, base + stride, base + 2 * stride, base + 3 * stride, out[0].data, out[1].data,
                   out[2].data, out[3].data, hands, defaults, reach, ahead, aheadBytes);
    return;
  }
  PrefetchRows(ahead, aheadBytes);
  // Other action counts: per-hand totals in a fixed stack row (each thread
  // has its own), one chunk of hands at a time.
  alignas(32) uint32_t totals[kShortRiverTotalsEntries];
  for (int start = 0; start < hands; start += kShortRiverTotalsEntries) {
    const int len = std::min(hands - start, kShortRiverTotalsEntries);
    memset(totals, 0, static_cast<size_t>(len) * sizeof(uint32_t));
    for (int a = 0; a < actions; ++a) AddU16ToU32(totals, base + a * stride + start, len);
    for (int a = 0; a < actions; ++a)
      CountsToProbs1(base + a * stride + start, totals, out[a].data + start, len, defaults ? defaults[a] : 0.0f);
  }
}

bool ShortRiverStorage::ReadReachProducts(int turnIndex, int riverIndex, const float* defaults,
                                          std::vector<AlignedArray>& out, const double* reach,
                                          std::vector<double>& sumRows) {
  const int actions = static_cast<int>(layout ? layout->actionCount : 0);
  if (!buffer || actions < 2 || actions > 4) return false;
  const uint32_t entry = EntryIndex(turnIndex, riverIndex);
  const LayoutPair& e = layout->entries[entry];
  const int hands = static_cast<int>(e.count);
  SizeResultRows(out, static_cast<size_t>(actions), e.count);
  sumRows.resize(static_cast<size_t>(actions));
  double* const sums = sumRows.data();
  const uint16_t* base = reinterpret_cast<const uint16_t*>(buffer) + e.start;
  const size_t stride = PaddedHands(e.count);
  size_t aheadBytes = 0;
  const uint8_t* ahead = NextEntryRows(turnIndex, riverIndex, entry, aheadBytes);
  if (actions == 2)
    CountsToReachProducts2(base, base + stride, out[0].data, out[1].data, hands, defaults, reach, sums, ahead,
                           aheadBytes);
  else if (actions == 3)
    CountsToReachProducts3(base, base + stride, base + 2 * stride, out[0].data, out[1].data, out[2].data, hands,
                           defaults, reach, sums, ahead, aheadBytes);
  else
    CountsToReachProducts4(base, base + stride, base + 2 * stride, base + 3 * stride, out[0].data, out[1].data,
                           out[2].data, out[3].data, hands, defaults, reach, sums, ahead, aheadBytes);
  return true;
}

void ShortRiverStorage::WriteRow(int turnIndex, int riverIndex, int action, const AlignedArray& values) {
  const uint32_t entry = EntryIndex(turnIndex, riverIndex);
  const size_t offset = RowOffset(entry, action);
  EnsureBuffer();
  const uint32_t hands = layout->entries[entry].count;
  uint16_t* row = reinterpret_cast<uint16_t*>(buffer) + offset;
  const int stored = SuppliedHands(values, hands);
  QuantizeToU16(row, values.data, stored);
  std::fill(row + stored, row + hands, uint16_t{0});
}

void ShortRiverStorage::UpdateRow(int turnIndex, int riverIndex, const AlignedArray& nodeValues,
                                  const std::vector<AlignedArray>& actionValues, const AlignedArray*,
                                  const std::vector<int16_t>* segments, double scale) {
  const uint32_t entry = EntryIndex(turnIndex, riverIndex);
  if (!buffer) return;
  const LayoutPair& e = layout->entries[entry];
  const NodeRecord& record = records[entry];
  uint16_t* base = reinterpret_cast<uint16_t*>(buffer) + e.start;
  const size_t stride = PaddedHands(e.count);
  // The update runs over the node values' hands: never more than the row has.
  AlignedArray x = nodeValues;
  x.count = std::min(x.count, e.count);
  const size_t actions = std::min<size_t>(layout->actionCount, actionValues.size());
  for (size_t a = 0; a < actions; ++a)
    UpdateCompandedU16(base + a * stride, x, actionValues[a], segments, record.mask, record.maskLength, scale);
}

void ShortRiverStorage::AccumulateRow(int, int, const std::vector<AlignedArray>&, const AlignedArray&, double) {}

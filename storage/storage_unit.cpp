#include "storage/storage_unit.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <climits>
#include <cstring>

#include "core/binary_reader.h"
#include "core/cpu_info.h"
#include "core/output.h"
#include "core/parallel.h"
#include "storage/float_rows.h"

// --- Float row entries --------------------------------------------------------------

namespace {

// How many of a row's n hands an optional array covers: none without a block.
int CoveredHands(const void* data, int64_t count, int n) {
  if (!data) return 0;
  return static_cast<int>(std::min<int64_t>(std::max<int64_t>(count, 0), n));
}

// The next position after `start` where one of the covered ranges ends.
int NextBreak(int start, int n, int a, int b, int c) {
  int next = n;
  for (int end : {a, b, c})
    if (end > start) next = std::min(next, end);
  return next;
}

}  // namespace

void UpdateFloatRow(float* row, int n, const AlignedArray& nodeValues, const AlignedArray& actionValues,
                    const uint8_t* mask, int32_t maskLength) {
  if (!row || n <= 0) return;
  const int xEnd = CoveredHands(nodeValues.data, nodeValues.count, n);
  const int yEnd = CoveredHands(actionValues.data, actionValues.count, n);
  const int maskEnd = CoveredHands(mask, maskLength, n);
  const bool avx2 = UseAvx2FmaKernels();
  // The row is cut where an array ends, so every stretch runs with each array
  // either present throughout or read as zeros.
  for (int start = 0; start < n;) {
    const int end = NextBreak(start, n, xEnd, yEnd, maskEnd);
    const double* x = start < xEnd ? nodeValues.data + start : nullptr;
    const double* y = start < yEnd ? actionValues.data + start : nullptr;
    const uint8_t* m = start < maskEnd ? mask + start : nullptr;
    if (avx2)
      kernels_avx2::FloatRegretUpdate(row + start, x, y, m, end - start);
    else
      kernels_avx::FloatRegretUpdate(row + start, x, y, m, end - start);
    start = end;
  }
}

void AccumulateFloatRow(float* row, int n, const AlignedArray& strategy, const AlignedArray& reach, double weight,
                        const uint8_t* mask, int32_t maskLength) {
  if (!row || n <= 0 || !(weight > 0.0) || !strategy.data || !reach.data) return;
  const int covered =
      std::min(CoveredHands(strategy.data, strategy.count, n), CoveredHands(reach.data, reach.count, n));
  const int maskEnd = CoveredHands(mask, maskLength, covered);
  const bool avx2 = UseAvx2FmaKernels();
  for (int start = 0; start < covered;) {
    const int end = NextBreak(start, covered, maskEnd, maskEnd, maskEnd);
    const uint8_t* m = start < maskEnd ? mask + start : nullptr;
    if (avx2)
      kernels_avx2::FloatSumAccumulate(row + start, strategy.data + start, reach.data + start, m, end - start, weight);
    else
      kernels_avx::FloatSumAccumulate(row + start, strategy.data + start, reach.data + start, m, end - start, weight);
    start = end;
  }
}

void FloatsToProbs(double* out, const float* values, const float* totals, int n, float dflt) {
  if (!out || n <= 0) return;
  if (!totals) {
    std::fill(out, out + n, static_cast<double>(dflt));
  } else if (!values) {
    for (int i = 0; i < n; ++i) out[i] = totals[i] >= FLT_MIN ? 0.0 : static_cast<double>(dflt);
  } else if (UseAvx2FmaKernels()) {
    kernels_avx2::FloatQuotients(out, values, totals, n, dflt);
  } else {
    kernels_avx::FloatQuotients(out, values, totals, n, dflt);
  }
}

void FloatsToProbs(AlignedArray& out, const float* values, int n, const AlignedFloatArray& totals, float dflt) {
  const uint32_t size = n > 0 ? static_cast<uint32_t>(n) : 0;
  if (out.count != size || (!out.data && size)) {
    ReleaseAlignedArray(out);
    out.count = 0;
    ResizeAlignedArray(out, size);
  }
  if (!size) return;
  // Hands past the end of the totals row have no total: they take the default.
  const int covered = CoveredHands(totals.data, totals.count, n);
  FloatsToProbs(out.data, values, totals.data, covered, dflt);
  std::fill(out.data + covered, out.data + n, static_cast<double>(dflt));
}

void AddFloatRow(float* total, const float* v, int n) {
  if (!total || !v || n <= 0) return;
  if (UseAvx2FmaKernels())
    kernels_avx2::AddFloats(total, v, n);
  else
    kernels_avx::AddFloats(total, v, n);
}

void StoreNonNegativeFloats(float* dst, const double* src, int n) {
  if (!dst || n <= 0) return;
  if (!src)
    memset(dst, 0, static_cast<size_t>(n) * sizeof(float));
  else if (UseAvx2FmaKernels())
    kernels_avx2::NonNegativeFloats(dst, src, n);
  else
    kernels_avx::NonNegativeFloats(dst, src, n);
}

bool SanitizeFloatRow(float* row, int n) {
  if (!row) return true;
  for (int i = 0; i < n; ++i) {
    if (!(std::fabs(row[i]) <= kMaxStoredValue)) return false;
    if (row[i] < 0.0f) row[i] = 0.0f;
  }
  return true;
}

// --- StorageUnit ------------------------------------------------------------------------

StorageUnit::StorageUnit(int actionCount_, int handCount_)
    : actionCount(std::max(actionCount_, 0)), handCount(std::max(handCount_, 0)), rows(actionCount) {}

bool StorageUnit::Prepared() const {
  for (const AlignedFloatArray& row : rows)
    if (row.count != static_cast<uint32_t>(handCount) || (!row.data && handCount)) return false;
  return true;
}

bool StorageUnit::Prepare() {
  // A row that cannot be had makes the unit unprepared (the rows made so far
  // stay, zeroed, for the next call); a writer that needs the rows ends the
  // process instead (RowsForWriting).
  try {
    const RecoverableAllocations recoverable;
    for (AlignedFloatArray& row : rows) {
      if (row.data && row.count == static_cast<uint32_t>(handCount)) continue;
      ResizeAlignedFloatArray(row, static_cast<uint32_t>(handCount));
      if (handCount) memset(row.data, 0, static_cast<size_t>(handCount) * sizeof(float));
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void StorageUnit::RowsForWriting() {
  if (!Prepared() && !Prepare()) AllocationFailed();
}

int32_t StorageUnit::EntryCount(int, int) { return handCount; }

void StorageUnit::ReadRow(int, int, const float* defaults, std::vector<AlignedArray>& out) {
  // Before the rows exist every array is empty; the rows come all at once.
  if (actionCount == 0 || !rows[0].data) {
    SizeResultRows(out, static_cast<size_t>(actionCount), 0);
    return;
  }
  SizeResultRows(out, static_cast<size_t>(actionCount), static_cast<uint32_t>(handCount));
  FloatRowsToProbabilities([this](int a) -> const float* { return rows[a].data; }, actionCount, handCount, defaults,
                           out.data());
}

void StorageUnit::WriteRow(int, int, int action, const AlignedArray& values) {
  if (action < 0 || action >= actionCount) Fail("action outside the node");
  RowsForWriting();
  float* row = rows[action].data;
  const int stored = CoveredHands(values.data, values.count, handCount);
  StoreNonNegativeFloats(row, values.data, stored);
  if (row && stored < handCount) memset(row + stored, 0, static_cast<size_t>(handCount - stored) * sizeof(float));
}

void StorageUnit::UpdateRow(int, int, const AlignedArray& nodeValues, const std::vector<AlignedArray>& actionValues,
                            const AlignedArray*, const std::vector<int16_t>*, double) {
  const int actions = std::min(actionCount, static_cast<int>(actionValues.size()));
  for (int a = 0; a < actions; ++a)
    UpdateFloatRow(rows[a].data, handCount, nodeValues, actionValues[a], record.mask, record.maskLength);
}

void StorageUnit::AccumulateRow(int, int, const std::vector<AlignedArray>& strategy, const AlignedArray& reach,
                                double weight) {
  if (!(weight > 0.0)) return;
  const int actions = std::min(actionCount, static_cast<int>(strategy.size()));
  for (int a = 0; a < actions; ++a)
    AccumulateFloatRow(rows[a].data, handCount, strategy[a], reach, weight, record.mask, record.maskLength);
}

int64_t StorageUnit::ElementCount(int) {
  int64_t total = 0;
  for (const AlignedFloatArray& row : rows) total += row.count;
  return total;
}

void StorageUnit::Save(BinaryWriter& writer) {
  SaveNodeRecord(record, writer);
  const size_t bytes = static_cast<size_t>(handCount) * sizeof(float);
  for (const AlignedFloatArray& row : rows) {
    if (row.data) {
      writer.write(row.data, bytes);
      continue;
    }
    // A row that was never allocated holds zeros; the record keeps its shape.
    static const float kZeros[256] = {};
    for (int done = 0; done < handCount;) {
      const int chunk = std::min(handCount - done, 256);
      writer.write(kZeros, static_cast<size_t>(chunk) * sizeof(float));
      done += chunk;
    }
  }
}

void StorageUnit::Load(BinaryReader& reader) {
  LoadNodeRecord(record, reader, handCount);
  RequireBytes(reader, static_cast<uint64_t>(actionCount) * static_cast<uint64_t>(handCount), sizeof(float));
  RowsForWriting();
  for (AlignedFloatArray& row : rows) {
    reader.read(row.data, static_cast<uint64_t>(handCount) * sizeof(float));
    if (!SanitizeFloatRow(row.data, handCount)) throw IOException("invalid file");
  }
}

void* StorageUnit::OpenBoard(void*, int, int64_t) { return nullptr; }
void* StorageUnit::CloseBoard(void*, int, int) { return nullptr; }
NodeRecord* StorageUnit::GetNodeRecord(int, int) { return &record; }

const float* StorageUnit::RowData(int action) const {
  if (action < 0 || action >= actionCount) return nullptr;
  return rows[action].data;
}

// --- TurnStorage ------------------------------------------------------------------------

TurnStorage::TurnStorage(int actionCount, const std::vector<uint32_t>& turnHandCounts) {
  units.reserve(turnHandCounts.size());
  for (uint32_t hands : turnHandCounts)
    units.emplace_back(actionCount, static_cast<int>(std::min<uint32_t>(hands, INT_MAX)));
}

StorageUnit& TurnStorage::Unit(int turnIndex) {
  if (turnIndex < 0 || static_cast<size_t>(turnIndex) >= units.size()) Fail("turn index outside the turn storage");
  return units[static_cast<size_t>(turnIndex)];
}

bool TurnStorage::Prepare() {
  for (StorageUnit& unit : units)
    if (!unit.Prepare()) return false;
  return true;
}

int32_t TurnStorage::EntryCount(int turnIndex, int) { return Unit(turnIndex).EntryCount(-1, -1); }

void TurnStorage::ReadRow(int turnIndex, int, const float* defaults, std::vector<AlignedArray>& out) {
  Unit(turnIndex).ReadRow(-1, -1, defaults, out);
}

void TurnStorage::WriteRow(int turnIndex, int, int action, const AlignedArray& values) {
  Unit(turnIndex).WriteRow(-1, -1, action, values);
}

void TurnStorage::UpdateRow(int turnIndex, int, const AlignedArray& nodeValues,
                            const std::vector<AlignedArray>& actionValues, const AlignedArray* alternative,
                            const std::vector<int16_t>* segments, double scale) {
  Unit(turnIndex).UpdateRow(-1, -1, nodeValues, actionValues, alternative, segments, scale);
}

void TurnStorage::AccumulateRow(int turnIndex, int, const std::vector<AlignedArray>& strategy,
                                const AlignedArray& reach, double weight) {
  if (!(weight > 0.0)) return;
  Unit(turnIndex).AccumulateRow(-1, -1, strategy, reach, weight);
}

int64_t TurnStorage::ElementCount(int turnIndex) {
  int64_t total = 0;
  for (StorageUnit& unit : units) total += unit.ElementCount(turnIndex);
  return total;
}

void TurnStorage::Save(BinaryWriter& writer) {
  for (StorageUnit& unit : units) unit.Save(writer);
}

void TurnStorage::Load(BinaryReader& reader) {
  for (StorageUnit& unit : units) unit.Load(reader);
}

void* TurnStorage::OpenBoard(void*, int, int64_t) { return nullptr; }
void* TurnStorage::CloseBoard(void*, int, int) { return nullptr; }
NodeRecord* TurnStorage::GetNodeRecord(int turnIndex, int) { return Unit(turnIndex).GetNodeRecord(-1, -1); }

#include "solver/row_transfer.h"

#include "core/cpu_info.h"
#include "core/output.h"
#include "game/deal_table.h"
#include "solver/array_kernels.h"
#include "solver/reach_sums.h"
#include "solver/row_transfer_variants.h"

static_assert(kNoParentHand == kNoCounterpart, "one marker for hands without a counterpart");
static_assert(kNoChildHand == kNoListedHand, "one marker for inverse entries without a hand");

namespace {

void RequireTransfer(bool ok) {
  if (!ok) Fail("isomorphic hand map does not fit its parent row");
}

uint32_t GroupCount(const RiverRecord& record) { return static_cast<uint32_t>(record.groupSizes.size()); }

// Whether a record's first map may be read unchecked against this parent row:
// its inverse exists (so every entry was checked to lie in the parent list
// and none is missing) and the row covers the list. The record's own length
// field answers without touching the inverse maps.
bool FirstMapFits(uint32_t inverseLength, const AlignedArray& parent) {
  return inverseLength > 0 && inverseLength <= parent.count;
}

// Gathers out[i] = parent[map[i]] over the first map of a record.
void GatherFirstMap(uint32_t inverseLength, AlignedArray& out, const AlignedArray& parent, const uint16_t* map,
                    uint32_t hands) {
  if (FirstMapFits(inverseLength, parent)) {
    if (UseAvx2FmaKernels())
      kernels_avx2::GatherListedRow(out.data, parent.data, map, hands);
    else
      kernels_avx::GatherListedRow(out.data, parent.data, map, hands);
    return;
  }
  RequireTransfer(UseAvx2FmaKernels() ? kernels_avx2::GatherMappedRow(out.data, parent.data, parent.count, map, hands)
                                      : kernels_avx::GatherMappedRow(out.data, parent.data, parent.count, map, hands));
}

// Adds per-hand values (count at least 1) back through map m of a record: in
// the parent's order through the inverse when it was built for a list of the
// parent row's length, else through the map itself.
template <typename Record>
void AddThroughMap(const Record& record, size_t m, AlignedArray& parent, const AlignedArray& values) {
  const std::vector<uint16_t>& map = record.handMaps[m];
  if (m < record.inverseMaps.size() && record.inverseLength == parent.count && map.size() == values.count) {
    if (!parent.data) ZeroAlignedArray(parent, parent.count);
    const uint16_t* inverse = record.inverseMaps[m].data();
    if (UseAvx2FmaKernels())
      kernels_avx2::AddInverseRow(parent.data, parent.count, values.data, inverse);
    else
      kernels_avx::AddInverseRow(parent.data, parent.count, values.data, inverse);
    return;
  }
  AddHandMapValues(parent, values, map);
}

}  // namespace

void SumHandGroups(const RiverRecord& record, AlignedArray& out, const AlignedArray& parent) {
  const uint32_t hands = record.HandCount();
  const uint32_t rows = record.groupingMode ? GroupCount(record) : hands;
  if (!parent.data) {
    MakeEmptyRow(out, rows);
    return;
  }
  if (record.handMaps.empty() || record.handMaps[0].size() < hands) Fail("river record without its hand map");
  SizeAlignedBlock(out, rows);
  const uint16_t* map = record.handMaps[0].data();
  const bool avx2 = UseAvx2FmaKernels();
  if (!record.groupingMode) {
    GatherFirstMap(record.inverseLength, out, parent, map, hands);
  } else {
    const int16_t* sizes = record.groupSizes.data();
    RequireTransfer(avx2 ? kernels_avx2::GatherMappedGroups(out.data, parent.data, parent.count, map, sizes, rows,
                                                            hands)
                         : kernels_avx::GatherMappedGroups(out.data, parent.data, parent.count, map, sizes, rows,
                                                           hands));
  }
}

void GatherTurnRow(const TurnRecord& record, AlignedArray& out, const AlignedArray& parent) {
  const uint32_t hands = record.HandCount();
  if (!parent.data) {
    MakeEmptyRow(out, hands);
    return;
  }
  if (record.handMaps.empty() || record.handMaps[0].size() < hands) Fail("turn record without its hand map");
  SizeAlignedBlock(out, hands);
  GatherFirstMap(record.inverseLength, out, parent, record.handMaps[0].data(), hands);
}

void SpreadTurnValues(const TurnRecord& record, AlignedArray& parent, const AlignedArray& values) {
  if (!values.data || values.count == 0) return;
  for (size_t m = 0; m < record.handMaps.size(); ++m) AddThroughMap(record, m, parent, values);
}

void SpreadHandGroups(const RiverRecord& record, AlignedArray& parent, const AlignedArray& values) {
  if (!values.data || values.count == 0) return;
  const uint32_t hands = record.HandCount();
  const bool perHand = values.count == hands;
  if (!perHand && (!record.groupingMode || values.count != GroupCount(record)))
    Fail("value row fits neither the hands nor the hand groups");
  const size_t maps = record.weight > 0 ? static_cast<size_t>(record.weight) : 0;
  if (record.handMaps.size() < maps) Fail("river record without its hand maps");
  if (!parent.data) ZeroAlignedArray(parent, parent.count);
  const bool avx2 = UseAvx2FmaKernels();
  for (size_t m = 0; m < maps; ++m) {
    const std::vector<uint16_t>& map = record.handMaps[m];
    if (perHand) {
      AddThroughMap(record, m, parent, values);
      continue;
    }
    if (map.size() < hands) Fail("river record without its hand maps");
    const int16_t* sizes = record.groupSizes.data();
    RequireTransfer(avx2 ? kernels_avx2::AddMappedGroups(parent.data, parent.count, values.data, map.data(), sizes,
                                                         values.count, hands)
                         : kernels_avx::AddMappedGroups(parent.data, parent.count, values.data, map.data(), sizes,
                                                        values.count, hands));
  }
}

void AddHandMapValues(AlignedArray& parent, const AlignedArray& values, const std::vector<uint16_t>& map) {
  if (!values.data || values.count == 0) return;
  if (map.size() < values.count) Fail("hand map shorter than the value row");
  if (!parent.data) ZeroAlignedArray(parent, parent.count);
  RequireTransfer(UseAvx2FmaKernels()
                      ? kernels_avx2::AddMappedRow(parent.data, parent.count, values.data, map.data(), values.count)
                      : kernels_avx::AddMappedRow(parent.data, parent.count, values.data, map.data(), values.count));
}

void SumCompatibleReachForDeal(const DealTable& table, AlignedArray& ev, AlignedArray& weight, int32_t turnIndex,
                               int32_t riverIndex, const AlignedArray& value, const AlignedArray& oppReach,
                               const AlignedArray& ownReach) {
  // A river card is dealt only under a turn card; reading the flop list for
  // it would pair the values with the wrong hands.
  if (riverIndex >= 0 && turnIndex < 0) Fail("river index without a turn index");
  const double dealWeight = riverIndex >= 0 ? 1.0 : (turnIndex >= 0 ? 44.0 : 1980.0);
  const BoardCombos& combos = DealCombos(table, turnIndex, riverIndex);
  SumCompatibleReach(ev, weight, value, oppReach, ownReach, combos.hands, dealWeight);
}

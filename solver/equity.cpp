#include "solver/equity.h"

#include <cmath>
#include <limits>
#include <vector>

#include "game/deal_table.h"
#include "game/isomorphism.h"
#include "solver/array_kernels.h"
#include "solver/report_kernels.h"
#include "solver/row_transfer.h"
#include "solver/terminal_kernels.h"
#include "storage/solver_tree.h"
#include "storage/storage_factory.h"

namespace {

// Values of the board chosen by (turn, river) given the opponent reach on its
// list: showdown balances at the river, averaged over the cards to come.
void EquityWalk(const DealTable& table, int turn, int river, const AlignedArray& oppReach, AlignedArray& value) {
  if (turn >= 0 && river >= 0) {
    EvaluateShowdown(table.turns[turn].rivers[river], value, oppReach, false, 1.0);
    return;
  }
  if (turn < 0) {
    ZeroAlignedArray(value, table.HandCount());
    for (size_t t = 0; t < table.turns.size(); ++t) {
      const TurnRecord& record = table.turns[t];
      AlignedArray reach{}, childValue{};
      GatherTurnRow(record, reach, oppReach);
      EquityWalk(table, static_cast<int>(t), -1, reach, childValue);
      for (const std::vector<uint16_t>& map : record.handMaps) AddHandMapValues(value, childValue, map);
      ReleaseAlignedArray(reach);
      ReleaseAlignedArray(childValue);
    }
    ScaleAlignedArray(value, 1.0 / 45.0);
    return;
  }
  const TurnRecord& turnRecord = table.turns[turn];
  ZeroAlignedArray(value, turnRecord.HandCount());
  for (size_t r = 0; r < turnRecord.rivers.size(); ++r) {
    const RiverRecord& record = turnRecord.rivers[r];
    AlignedArray reach{}, childValue{};
    SumHandGroups(record, reach, oppReach);
    EquityWalk(table, turn, static_cast<int>(r), reach, childValue);
    SpreadHandGroups(record, value, childValue);
    ReleaseAlignedArray(reach);
    ReleaseAlignedArray(childValue);
  }
  ScaleAlignedArray(value, 1.0 / 44.0);
}

// A 1326-value vector (canonical suits) on a board's hand list.
void MapOntoList(AlignedArray& out, const BoardCombos& combos, const std::vector<double>& values) {
  const uint32_t n = static_cast<uint32_t>(combos.hands.size());
  ZeroAlignedArray(out, n);
  for (int c = 0; c < kComboCount; ++c)
    if (combos.comboMap[c] >= 0) out.data[combos.comboMap[c]] = values[c];
}

}  // namespace

void CalcEquity(int player, int turnCard, int riverCard, const double* hero, const double* opponent, double* equity,
                double* weight) {
  if (!CurrentTree) return;
  SolverTree& tree = *CurrentTree;
  RequireAllStoragesReady(tree);
  int turn, river;
  DealIndicesForCards(tree, turnCard, riverCard, turn, river);
  const bool isomorphism = (tree.flags & kIsomorphismOn) != 0;
  std::vector<double> heroCopy, opponentCopy;
  CanonicalRangeCopy(heroCopy, isomorphism, tree.flopMask, hero, turnCard, riverCard);
  CanonicalRangeCopy(opponentCopy, isomorphism, tree.flopMask, opponent, turnCard, riverCard);

  const DealTable& table = *tree.dealTable;
  const BoardCombos& combos = DealCombos(table, turn, river);
  AlignedArray oppReach{}, ownReach{}, value{}, ev{}, evWeight{};
  MapOntoList(oppReach, combos, opponentCopy);
  EquityWalk(table, turn, river, oppReach, value);
  MapOntoList(ownReach, combos, heroCopy);
  SumCompatibleReachForDeal(table, ev, evWeight, turn, river, value, oppReach, ownReach);

  std::vector<double> evCombos, weightCombos;
  // Hands that meet the board are NaN: they have no equity there.
  ComboVectorForDeal(evCombos, table, ev, turn, river, true);
  ComboVectorForDeal(weightCombos, table, evWeight, turn, river, true);
  CopyComboVector(isomorphism, tree.flopMask, equity, evCombos.data(), turnCard, riverCard);
  CopyComboVector(isomorphism, tree.flopMask, weight, weightCombos.data(), turnCard, riverCard);
  FillOutsideRange(equity, weight, tree.ranges[player].data(), std::numeric_limits<double>::quiet_NaN(), kComboCount);
  for (AlignedArray* a : {&oppReach, &ownReach, &value, &ev, &evWeight}) ReleaseAlignedArray(*a);
}

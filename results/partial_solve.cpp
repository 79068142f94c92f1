#include "results/partial_solve.h"

#include <mutex>

#include "core/cards.h"
#include "game/deal_table.h"
#include "solver/engine_state.h"
#include "solver/subtree_resolve.h"
#include "storage/solver_tree.h"
#include "storage/storage_factory.h"

double SolvePartial(int nodeIndex, int turnCard, int riverCard) {
  std::lock_guard<std::recursive_mutex> solverLock(SolverMutex);
  SolverTree* tree = CurrentTree.get();
  if (!tree || nodeIndex < 0 || nodeIndex >= static_cast<int>(tree->nodes.size())) return 0.0;
  RequireAllStoragesReady(*tree, kDealReachGrowth | kDealValueGrowth);
  TreeNode& node = tree->nodes[nodeIndex];
  int turnIndex, riverIndex;
  DealIndicesForCards(*tree, node.street >= 2 ? turnCard : -1, node.street >= 3 ? riverCard : -1, turnIndex,
                      riverIndex);
  return RebuildForgottenSubtree(*tree, node, turnIndex, riverIndex, true);
}

int BoardHandComboIndices(int nodeIndex, int turnCard, int riverCard, uint32_t* out) {
  const SolverTree* tree = CurrentTree.get();
  if (!tree || nodeIndex < 0 || nodeIndex >= static_cast<int>(tree->nodes.size())) return 0;
  const int street = tree->nodes[nodeIndex].street;
  int turnIndex, riverIndex;
  DealIndicesForCards(*tree, street >= 2 ? turnCard : -1, street >= 3 ? riverCard : -1, turnIndex, riverIndex);
  if ((street >= 2 && turnIndex < 0) || (street >= 3 && riverIndex < 0)) return 0;
  const BoardCombos& combos = DealCombos(*tree->dealTable, street >= 2 ? turnIndex : -1, riverIndex);
  int count = 0;
  for (CardMask hand : combos.hands) {
    const int lo = CardOfMask(hand), hi = CardOfMask(hand & (hand - 1));
    out[count++] = static_cast<uint32_t>(ComboIndex(lo, hi));
  }
  return count;
}

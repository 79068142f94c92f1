#include "solver/line_frequency.h"

#include <cmath>
#include <limits>
#include <mutex>

#include "core/cards.h"
#include "core/parallel.h"
#include "game/deal_table.h"
#include "game/isomorphism.h"
#include "solver/engine_state.h"
#include "solver/reach_sums.h"
#include "solver/river_subtree.h"
#include "solver/subtree_resolve.h"
#include "storage/solver_tree.h"
#include "storage/storage_factory.h"

namespace {

// The deal record of a runout and the number of deals below its board.
struct RunoutBoard {
  const BoardCombos* combos;
  double weight;
};

RunoutBoard BoardOfRunout(const DealTable& table, int turnIndex, int riverIndex) {
  if (turnIndex < 0) return {&table.combos, 1980.0};
  if (riverIndex < 0) return {&table.turns[turnIndex].combos, 44.0};
  return {&table.turns[turnIndex].rivers[riverIndex].combos, 1.0};
}

// Record indices of a runout, or false when a card has no record.
bool RunoutIndices(const SolverTree& tree, int turnCard, int riverCard, int& turnIndex, int& riverIndex) {
  DealIndicesForCards(tree, turnCard, riverCard, turnIndex, riverIndex);
  return !((turnCard >= 0 && turnIndex < 0) || (riverCard >= 0 && riverIndex < 0));
}

void DecodeRunout(uint16_t code, int& turnCard, int& riverCard) {
  turnCard = static_cast<int16_t>(code) >> 8;
  riverCard = code & 0xFF;
}

}  // namespace

void CalcLineFrequency(int player, int nodeIndex, int turnCard, int riverCard, double* out) {
  SolverTree* treePointer = CurrentTree.get();
  if (!treePointer || nodeIndex < 0 || nodeIndex >= static_cast<int>(treePointer->nodes.size())) return;
  SolverTree& tree = *treePointer;
  RequireAllStoragesReady(tree);
  TreeNode& node = tree.nodes[nodeIndex];
  int turnIndex, riverIndex;
  if (!RunoutIndices(tree, turnCard, riverCard, turnIndex, riverIndex)) return;
  RebuildForgottenSubtree(tree, node, turnIndex, riverIndex, false);

  AlignedArray joint{};
  const RunoutBoard board = BoardOfRunout(*tree.dealTable, turnIndex, riverIndex);
  {
    std::lock_guard<std::recursive_mutex> lock(SolverMutex);
    AlignedArray reach[2] = {};
    OpenRiverRunoutBoards(tree, node, turnIndex, riverIndex);
    ComputeNodeReach(tree, reach, node, turnIndex, riverIndex);
    CloseRiverRunoutBoards(tree, node, turnIndex, riverIndex);
    JointReachPerHand(board.weight, joint, reach[player ^ 1], reach[player], board.combos->pairCodes);
    ReleaseAlignedArray(reach[0]);
    ReleaseAlignedArray(reach[1]);
  }
  double expanded[kComboCount];
  ExpandComboValues(expanded, joint.data, joint.count, board.combos->comboMap, true);
  ReleaseAlignedArray(joint);
  CopyComboVector((tree.flags & kIsomorphismOn) != 0, tree.flopMask, out, expanded, turnCard, riverCard);
  const std::vector<double>& range = tree.ranges[player];
  for (int c = 0; c < kComboCount; ++c)
    if (range[c] == 0.0) out[c] = std::numeric_limits<double>::quiet_NaN();
}

double libsubgame_calc_river_line_freq(int nodeIndex, const DealCodeLists& lists) {
  SolverTree* treePointer = CurrentTree.get();
  if (!treePointer || nodeIndex < 0 || nodeIndex >= static_cast<int>(treePointer->nodes.size())) return 0.0;
  SolverTree& tree = *treePointer;
  RequireAllStoragesReady(tree);
  TreeNode& node = tree.nodes[nodeIndex];
  // Every runout the line reads below a forgotten street is solved again
  // first: a re-solve takes the solver lock and the worker team itself, so
  // it runs before the pass below holds that lock. (With nothing forgotten
  // there is nothing to re-solve, and each call would wait for a running
  // solver's pass.)
  if (tree.forgottenStreet >= 0) {
    for (const std::vector<uint16_t>& list : lists)
      for (uint16_t code : list) {
        int turnCard, riverCard, turnIndex, riverIndex;
        DecodeRunout(code, turnCard, riverCard);
        if (RunoutIndices(tree, turnCard, riverCard, turnIndex, riverIndex) && turnIndex >= 0 && riverIndex >= 0)
          RebuildForgottenSubtree(tree, node, turnIndex, riverIndex, false);
      }
  }
  std::lock_guard<std::recursive_mutex> lock(SolverMutex);
  double total = 0.0;
  for (const std::vector<uint16_t>& list : lists) {
    const int n = static_cast<int>(list.size());
    if (n == 0) continue;
    // The indices of every runout of this turn card.
    std::vector<int> turns(n), rivers(n);
    std::vector<char> valid(n);
    for (int j = 0; j < n; ++j) {
      int turnCard, riverCard;
      DecodeRunout(list[j], turnCard, riverCard);
      valid[j] = RunoutIndices(tree, turnCard, riverCard, turns[j], rivers[j]) && turns[j] >= 0 && rivers[j] >= 0;
    }
    // Every river of the turn card lies in the one sub-tree opened here.
    int opened = -1;
    for (int j = 0; j < n && opened < 0; ++j)
      if (valid[j]) opened = j;
    if (opened < 0) continue;
    OpenRiverRunoutBoards(tree, node, turns[opened], rivers[opened]);
    // Suit-isomorphic runouts share a record and the same sum: each record
    // is computed once and counted once per runout that maps to it.
    std::vector<int> first(n, -1), distinct;
    for (int j = 0; j < n; ++j) {
      if (!valid[j]) continue;
      for (int k : distinct)
        if (turns[k] == turns[j] && rivers[k] == rivers[j]) first[j] = k;
      if (first[j] < 0) {
        first[j] = j;
        distinct.push_back(j);
      }
    }
    std::vector<double> slots(n, 0.0);
    // The river boards stay open if this fails: the process ends.
    ForEachIndex(static_cast<int>(distinct.size()), [&](int d) {
      RunGuarded([&] {
        const int j = distinct[d];
        AlignedArray reach[2] = {};
        ComputeNodeReach(tree, reach, node, turns[j], rivers[j]);
        const BoardCombos& combos = tree.dealTable->turns[turns[j]].rivers[rivers[j]].combos;
        slots[j] = JointReachSum(1.0, reach[1], reach[0], combos.pairCodes);
        ReleaseAlignedArray(reach[0]);
        ReleaseAlignedArray(reach[1]);
      });
    });
    for (int j = 0; j < n; ++j)
      if (valid[j]) total += slots[first[j]];
    CloseRiverRunoutBoards(tree, node, turns[opened], rivers[opened]);
  }
  return total;
}

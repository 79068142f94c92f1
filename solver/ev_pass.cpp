#include "solver/ev_pass.h"

#include "core/scope_exit.h"
#include "solver/node_eval.h"
#include "solver/river_subtree.h"
#include "solver/tree_passes.h"
#include "storage/solver_tree.h"

namespace {

// Phase 0 queues the sub-games below chance nodes, phase 1 runs them on the
// worker team, phase 2 takes their results; captures happen in the phases
// after the first.
void RunEvPhases(SolverTree& tree, int player, const AlignedArray reach[2]) {
  const EvCapture& capture = *tree.evCapture;
  for (int phase : {0, 1, 2}) {
    tree.PassPhase = phase;
    if (phase == 1) {
      TraverseSubgames();
      continue;
    }
    TaskCursor = 0;
    NodeContext context;
    context.tree = &tree;
    context.node = capture.target;
    context.turn = capture.turnIndex;
    context.river = capture.riverIndex;
    CopyAlignedArray(context.oppReach, reach[player ^ 1]);
    CopyAlignedArray(context.ownReach, reach[player]);
    EvaluateNode(context);
  }
}

}  // namespace

void RunEvPass(SolverTree& tree, int player) {
  EvCapture& capture = *tree.evCapture;
  TreeNode& target = *capture.target;
  tree.passMode = 2;
  tree.traversingPlayer = player;
  // A target inside a river sub-tree reads that sub-tree's storages for its
  // turn card; they stay open for the whole pass.
  const bool opened = capture.turnIndex >= 0 && capture.riverIndex >= 0;
  if (opened) OpenRiverRunoutBoards(tree, target, capture.turnIndex, capture.riverIndex);

  AlignedArray reach[2] = {};
  // Given back however the pass ends: a pass refused for want of memory (a
  // bad_alloc of the console thread's own part) would otherwise leave the
  // sub-games it queued for the next pass to take as its own.
  const ScopeExit release([&] {
    DeleteTasks();
    ReleaseAlignedArray(reach[0]);
    ReleaseAlignedArray(reach[1]);
    if (opened) CloseRiverRunoutBoards(tree, target, capture.turnIndex, capture.riverIndex);
  });
  ComputeNodeReach(tree, reach, target, capture.turnIndex, capture.riverIndex);
  if (reach[0].count > 0 || reach[1].count > 0) RunEvPhases(tree, player, reach);
}

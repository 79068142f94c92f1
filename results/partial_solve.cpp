#include "results/partial_solve.h"

#include <mutex>

#include "solver/engine_state.h"
#include "solver/subtree_resolve.h"
#include "storage/solver_tree.h"
#include "storage/storage_factory.h"

double SolvePartial(int nodeIndex, int turnCard, int riverCard) {
  std::lock_guard<std::recursive_mutex> solverLock(SolverMutex);
  SolverTree* tree = CurrentTree.get();
  if (!tree || nodeIndex < 0 || nodeIndex >= static_cast<int>(tree->nodes.size())) return 0.0;
  AllStoragesReady(*tree);
  TreeNode& node = tree->nodes[nodeIndex];
  int turnIndex, riverIndex;
  DealIndicesForCards(*tree, node.street >= 2 ? turnCard : -1, node.street >= 3 ? riverCard : -1, turnIndex,
                      riverIndex);
  return RebuildForgottenSubtree(*tree, node, turnIndex, riverIndex, true);
}

// Access to the per-hand data of river sub-trees outside the solver's own
// passes, and the reach of both players at a node.
//
// A river node's storage holds the rows of every runout; compressed river
// storage keeps one turn card's rows of a sub-tree coded in one stream per
// player, so every reader or writer opens the sub-tree's boards of that turn
// card first and closes them after. Report readers and writers do this under
// the lock of the river sub-tree (AcquireRiverSubtree / ReleaseRiverSubtree);
// passes that already hold the solver lock open and close without it
// (OpenRiverRunoutBoards / CloseRiverRunoutBoards).
//
// Lock order: the solver lock before a river sub-tree's lock, never the
// reverse.
#pragma once

#include <cstdint>
#include <vector>

#include "game/aligned_array.h"

struct SolverTree;
struct TreeNode;

// The first node of the river street above a river node (the node itself
// when its parent is not on the river).
TreeNode& RiverSubtreeRoot(TreeNode& node);

// Locks the river sub-tree of a river node for one turn record (the lock of
// that turn card on the top of the turn sub-tree, or the solver lock when the
// top has none) and opens the first and, where present, second storage of
// every river node of the sub-tree for that turn card. Nothing on flop and
// turn nodes.
void AcquireRiverSubtree(SolverTree& tree, TreeNode& node, int turnIndex);
// Closes what AcquireRiverSubtree opened (readers without writing back,
// writers with write-back of every node) and unlocks.
void ReleaseRiverSubtree(SolverTree& tree, TreeNode& node, int turnIndex, bool write);

// The pair above for one scope.
class RiverSubtreeAccess {
 public:
  RiverSubtreeAccess(SolverTree& tree, TreeNode& node, int turnIndex, bool write)
      : tree_(tree), node_(node), turnIndex_(turnIndex), write_(write) {
    AcquireRiverSubtree(tree_, node_, turnIndex_);
  }
  ~RiverSubtreeAccess() { ReleaseRiverSubtree(tree_, node_, turnIndex_, write_); }
  RiverSubtreeAccess(const RiverSubtreeAccess&) = delete;
  RiverSubtreeAccess& operator=(const RiverSubtreeAccess&) = delete;

 private:
  SolverTree& tree_;
  TreeNode& node_;
  int turnIndex_;
  bool write_;
};

// Open and close (without writing back) the river sub-tree of a node for the
// turn record of a runout, without any lock: the caller holds the solver
// lock. Nothing when the river index is negative.
void OpenRiverRunoutBoards(SolverTree& tree, TreeNode& node, int turnIndex, int riverIndex);
void CloseRiverRunoutBoards(SolverTree& tree, TreeNode& node, int turnIndex, int riverIndex);

// One step of a walk down the tree: a node on a runout with both players'
// reach rows over that runout's hand list. The frame owns its rows.
struct ReachFrame {
  SolverTree* tree = nullptr;
  TreeNode* node = nullptr;
  int turn = -1;
  int river = -1;
  AlignedArray reach[2];  // OOP, IP

  ReachFrame() = default;
  ~ReachFrame();
  ReachFrame(const ReachFrame&) = delete;
  ReachFrame& operator=(const ReachFrame&) = delete;
};

// Walks from the frame down `path` (child positions, deepest first, taken
// from the end) to `target` on runout (turnIndex, riverIndex): at each
// decision node the acting player's row is multiplied by the probability of
// the action taken (the average strategy while averaging is active, else the
// current one); dealt cards carry the rows onto the dealt board's hand list.
// out[0] and out[1] receive OOP's and IP's rows at the target; they stay
// untouched when the walk ends at a terminal or cannot deal the target's
// cards. The frame's rows are consumed.
void ReachAlongPath(ReachFrame& frame, const TreeNode& target, int turnIndex, int riverIndex, std::vector<int>& path,
                    AlignedArray out[2]);

// Both players' reach rows at a node on one runout, in the hand-list order of
// the runout's board (out[0] OOP, out[1] IP). Takes no lock: the caller holds
// the solver lock and has opened the river boards the walk reads.
void ComputeNodeReach(SolverTree& tree, AlignedArray out[2], TreeNode& node, int turnIndex, int riverIndex);

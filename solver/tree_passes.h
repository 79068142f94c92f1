// Tree passes: one walk of the game tree for one traversing player, in three
// phases (queue sweep, parallel sub-games, finishing sweep), and the
// re-solving of all split sub-games of a street.
#pragma once

#include <vector>

#include "game/aligned_array.h"

struct SolverTree;
struct TreeNode;

// What one node evaluation works on. The context owns its four arrays; an
// array with a count but no data stands for zeros.
struct NodeContext {
  SolverTree* tree = nullptr;
  TreeNode* node = nullptr;
  int turn = -1;   // turn record index, -1 while undealt
  int river = -1;  // river record index, -1 while undealt
  AlignedArray oppReach;  // the other player's reach (input)
  AlignedArray value;     // the traversing player's counterfactual values (output)
  AlignedArray ownReach;  // the traversing player's own reach (optional input)
  AlignedArray brValue;   // best-response values (output, evaluation passes)

  NodeContext() = default;
  ~NodeContext();
  NodeContext(const NodeContext&) = delete;
  NodeContext& operator=(const NodeContext&) = delete;
};

// One queued sub-game: the context of a dealt card, and the chance node's
// shared arrays it gathers from and adds into.
struct SubgameTask {
  NodeContext context;
  AlignedArray* sharedOppReach = nullptr;
  AlignedArray* valueSum = nullptr;
  AlignedArray* sharedOwnReach = nullptr;
  AlignedArray* brValueSum = nullptr;
  // The chance node's block that holds the four shared arrays; freed by its
  // finishing sweep.
  void* shared = nullptr;
  bool ownsShared = false;
};

extern std::vector<SubgameTask*> SubgameTaskList;
extern int TaskCursor;

struct PassResult {
  double bestResponseValue = 0.0;
  double strategyValue = 0.0;
};

// One pass for `player`: mode 1 update, 0 evaluation with best response.
PassResult TraverseTree(SolverTree& tree, int player, int mode);
// Runs the queued sub-games on the worker team.
void TraverseSubgames();
// Frees every queued sub-game (and the arrays their chance nodes shared) and
// empties the list.
void DeleteTasks();
// Re-solves every split sub-game of a street (2 turns, 3 rivers) from the
// reach kept at each split.
void SolveSubgames(SolverTree& tree, int street);
// Collects one context per split point of a street, carrying OOP's reach in
// ownReach and IP's in oppReach.
void WalkTreeForPlayer(NodeContext& context, int street, std::vector<NodeContext*>& out);

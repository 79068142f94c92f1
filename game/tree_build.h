// The game-model steps of building a solver tree: the line tree flattened
// into node records, and the checks of the ranges against the board.
#pragma once

#include <cstdint>
#include <vector>

#include "core/cards.h"

struct SchematicNode;

enum TreeNodeKind : int32_t { kInnerNode = 0, kShowdownNode = 1, kFoldNode = 2 };

// One line-tree node in pre-order: the solver tree's node list.
struct FlatLineRecord {
  int32_t kind;         // 0 inner, 1 showdown, 2 fold
  int32_t parentIndex;  // -1 at the root
  int32_t player;
  int32_t street;
  double amount;
};

// The largest key anywhere in the line tree (0 without children).
double MaxLineAmount(const SchematicNode& node);
// Pre-order records of the line tree; `nodes` receives the line node of each
// record so that the caller can write tree indices once the build succeeds.
void FlattenLineTree(const SchematicNode& node, int32_t parentIndex, double key, int rootStreet, double pot,
                     std::vector<FlatLineRecord>& records, std::vector<const SchematicNode*>& nodes);
// Whether a range gives different weights to hands that differ only by
// suits (checked per hand class, hands meeting `board` skipped): weights
// further apart than the double epsilon, or one zero and the other not (the
// hand lists hold the hands of non-zero weight). On true, `reference` and
// `combo` are two such hands.
bool RangeAsymmetry(const std::vector<double>& range, CardMask board, int& reference, int& combo);
// Refuses (a command error) set ranges with such hands.
void CheckRangeIsomorphism(CardMask board);
// Total weight of the pairs of hands (OOP, IP) that share no card with each
// other nor with the board.
double CompatiblePairWeight(const std::vector<double>& oop, const std::vector<double>& ip, CardMask board);

// Shaping the replies of the per-hand reports, and the checks that every
// report makes of a node before it reads the node's storages.
#pragma once

#include <string>
#include <vector>

#include "game/node_path.h"

struct SolverTree;
struct TreeNode;

// Prints the values as one line ("\n" at the end), each printed with
// `format`, a NaN as `nanText`, separated by single blanks. Throws
// std::runtime_error("buffer too small") and prints nothing when the line
// would not fit in 65,536 bytes with its terminating NUL.
void FormatNumberField(const std::vector<double>& values, const char* format, const char* nanText);
// The four characters of a hand's name at a hand-order position ("2d2c" for 0).
std::string HandName(int position);
// Hand-order positions of the hands in the range of the player to act at the
// path, strongest first (by the showdown value of the equity pass against
// every hand); equal values keep hand order. "r" stands for "r:0".
std::vector<int> HandsByEquity(const std::string& path);

// The TreeNode of a line node, after checking that the current tree still
// matches the line tree there (the node's tree index is valid and the numbers
// of children agree); "missing/incorrect tree" otherwise.
TreeNode& CheckedTreeNode(const SchematicNode& node);

// A node reference resolved for a storage read: the TreeNode and the deal
// record indices of its runout (canonical suits under isomorphism).
struct RunoutIndices {
  int turnIndex = -1;
  int riverIndex = -1;
};
// Checks that the cards of the reference's runout are complete and possible
// for the streets it spans: with D the node itself when it has children and
// its parent otherwise, a turn card when D is on the turn or river and a
// river card when D is on the river (a reference with a deal pending needs
// only the cards of the streets before the pending one), each mapping to a
// deal record. Fails with "incorrect path" otherwise; nothing for the root
// reference.
RunoutIndices CheckedRunout(const NodeRef& ref);

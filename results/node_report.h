// Node reports: show_node and show_children, and the node-printing pieces
// that other reports and show_tree_params share.
#pragma once

#include <string>
#include <vector>

#include "core/cards.h"
#include "game/node_path.h"

// "ROOT", "SPLIT_NODE", "END_NODE", "IP_DEC" or "OOP_DEC".
const char* NodeKindName(const NodeRef& ref);
bool RequireDecisionNode(const NodeRef& ref);
// The board line: flop cards in ascending card number, then the reference's
// turn and river cards when set.
void PrintNodeBoard(const NodeRef& ref);
// "%g %g %g\n": chips committed by OOP and IP at the node (0 and 0 without a
// node) and the pot.
void PrintNodeAmounts(const NodeRef& ref);
void PrintNodeFlags(const NodeRef& ref);
// "LOCKED", "COMBO_LOCKED", both, or empty, from the node's lock record for
// the runout of the two cards.
std::string NodeFlagsText(int nodeIndex, int turnCard, int riverCard);
// The path token of the i-th child: "b<amount>", "c" or "f".
std::string ActionToken(const SchematicNode& node, int child);
CardMask NodeDeadCards(const NodeRef& ref);
void PrintNodeInfo(const std::string& path, const NodeRef& ref);

// Stores an EV boost in a TreeNode of the current tree (nothing without one).
void SetEvBoost(int nodeIndex, float boost);

// Each child of the node at `path` ("child N:" and its node information),
// then END: the actions of a decision node, the cards of a pending deal, or
// the root for the empty path.
void PrintNodeChildren(const std::string& path, const NodeRef& ref);

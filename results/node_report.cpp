#include "results/node_report.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/cards.h"
#include "core/output.h"
#include "core/settings.h"
#include "game/line_tree.h"
#include "game/tree_state.h"
#include "storage/solver_tree.h"
#include "storage/storage_interface.h"

const char* NodeKindName(const NodeRef& ref) {
  if (!ref.node) return "ROOT";
  if (ref.dealPending) return "SPLIT_NODE";
  if (ref.node->children.empty()) return "END_NODE";
  if (ref.node->player != 0) return "IP_DEC";
  return "OOP_DEC";
}

// The kinds OOP_DEC and IP_DEC: a node with actions and no deal pending.
bool RequireDecisionNode(const NodeRef& ref) {
  return ref.node && !ref.dealPending && !ref.node->children.empty();
}

void PrintNodeBoard(const NodeRef& ref) {
  std::string line;
  for (CardMask flop = ReportBoardMasks()[0]; flop; flop &= flop - 1) {
    if (!line.empty()) line += ' ';
    line += CardText(CardOfMask(flop));
  }
  if (ref.turnCard >= 0) line += " " + CardText(ref.turnCard);
  if (ref.riverCard >= 0) line += " " + CardText(ref.riverCard);
  Output("%s\n", line.c_str());
}

void PrintNodeAmounts(const NodeRef& ref) {
  const double oop = ref.node ? ref.node->chipsOop : 0.0;
  const double ip = ref.node ? ref.node->chipsIp : 0.0;
  Output("%g %g %g\n", oop, ip, ReportPot());
}

std::string NodeFlagsText(int nodeIndex, int turnCard, int riverCard) {
  if (!CurrentTree || nodeIndex < 0 || nodeIndex >= static_cast<int>(CurrentTree->nodes.size())) return "";
  const TreeNode& node = CurrentTree->nodes[nodeIndex];
  int turnIndex, riverIndex;
  DealIndicesForCards(*CurrentTree, turnCard, riverCard, turnIndex, riverIndex);
  // A storage is addressed only with the indices its street needs.
  if ((node.street >= 2 && turnIndex < 0) || (node.street >= 3 && riverIndex < 0)) return "";
  if (node.street < 3) riverIndex = -1;
  // Lock records live in the node's first storage; a node of a forgotten
  // street without one has its lock kept aside, any other is unlocked.
  uint32_t flags = 0;
  if (node.firstStorage) {
    flags = node.firstStorage->GetNodeRecord(turnIndex, riverIndex)->flags;
  } else {
    for (const KeptLock& kept : CurrentTree->keptLocks)
      if (kept.node == nodeIndex && kept.turnIndex == turnIndex && kept.riverIndex == riverIndex)
        flags = kept.flags[0];
  }
  std::string text;
  if (flags & kNodeLocked) text = "LOCKED";
  if (flags & kNodeComboLocked) text += text.empty() ? "COMBO_LOCKED" : " COMBO_LOCKED";
  return text;
}

void PrintNodeFlags(const NodeRef& ref) {
  if (!ref.node) {
    Output("flags: %s\n", TreeFlagsText().c_str());
  } else if (ref.dealPending) {
    Output("flags:\n");
  } else {
    Output("flags: %s\n", NodeFlagsText(ref.node->treeIndex, ref.turnCard, ref.riverCard).c_str());
  }
}

std::string ActionToken(const SchematicNode& node, int child) {
  auto it = node.children.begin();
  std::advance(it, child);
  const double key = it->first;
  if (key > node.amount) {
    // Whole amounts read "b%d"; any other amount is printed with the fewest
    // digits that read back as the same key.
    char text[64];
    if (key == std::floor(key) && key <= 2147483647.0) {
      snprintf(text, sizeof text, "b%d", static_cast<int>(key));
      return text;
    }
    for (int digits = 1; digits <= 17; ++digits) {
      snprintf(text, sizeof text, "b%.*g", digits, key);
      if (strtod(text + 1, nullptr) == key) break;
    }
    return text;
  }
  return key < 0 ? "f" : "c";
}

CardMask NodeDeadCards(const NodeRef& ref) {
  CardMask dead = ReportBoardMasks()[0];
  if (ref.turnCard >= 0) dead |= CardBit(ref.turnCard);
  if (ref.riverCard >= 0) dead |= CardBit(ref.riverCard);
  return dead;
}

void PrintNodeInfo(const std::string& path, const NodeRef& ref) {
  OutputText(path + "\n");
  Output("%s\n", NodeKindName(ref));
  PrintNodeBoard(ref);
  PrintNodeAmounts(ref);
  int children;
  if (ref.dealPending)
    children = NodeRefStreet(ref) == 2 ? 49 : 48;
  else if (!ref.node)
    children = 1;
  else
    children = static_cast<int>(ref.node->children.size());
  Output("%d children\n", children);
  PrintNodeFlags(ref);
}

void SetEvBoost(int nodeIndex, float boost) {
  if (!CurrentTree || nodeIndex < 0 || nodeIndex >= static_cast<int>(CurrentTree->nodes.size())) return;
  CurrentTree->nodes[nodeIndex].EvBoost = boost;
}

void PrintNodeChildren(const std::string& path, const NodeRef& ref) {
  if (!ref.node) {
    NodeRef root;
    root.node = SchematicRoot.get();
    root.turnCard = CardOfMask(TreeBoardMasks[1]);
    root.riverCard = CardOfMask(TreeBoardMasks[2]);
    Output("child %d:\n", 0);
    PrintNodeInfo("r:0", root);
  } else if (!ref.dealPending) {
    const int street = NodeRefStreet(ref);
    int number = 0;
    for (const auto& entry : ref.node->children) {
      NodeRef child = ref;
      child.node = entry.second.get();
      const int childStreet = NodeRefStreet(child);
      // Closing the river ends the hand, as does a call with no later
      // decision (all in): that child is a showdown, not a deal.
      child.dealPending = childStreet > street && childStreet <= 3 && !child.node->children.empty();
      Output("child %d:\n", number);
      PrintNodeInfo(path + ":" + ActionToken(*ref.node, number), child);
      ++number;
    }
  } else {
    const CardMask dead = NodeDeadCards(ref);
    const int street = NodeRefStreet(ref);
    int number = 0;
    for (int rank = 12; rank >= 0; --rank) {
      for (int suit = 3; suit >= 0; --suit) {
        const int card = MakeCard(rank, suit);
        if (dead & CardBit(card)) continue;
        NodeRef child = ref;
        child.dealPending = 0;
        if (street == 2)
          child.turnCard = card;
        else
          child.riverCard = card;
        Output("child %d:\n", number);
        PrintNodeInfo(path + ":" + CardText(card), child);
        ++number;
      }
    }
  }
  Output("END\n");
}

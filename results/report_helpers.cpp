#include "results/report_helpers.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numeric>
#include <stdexcept>

#include "core/cards.h"
#include "core/hand_order.h"
#include "core/output.h"
#include "game/line_tree.h"
#include "solver/equity.h"
#include "storage/solver_tree.h"

void FormatNumberField(const std::vector<double>& values, const char* format, const char* nanText) {
  constexpr size_t kBufferSize = 65536;
  std::string line;
  line.reserve(values.size() * 16 + 1);
  char number[512];
  for (size_t i = 0; i < values.size(); ++i) {
    if (i) line += ' ';
    if (std::isnan(values[i])) {
      line += nanText;
    } else {
      const int n = snprintf(number, sizeof number, format, values[i]);
      if (n < 0 || static_cast<size_t>(n) >= sizeof number) throw std::runtime_error("buffer too small");
      line.append(number, static_cast<size_t>(n));
    }
    if (line.size() + 2 > kBufferSize) throw std::runtime_error("buffer too small");
  }
  line += '\n';
  if (line.size() + 1 > kBufferSize) throw std::runtime_error("buffer too small");
  OutputText(line);
}

std::string HandName(int position) { return HandOrderString.substr(5 * static_cast<size_t>(position), 4); }

std::vector<int> HandsByEquity(const std::string& path) {
  const NodeRef ref = ResolveNodePath(path == "r" ? std::string("r:0") : path);
  const int player = ref.node ? (ref.node->player & 1) : 0;
  const std::vector<double> ones(kComboCount, 1.0);
  std::vector<double> result(kComboCount, 0.0), weight(kComboCount, 0.0);
  CalcEquity(player, ref.turnCard, ref.riverCard, ones.data(), ones.data(), result.data(), weight.data());
  std::vector<double> value = ReorderHandValues(result, ComboIndexByOrder);
  const double lowest = -std::numeric_limits<double>::max();
  for (double& v : value)
    if (std::isnan(v)) v = lowest;
  std::vector<int> order(kComboCount);
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return value[a] > value[b]; });
  size_t keep = 0;
  while (keep < order.size() && value[order[keep]] != lowest) ++keep;
  order.resize(keep);
  return order;
}

TreeNode& CheckedTreeNode(const SchematicNode& node) {
  SolverTree* tree = CurrentTree.get();
  if (!tree || node.treeIndex < 0 || node.treeIndex >= static_cast<int>(tree->nodes.size()))
    ThrowCommandError("missing/incorrect tree");
  TreeNode& treeNode = tree->nodes[node.treeIndex];
  const bool inner = treeNode.kind == kInnerNode;
  if (treeNode.children.size() != node.children.size() || inner != !node.children.empty())
    ThrowCommandError("missing/incorrect tree");
  return treeNode;
}

RunoutIndices CheckedRunout(const NodeRef& ref) {
  RunoutIndices indices;
  if (!ref.node) return indices;
  const SolverTree* tree = CurrentTree.get();
  if (!tree) ThrowCommandError("missing/incorrect tree");
  int street;
  if (ref.dealPending) {
    street = NodeRefStreet(ref) - 1;
  } else if (!ref.node->children.empty() || !ref.node->parent) {
    street = NodeRefStreet(ref);
  } else {
    NodeRef parent = ref;
    parent.node = ref.node->parent;
    street = NodeRefStreet(parent);
  }
  const int turnCard = street >= 2 ? ref.turnCard : -1;
  const int riverCard = street >= 3 ? ref.riverCard : -1;
  if ((street >= 2 && turnCard < 0) || (street >= 3 && riverCard < 0)) ThrowIncorrectPath();
  if (turnCard >= 0 && (CardBit(turnCard) & tree->flopMask)) ThrowIncorrectPath();
  if (riverCard >= 0 && ((CardBit(riverCard) & tree->flopMask) || riverCard == turnCard)) ThrowIncorrectPath();
  DealIndicesForCards(*tree, turnCard, riverCard, indices.turnIndex, indices.riverIndex);
  if ((turnCard >= 0 && indices.turnIndex < 0) || (riverCard >= 0 && indices.riverIndex < 0)) ThrowIncorrectPath();
  return indices;
}

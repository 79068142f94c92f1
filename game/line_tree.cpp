#include "game/line_tree.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "core/binary_reader.h"
#include "core/numbers.h"
#include "core/output.h"

std::unique_ptr<SchematicNode> SchematicRoot = std::make_unique<SchematicNode>();

std::unique_ptr<SchematicNode> NewSchematicRoot() { return std::make_unique<SchematicNode>(); }

namespace {

// A tree file's line tree is never anywhere near this deep; the bound keeps a
// corrupt file from exhausting the stack.
constexpr int kMaxLineTreeDepth = 512;

void ReadNodeRecord(SchematicNode& node, BinaryReader& reader, int depth) {
  if (depth > kMaxLineTreeDepth) throw IOException("corrupt file (line tree too deep)");
  node.player = ReadValue<int32_t>(reader);
  node.street = ReadValue<int32_t>(reader);
  node.bets = ReadValue<int32_t>(reader);
  node.treeIndex = ReadValue<int32_t>(reader);
  node.amount = ReadValue<double>(reader);
  node.chipsOop = ReadValue<double>(reader);
  node.chipsIp = ReadValue<double>(reader);
  const int32_t count = ReadValue<int32_t>(reader);
  for (int32_t i = 0; i < count; ++i) {
    const double key = ReadValue<double>(reader);
    if (!std::isfinite(key)) throw IOException("corrupt file (line tree key)");
    auto child = std::make_unique<SchematicNode>();
    child->parent = &node;
    ReadNodeRecord(*child, reader, depth + 1);
    node.children[key] = std::move(child);
  }
}

// A child created by a line; it has no TreeNode until the next build.
SchematicNode* CreateChild(SchematicNode& parent, double key) {
  auto child = std::make_unique<SchematicNode>();
  child->parent = &parent;
  child->treeIndex = -1;
  SchematicNode* raw = child.get();
  parent.children[key] = std::move(child);
  return raw;
}

}  // namespace

void AddLine(const TokenVector& words, bool force) {
  SchematicNode& root = *SchematicRoot;
  root.player = root.street = root.bets = 0;
  root.amount = root.chipsOop = root.chipsIp = 0.0;
  double toMatch = 0.0;
  int bets = 0, street = 0, player = 0;
  bool checkPending = false;
  SchematicNode* node = &root;
  for (size_t w = 1; w < words.size(); ++w) {
    const double a = ParseDouble(words[w]);
    if (a > kMaxLineAmount) throw std::invalid_argument("amount too large");
    if (toMatch > a) ThrowBadArguments(words);
    if (force) PruneSchematicChildren(*node, a);
    auto found = node->children.find(a);
    const bool existed = found != node->children.end();
    SchematicNode* child = existed ? found->second.get() : CreateChild(*node, a);

    if (a > toMatch) {
      toMatch = a;
      checkPending = false;
      bets += 1;
      player = 1 - player;
    } else if (bets == 0 && !checkPending) {
      checkPending = true;
      player = 1 - player;
    } else {
      // A check behind or a call closes the street; OOP opens the next one.
      street += 1;
      checkPending = false;
      bets = 0;
      player = 0;
    }
    child->street = street;
    child->player = player;
    child->bets = bets;
    child->amount = a;

    // The player who acted at `node` now has `a` in; the other keeps his total.
    const SchematicNode* acting = node;
    if (node->player < 0 && node->parent) acting = node->parent;
    const int actor = acting->player;
    if (actor == 0) {
      child->chipsOop = a;
      child->chipsIp = acting->chipsIp;
    } else {
      child->chipsIp = a;
      child->chipsOop = acting->chipsOop;
    }

    const SchematicNode* previous = node;
    node = child;
    if (existed) continue;
    if (bets == 0 && !checkPending) continue;  // the action closed a street
    if (child->children.find(a) == child->children.end()) {
      SchematicNode* closing = CreateChild(*child, a);
      closing->amount = a;
      closing->chipsOop = closing->chipsIp = a;
      closing->street = street;
    }
    if (bets == 0) continue;  // a first check: no fold is possible
    if (child->children.find(-1.0) == child->children.end()) {
      SchematicNode* fold = CreateChild(*child, -1.0);
      fold->amount = previous->amount;
      fold->street = street;
      if (player == 0) {
        fold->chipsOop = previous->amount;
        fold->chipsIp = a;
      } else {
        fold->chipsIp = previous->amount;
        fold->chipsOop = a;
      }
    }
  }
}

void ReadSchematicNode(SchematicNode& node, BinaryReader& reader) { ReadNodeRecord(node, reader, 0); }

void PruneSchematicChildren(SchematicNode& node, double amount) {
  for (auto it = node.children.begin(); it != node.children.end();) {
    if (it->first != amount)
      it = node.children.erase(it);
    else
      ++it;
  }
}

std::string PrintLineTree(const SchematicNode& node, const std::string& prefix, double amount, int rootStreet) {
  std::string text;
  char line[256];
  for (const auto& [key, child] : node.children) {
    const char* label;
    if (key == amount)
      label = node.bets == 0 ? "check" : (amount > 0.0 && node.bets >= 1 ? "call" : "bet");
    else
      label = key < amount ? "fold" : "bet";
    if (node.player < 0)
      snprintf(line, sizeof line, "%sdeal\n", prefix.c_str());
    else
      snprintf(line, sizeof line, "%s%d,%d: %s %.1f\n", prefix.c_str(), rootStreet + node.street, node.player,
               label, key);
    text += line;
    text += PrintLineTree(*child, prefix + "  ", key, rootStreet);
  }
  return text;
}

void ClearLines() {
  // The new root is in place before the old tree goes.
  std::unique_ptr<SchematicNode> old = std::move(SchematicRoot);
  SchematicRoot = NewSchematicRoot();
  old.reset();
}

void RemoveLine(const TokenVector& words) {
  SchematicNode* node = SchematicRoot.get();
  double previous = 0.0;
  std::vector<double> keys;
  for (size_t w = 1; w < words.size(); ++w) keys.push_back(ParseDouble(words[w]));
  for (size_t i = 0; i < keys.size(); ++i) {
    double key = keys[i];
    if (key == 0.0 && previous > 0.0) key = -1.0;
    auto found = node->children.find(key);
    if (found == node->children.end()) ThrowCommandError("Specified line doesn't exists.");
    if (i + 1 == keys.size())
      node->children.erase(found);
    else
      node = found->second.get();
    previous = key;
  }
}

void CutLineNode(SchematicNode* node) {
  if (!node || !node->parent) ThrowCommandError("can't cut root");
  SchematicNode* parent = node->parent;
  // A tree whose root keeps no action cannot be built; refuse before cutting.
  if (!parent->parent && parent->children.size() == 1) ThrowCommandError("can't cut root");
  for (auto it = parent->children.begin(); it != parent->children.end();) {
    if (it->second.get() == node)
      it = parent->children.erase(it);
    else
      ++it;
  }
}

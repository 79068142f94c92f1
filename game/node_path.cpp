#include "game/node_path.h"

#include <vector>

#include "core/cards.h"
#include "core/numbers.h"
#include "core/output.h"
#include "core/settings.h"
#include "game/line_tree.h"
#include "game/tree_state.h"

void ThrowIncorrectPath() { ThrowCommandError("incorrect path"); }

int NodeRefStreet(const NodeRef& ref) { return RootStreet + ref.node->street; }

NodeRef ParentNodeRef(const NodeRef& ref) {
  if (!ref.node) return ref;
  NodeRef parent;
  parent.node = ref.node->parent;
  if (parent.node) {
    const int street = NodeRefStreet(parent);
    parent.turnCard = street >= 2 ? ref.turnCard : -1;
    parent.riverCard = street == 3 ? ref.riverCard : -1;
  }
  parent.dealPending = 0;
  return parent;
}

namespace {
std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> fields;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) fields.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return fields;
}

// Every street from the turn on needs its card: a node there is addressed by
// the runout of its dealt cards.
bool CardsNamed(const NodeRef& ref) {
  const int street = NodeRefStreet(ref);
  return (street < 2 || ref.turnCard >= 0) && (street < 3 || ref.riverCard >= 0);
}

SchematicNode* ChildWithKey(SchematicNode* node, double key) {
  auto found = node->children.find(key);
  if (found == node->children.end()) ThrowIncorrectPath();
  return found->second.get();
}
}  // namespace

NodeRef ResolveNodePath(const std::string& path, bool cardsRequired) {
  RequireTree();
  const std::vector<std::string> fields = SplitPath(path);
  if (fields.empty() || fields[0] != "r") ThrowIncorrectPath();
  NodeRef ref;
  ref.turnCard = CardOfMask(TreeBoardMasks[1]);
  ref.riverCard = CardOfMask(TreeBoardMasks[2]);
  if (fields.size() == 1) return ref;
  if (fields[1] != "0") ThrowIncorrectPath();
  ref.node = SchematicRoot.get();
  for (size_t i = 2; i < fields.size(); ++i) {
    const std::string& field = fields[i];
    ref.dealPending = 0;
    const char kind = field[0];
    if ((kind == 'b' || kind == 'c' || kind == 'f') && cardsRequired && !CardsNamed(ref)) ThrowIncorrectPath();
    if (kind == 'b') {
      ref.node = ChildWithKey(ref.node, ParseDouble(field.substr(1)));
    } else if (kind == 'c') {
      const int before = NodeRefStreet(ref);
      ref.node = ChildWithKey(ref.node, ref.node->amount);
      const int after = NodeRefStreet(ref);
      // The call that closes the river ends the hand, and so does a call
      // after which nobody acts (all in): a showdown, not a deal.
      if (after > before && after <= 3 && !ref.node->children.empty()) ref.dealPending = 1;
    } else if (kind == 'f') {
      ref.node = ChildWithKey(ref.node, -1.0);
    } else {
      if (field.size() != 2) ThrowIncorrectPath();
      const CardMask mask = ParseCards(field);
      if (CardCount(mask) != 1 || (mask & TreeBoardMasks[0])) ThrowIncorrectPath();
      const int card = CardOfMask(mask);
      if (!ref.node->parent) ThrowIncorrectPath();
      const NodeRef parent = ParentNodeRef(ref);
      const int parentStreet = NodeRefStreet(parent);
      const int street = NodeRefStreet(ref);
      if (parentStreet == 1 && street == 2 && ref.turnCard < 0) {
        ref.turnCard = card;
      } else if (parentStreet == 2 && street == 3 && ref.riverCard < 0 && ref.turnCard >= 0 &&
                 card != ref.turnCard) {
        ref.riverCard = card;
      } else {
        ThrowIncorrectPath();
      }
    }
  }
  // A node ending the hand after the last card needs the cards of its
  // parent's street only (a call with nobody left to act before the river).
  if (cardsRequired && !ref.dealPending && !CardsNamed(ref)) {
    NodeRef parent = ref;
    parent.node = ref.node->parent;
    if (!ref.node->children.empty() || !parent.node || !CardsNamed(parent)) ThrowIncorrectPath();
  }
  // Nodes added to the lines after the build have no TreeNode.
  if (ref.node->buildStamp == 0 || ref.node->buildStamp != CurrentBuildStamp) ThrowIncorrectPath();
  return ref;
}

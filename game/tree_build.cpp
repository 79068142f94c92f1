#include "game/tree_build.h"

#include <cmath>

#include "core/hand_order.h"
#include "core/output.h"
#include "core/settings.h"
#include "game/line_tree.h"

namespace {

std::string HandText(int combo) {
  for (int hi = 1; hi < kCardCount; ++hi) {
    const int lo = combo - hi * (hi - 1) / 2;
    if (lo >= 0 && lo < hi) return CardText(lo) + " " + CardText(hi);
  }
  return std::string();
}

}  // namespace

double MaxLineAmount(const SchematicNode& node) {
  double largest = 0.0;
  for (const auto& [key, child] : node.children) largest = std::max({largest, key, MaxLineAmount(*child)});
  return largest;
}

void FlattenLineTree(const SchematicNode& node, int32_t parentIndex, double key, int rootStreet, double pot,
                     std::vector<FlatLineRecord>& records, std::vector<const SchematicNode*>& nodes) {
  FlatLineRecord record;
  record.parentIndex = parentIndex;
  if (!node.children.empty()) {
    record.kind = kInnerNode;
    record.player = node.player;
    record.street = rootStreet + node.street;
    record.amount = 0.0;
  } else {
    record.kind = key >= 0 ? kShowdownNode : kFoldNode;
    record.player = -1;
    record.street = -1;
    record.amount = 0.5 * pot + node.amount;
  }
  const int32_t index = static_cast<int32_t>(records.size());
  records.push_back(record);
  nodes.push_back(&node);
  for (const auto& [childKey, child] : node.children)
    FlattenLineTree(*child, index, childKey, rootStreet, pot, records, nodes);
}

bool RangeAsymmetry(const std::vector<double>& range, CardMask board, int& reference, int& combo) {
  for (const std::vector<uint16_t>& hands : HandClassLists) {
    reference = -1;
    for (uint16_t c : hands) {
      if (HandMaskByOrder[OrderByComboIndex[c]] & board) continue;
      if (reference < 0) {
        reference = c;
        continue;
      }
      const double a = range[reference], b = range[c];
      if (std::fabs(b - a) > 2.220446049250313e-16 || (a == 0.0) != (b == 0.0)) {
        combo = c;
        return true;
      }
    }
  }
  return false;
}

void CheckRangeIsomorphism(CardMask board) {
  static const char* const kPlayerNames[2] = {"OOP", "IP"};
  for (int p = 0; p < 2; ++p) {
    const std::vector<double>& range = RangeVectors[p];
    int reference, combo;
    if (!RangeAsymmetry(range, board, reference, combo)) continue;
    char message[256];
    snprintf(message, sizeof message,
             "inconsistent range: %s P(%s) == %.2g, P(%s) == %.2g, use 'set_isomorphism 0 0' if intended",
             kPlayerNames[p], HandText(reference).c_str(), range[reference], HandText(combo).c_str(), range[combo]);
    ThrowCommandError(message);
  }
}

double CompatiblePairWeight(const std::vector<double>& oop, const std::vector<double>& ip, CardMask board) {
  // Inclusion-exclusion over the 52 per-card sums of IP's weights.
  double perCard[kCardCount] = {};
  double total = 0.0;
  for (int hi = 1; hi < kCardCount; ++hi) {
    for (int lo = 0; lo < hi; ++lo) {
      if ((CardBit(lo) | CardBit(hi)) & board) continue;
      const double w = ip[ComboIndex(lo, hi)];
      perCard[lo] += w;
      perCard[hi] += w;
      total += w;
    }
  }
  double pairs = 0.0;
  for (int hi = 1; hi < kCardCount; ++hi) {
    for (int lo = 0; lo < hi; ++lo) {
      if ((CardBit(lo) | CardBit(hi)) & board) continue;
      const int c = ComboIndex(lo, hi);
      if (oop[c] > 0.0) pairs += oop[c] * (total - perCard[lo] - perCard[hi] + ip[c]);
    }
  }
  return pairs;
}

#include "results/line_frequency_report.h"

#include <cmath>
#include <vector>

#include "core/cards.h"
#include "core/output.h"
#include "game/line_tree.h"
#include "game/tree_state.h"
#include "results/range_report.h"
#include "results/report_helpers.h"
#include "storage/solver_tree.h"

namespace {

struct FrequencyContext {
  NodeRef ref;
  int nodeIndex = 0;
  double total = 0.0;
};

// The sum of the entries of OOP's joint reach weights that are numbers.
double SumOfNumbers(const std::vector<double>& values) {
  double sum = 0.0;
  for (double v : values)
    if (!std::isnan(v)) sum += v;
  return sum;
}

double JointWeight(int nodeIndex, int turnCard, int riverCard) {
  std::vector<double> values(kComboCount, 0.0);
  CalcLineFrequency(0, nodeIndex, turnCard, riverCard, values.data());
  return SumOfNumbers(values);
}

void SumLineFrequency(FrequencyContext& context, int turnCard, int riverCard) {
  context.total += JointWeight(context.nodeIndex, turnCard, riverCard);
}

// The tree's board: every card of it is off the deck.
CardMask TreeBoard() { return TreeBoardMasks[0] | TreeBoardMasks[1] | TreeBoardMasks[2]; }

int LowestCard(CardMask mask) { return mask ? CardOfMask(mask) : -1; }

// The street of a reference by the cards it holds.
int StreetOfCards(const NodeRef& ref) { return ref.riverCard >= 0 ? 3 : ref.turnCard >= 0 ? 2 : 1; }

// The root's joint weight, then the node of the path with its index.
double RootWeight() { return JointWeight(0, LowestCard(TreeBoardMasks[1]), LowestCard(TreeBoardMasks[2])); }

FrequencyContext ResolveFrequencyPath(const std::string& path) {
  FrequencyContext context;
  context.ref = ResolveNodePath(path == "r" ? std::string("r:0") : path);
  if (context.ref.node) {
    CheckedTreeNode(*context.ref.node);
    context.nodeIndex = context.ref.node->treeIndex;
  }
  return context;
}

void PrintQuotient(double numerator, double denominator) {
  OutputText(FormatReportNumber("%.9g", numerator / denominator) + "\n");
}

}  // namespace

void CollectDealCodes(const NodeRef& ref, int& last, DealCodeLists& lists) {
  const CardMask board = TreeBoard();
  const int street = StreetOfCards(ref);
  auto start = [&](int card) {
    if (last < card) {
      lists.emplace_back();
      last = card;
    }
  };
  auto open = [&](int card) { return card >= 0 && !(CardBit(card) & board); };
  if (street == RootStreet) {
    start(ref.turnCard);
    if (lists.empty()) lists.emplace_back();
    lists.back().push_back(static_cast<uint16_t>((ref.turnCard & 0xFF) << 8 | (ref.riverCard & 0xFF)));
  } else if (RootStreet == 1 && street == 2) {
    for (int t = 0; t < kCardCount; ++t)
      if (open(t)) {
        start(t);
        lists.back().push_back(0xFFFF);
      }
  } else if (RootStreet == 1 && street == 3) {
    for (int t = 0; t < kCardCount; ++t)
      for (int r = 0; r < kCardCount; ++r)
        if (open(t) && open(r) && r != t) {
          start(t);
          lists.back().push_back(static_cast<uint16_t>(t << 8 | r));
        }
  } else if (RootStreet == 2 && street == 3) {
    for (int r = 0; r < kCardCount; ++r)
      if (open(r)) {
        start(ref.turnCard);
        if (lists.empty()) lists.emplace_back();
        lists.back().push_back(static_cast<uint16_t>(ref.turnCard << 8 | r));
      }
  }
}

void PrintLineFrequency(const std::string& path) {
  FrequencyContext context = ResolveFrequencyPath(path);
  const double denominator = RootWeight();
  const NodeRef& ref = context.ref;
  const int street = StreetOfCards(ref);
  const CardMask board = TreeBoard();
  if (RootStreet == 1 && street == 3) {
    DealCodeLists lists;
    int last = -1;
    CollectDealCodes(ref, last, lists);
    context.total = libsubgame_calc_river_line_freq(context.nodeIndex, lists);
  } else if (street == RootStreet) {
    SumLineFrequency(context, ref.turnCard, ref.riverCard);
  } else if (RootStreet == 1 && street == 2) {
    for (int c = 0; c < kCardCount; ++c)
      if (!(CardBit(c) & board)) context.total += JointWeight(context.nodeIndex, c, -1);
  } else if (RootStreet == 2 && street == 3) {
    for (int c = 0; c < kCardCount; ++c)
      if (!(CardBit(c) & board)) context.total += JointWeight(context.nodeIndex, ref.turnCard, c);
  }
  PrintQuotient(context.total, denominator);
}

void PrintGlobalFrequency(const std::string& path) {
  const FrequencyContext context = ResolveFrequencyPath(path);
  const double denominator = RootWeight();
  PrintQuotient(JointWeight(context.nodeIndex, context.ref.turnCard, context.ref.riverCard), denominator);
}

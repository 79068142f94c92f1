#include "results/equity_report.h"

#include <vector>

#include "core/cards.h"
#include "core/hand_order.h"
#include "core/output.h"
#include "game/node_path.h"
#include "game/tree_state.h"
#include "results/range_report.h"
#include "results/report_helpers.h"
#include "solver/equity.h"
#include "solver/report_kernels.h"

namespace {

struct Equities {
  std::vector<double> equity;  // hand order, in [0, 1]
  std::vector<double> weight;  // hand order, matchup weights
};

// The lowest card of a mask, -1 when empty.
int LowestCard(CardMask mask) { return mask ? CardOfMask(mask) : -1; }

Equities ComputeEquities(int player, const std::vector<double>& own, const std::vector<double>& opponent,
                         int turnCard, int riverCard) {
  std::vector<double> result(kComboCount, 0.0), weight(kComboCount, 0.0);
  CalcEquity(player, turnCard, riverCard, own.data(), opponent.data(), result.data(), weight.data());
  EquityFromBalance(result.data(), kComboCount);
  return {ReorderHandValues(result, ComboIndexByOrder), ReorderHandValues(weight, ComboIndexByOrder)};
}

// At the root: the tree's ranges on the tree's own board.
Equities RootEquities(int player) {
  RequireTree();
  std::vector<double> own, opponent;
  RangeAtNode(own, player, std::string());
  RangeAtNode(opponent, player ^ 1, std::string());
  return ComputeEquities(player, own, opponent, LowestCard(TreeBoardMasks[1]), LowestCard(TreeBoardMasks[2]));
}

}  // namespace

void PrintEquityReport(int player) {
  const Equities e = RootEquities(player);
  FormatNumberField(e.equity, "%.9g", "nan");
  FormatNumberField(e.weight, "%.9g", "0");
  Output("END\n");
}

void PrintEquityPpReport(int player) {
  const Equities e = RootEquities(player);
  std::string text;
  for (int k : HandsByEquity("r:0"))
    text += HandName(k) + ": " + FormatReportNumber("%.2f", 100.0 * e.equity[k]) + "; " +
            FormatReportNumber("%.2f", e.weight[k]) + "\n";
  OutputText(text);
  Output("END\n");
}

void PrintNodeEquityReport(int player, const std::string& path) {
  const std::string nodePath = path == "r" ? std::string("r:0") : path;
  const NodeRef ref = ResolveNodePath(nodePath);
  std::vector<double> own, opponent;
  RangeAtNode(own, player, nodePath);
  RangeAtNode(opponent, player ^ 1, nodePath);
  const Equities e = ComputeEquities(player, own, opponent, ref.turnCard, ref.riverCard);
  const double average = WeightedMean(e.equity.data(), e.weight.data(), kComboCount);
  FormatNumberField(e.equity, "%.9g", "nan");
  FormatNumberField(e.weight, "%.9g", "0");
  OutputText(FormatReportNumber("%.9g", average) + "\n");
  Output("END\n");
}

#include "console/report_commands.h"

#include "core/settings.h"
#include "game/line_tree.h"
#include "game/node_path.h"
#include "results/node_report.h"
#include "results/partial_solve.h"
#include "results/range_report.h"
#include "results/report_helpers.h"
#include "results/strategy_report.h"

namespace {
// The re-solve of the forgotten sub-tree below the decision node of a path.
double PartialSolveOfPath(const std::string& path) {
  const NodeRef ref = ResolveNodePath(path);
  if (!RequireDecisionNode(ref)) ThrowIncorrectPath();
  CheckedTreeNode(*ref.node);
  CheckedRunout(ref);
  return SolvePartial(ref.node->treeIndex, ref.turnCard, ref.riverCard);
}
}  // namespace

void CmdShowNode(const TokenVector& words) {
  const NodeRef ref = ResolveNodePath(words[1]);
  PrintNodeInfo(words[1], ref);
  Output("END\n");
}

void CmdShowChildren(const TokenVector& words) { PrintNodeChildren(words[1], ResolveNodePath(words[1])); }

void CmdShowStrategy(const TokenVector& words) { PrintStrategyReport(words[1]); }

void CmdShowStrategyPp(const TokenVector& words) { PrintStrategyPpReport(words[1]); }

void CmdShowLockedCombos(const TokenVector& words) { PrintLockedCombosReport(words[1]); }

void CmdShowRange(const TokenVector& words) {
  if (words.size() < 2) ThrowBadArguments(words);
  const int player = ParsePlayerName(words[1]);
  PrintRangeReport(player, words.size() > 2 ? words[2] : std::string());
}

void CmdShowProbs(const TokenVector& words) { PrintProbsReport(words[1]); }

void CmdSolvePartial(const TokenVector& words) {
  PartialSolveOfPath(words[1]);
  ReplyOk(words);
}

void CmdExploPartial(const TokenVector& words) {
  OutputText(FormatReportNumber("%.6g", PartialSolveOfPath(words[1])) + "\n");
}

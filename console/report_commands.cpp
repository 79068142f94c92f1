#include "console/report_commands.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "core/hand_order.h"
#include "core/numbers.h"
#include "core/settings.h"
#include "solver/engine_state.h"
#include "game/line_tree.h"
#include "game/node_path.h"
#include "results/equity_report.h"
#include "results/ev_report.h"
#include "results/line_frequency_report.h"
#include "results/node_locking.h"
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

// The decision node that a lock command names, checked before anything is
// parsed or changed.
NodeRef LockedNodeOfPath(const std::string& path) {
  if (IsSolverRunning()) ThrowCommandError("Can't do that when solver is running");
  const NodeRef ref = ResolveNodePath(path);
  if (!RequireDecisionNode(ref)) ThrowIncorrectPath();
  CheckedTreeNode(*ref.node);
  CheckedRunout(ref);
  return ref;
}

// 1326 hand-order weights from words[first..] in combo order. A weight that
// is not finite is refused unless `allowNan` (where a NaN means "set").
// Strategy weights are refused above the largest hand weight: the solver
// keeps a strategy row in single precision and sums it over the actions, and
// far larger weights overflow into infinities whose quotients are NaN.
std::vector<double> HandWeightsOfWords(const TokenVector& words, size_t first, bool allowNan) {
  std::vector<double> weights;
  if (!allowNan) {
    weights = ParseHandWeights(words, first);
    for (double w : weights) {
      if (w < 0.0) throw std::invalid_argument("negative weight");
      if (w > kMaxHandWeight) throw std::invalid_argument("weight too large");
    }
  } else {
    for (size_t i = first; i < words.size(); ++i) {
      const char* text = words[i].c_str();
      char* end = nullptr;
      errno = 0;
      const double w = strtod(text, &end);
      if (end == text || (errno == ERANGE && std::isinf(w))) throw std::invalid_argument("bad weight");
      weights.push_back(w);
    }
  }
  weights.resize(kComboCount, 0.0);
  return ReorderHandValues(weights, OrderByComboIndex);
}
}  // namespace

void CmdShowNode(const TokenVector& words) {
  const NodeRef ref = ResolveNodePath(words[1], false);
  PrintNodeInfo(words[1], ref);
  Output("END\n");
}

void CmdShowChildren(const TokenVector& words) {
  PrintNodeChildren(words[1], ResolveNodePath(words[1], false));
}

// The reports that read the solver's storages hold the solver lock for their
// whole run: while a solve runs they wait for the iteration in progress only,
// and see one state of the tree throughout.
void CmdShowStrategy(const TokenVector& words) {
  const SolverQueryLock query;
  PrintStrategyReport(words[1]);
}

void CmdShowStrategyPp(const TokenVector& words) {
  const SolverQueryLock query;
  PrintStrategyPpReport(words[1]);
}

void CmdShowLockedCombos(const TokenVector& words) {
  const SolverQueryLock query;
  PrintLockedCombosReport(words[1]);
}

void CmdShowRange(const TokenVector& words) {
  const SolverQueryLock query;
  if (words.size() < 2) ThrowBadArguments(words);
  const int player = ParsePlayerName(words[1]);
  PrintRangeReport(player, words.size() > 2 ? words[2] : std::string());
}

void CmdShowProbs(const TokenVector& words) {
  const SolverQueryLock query;
  PrintProbsReport(words[1]);
}

void CmdSolvePartial(const TokenVector& words) {
  const SolverQueryLock query;
  PartialSolveOfPath(words[1]);
  ReplyOk(words);
}

void CmdExploPartial(const TokenVector& words) {
  const SolverQueryLock query;
  OutputText(FormatReportNumber("%.6g", PartialSolveOfPath(words[1])) + "\n");
}

void CmdLockNode(const TokenVector& words) {
  const NodeRef ref = LockedNodeOfPath(words[1]);
  LockNode(ref.node->treeIndex, ref.turnCard, ref.riverCard, true);
  ReplyOk(words);
}

void CmdUnlockNode(const TokenVector& words) {
  const NodeRef ref = LockedNodeOfPath(words[1]);
  LockNode(ref.node->treeIndex, ref.turnCard, ref.riverCard, false);
  ReplyOk(words);
}

void CmdSetStrategy(const TokenVector& words) {
  const NodeRef ref = LockedNodeOfPath(words[1]);
  const int child = ParseInt(words[2]);
  if (child < 0 || child >= static_cast<int>(ref.node->children.size())) ThrowCommandError("invalid child index");
  const std::vector<double> weights = HandWeightsOfWords(words, 3, false);
  SetNodeStrategy(ref.node->treeIndex, child, ref.turnCard, ref.riverCard, weights.data());
  ReplyOk(words);
}

void CmdComboLockNode(const TokenVector& words) {
  const NodeRef ref = LockedNodeOfPath(words[1]);
  const std::vector<double> weights = HandWeightsOfWords(words, 2, true);
  ComboLockNode(ref.node->treeIndex, ref.turnCard, ref.riverCard, weights.data());
  ReplyOk(words);
}

void CmdCalcEq(const TokenVector& words) {
  const SolverQueryLock query;
  if (words.size() < 2) ThrowBadArguments(words);
  PrintEquityReport(ParsePlayerName(words[1]));
}

void CmdCalcEqPp(const TokenVector& words) {
  const SolverQueryLock query;
  if (words.size() < 2) ThrowBadArguments(words);
  PrintEquityPpReport(ParsePlayerName(words[1]));
}

void CmdCalcEqNode(const TokenVector& words) {
  const SolverQueryLock query;
  if (words.size() < 3) ThrowBadArguments(words);
  PrintNodeEquityReport(ParsePlayerName(words[1]), words[2]);
}

void CmdCalcEv(const TokenVector& words) {
  const SolverQueryLock query;
  PrintEvReport(ParsePlayerName(words[1]), words[2]);
}

void CmdCalcEvPp(const TokenVector& words) {
  const SolverQueryLock query;
  PrintEvPpReport(ParsePlayerName(words[1]), words[2]);
}

void CmdCalcEvLine(const TokenVector& words) { PrintEvLineReport(ParsePlayerName(words[1]), words[2]); }

void CmdCalcLineFreq(const TokenVector& words) {
  const SolverQueryLock query;
  PrintLineFrequency(words[1]);
}

void CmdCalcGlobalFreq(const TokenVector& words) {
  const SolverQueryLock query;
  PrintGlobalFrequency(words[1]);
}

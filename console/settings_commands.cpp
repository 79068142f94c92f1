#include "console/settings_commands.h"

#include <stdexcept>

#include "core/hand_order.h"
#include "core/numbers.h"
#include "core/parallel.h"
#include "game/line_tree.h"
#include "game/node_path.h"
#include "game/tree_state.h"
#include "results/node_report.h"
#include "solver/engine_state.h"

void ApplyTargetAccuracy() {
  const double pot = PotSettings[2];
  const double target = AccuracyIsFraction ? AccuracySetting * pot : AccuracySetting;
  SetTargetAccuracy(target);
  const double fraction = AccuracyIsFraction ? AccuracySetting : (pot != 0.0 ? AccuracySetting / pot : 0.0);
  if (Verbosity > 0) Output("[accuracy %.6g (%.6g fraction)]\n", target, fraction);
}

void CmdSetRange(const TokenVector& words) {
  const int player = ParsePlayerName(words[1]);
  std::vector<double> weights = ReorderHandValues(ParseHandWeights(words, 2), OrderByComboIndex);
  double lo = 0.0, hi = 0.0;
  for (size_t i = 0; i < weights.size(); ++i) {
    if (weights[i] > kMaxHandWeight) throw std::invalid_argument("hand weight too large");
    if (weights[i] < 1e-5) weights[i] = 0.0;
    if (i == 0 || weights[i] < lo) lo = weights[i];
    if (i == 0 || weights[i] > hi) hi = weights[i];
  }
  RangeVectors[player] = std::move(weights);
  if (Verbosity > 0) Output("[set_range min %.8g max %.8g]\n", lo, hi);
  ReplyOk(words);
}

void CmdSetBoard(const TokenVector& words) {
  if (words.size() < 4 || words.size() > 6) ThrowBadArguments(words);
  // Every word is checked before anything is stored. The flop is the union
  // of the first three words (a word may hold several cards, and repeat a
  // card of another of them); the turn and the river are one card each.
  CardMask masks[5] = {};
  for (size_t w = 1; w < words.size(); ++w) masks[w - 1] = ParseCards(words[w]);
  const CardMask flop = masks[0] | masks[1] | masks[2], turn = masks[3], river = masks[4];
  if (CardCount(flop) != 3) ThrowBadArguments(words);
  if (words.size() >= 5 && CardCount(turn) != 1) ThrowBadArguments(words);
  if (words.size() == 6 && CardCount(river) != 1) ThrowBadArguments(words);
  // A turn or river card that repeats another card of the board.
  if (CardCount(flop | turn | river) != static_cast<int>(words.size()) - 1) ThrowCommandError("duplicate cards");
  BoardMasks[0] = flop;
  BoardMasks[1] = turn;
  BoardMasks[2] = river;
  ReplyOk(words);
}

void CmdSetPot(const TokenVector& words) {
  double values[3];
  for (int i = 0; i < 3; ++i) values[i] = ParseInt(words[1 + i]);
  if (values[0] < 0 || values[1] < 0 || values[2] < 0) ThrowBadArguments(words);
  for (int i = 0; i < 3; ++i) PotSettings[i] = values[i];
  ApplyTargetAccuracy();
  ReplyOk(words);
}

void CmdSetAccuracy(const TokenVector& words) {
  if (words.size() < 2) ThrowBadArguments(words);
  const double value = ParseDouble(words[1]);
  if (value < 0) ThrowBadArguments(words);
  AccuracySetting = value;
  AccuracyIsFraction = words.size() >= 3 && words[2] == "fraction";
  ApplyTargetAccuracy();
  ReplyOk(words);
}

void CmdSetRecalcAccuracy(const TokenVector& words) {
  double values[3];
  for (int i = 0; i < 3; ++i) values[i] = ParseDouble(words[1 + i]);
  const double pot = PotSettings[2];
  SetRecalcAccuracy(values[0] * pot, values[1] * pot, values[2] * pot);
  ReplyOk(words);
}

void CmdSetRake(const TokenVector& words) {
  const double fraction = ParseDouble(words[1]);
  const double cap = ParseDouble(words[2]);
  if (fraction < 0 || fraction > 1 || cap < 0) ThrowBadArguments(words);
  SetRake(fraction, cap);
  ReplyOk(words);
}

void CmdSetThreads(const TokenVector& words) {
  int n = ParseInt(words[1]);
  if (n < 1) n = DefaultThreadCount();
  if (n > kMaxThreadCount) n = kMaxThreadCount;
  SetThreadCount(n);
  // Commands run on this thread: its own regions (tree building, results,
  // reports) ask for the same team size as the solver's passes; each pass
  // gets as many of those threads as the address space holds.
  SetRequestedTeamSize(n);
  ReplyOk(words);
}

void CmdSetIsomorphism(const TokenVector& words) {
  IsomorphismFlags[1] = words[1] != "0";
  IsomorphismFlags[2] = words[2] != "0";
  ReplyOk(words);
}

void CmdSetScheduler(const TokenVector& words) {
  const int n = ParseInt(words[1]);
  if (n != 0 && n != 1) ThrowBadArguments(words);
  SchedulerMode = n;
  ReplyOk(words);
}

void CmdIgnoreMemCheck(const TokenVector& words) {
  if (words[1] != "on" && words[1] != "off") ThrowBadArguments(words);
  ReplyOk(words);
}

void CmdSetEffStack(const TokenVector& words) { ReplyOk(words); }

void CmdSetEvBoost(const TokenVector& words) {
  RequireTree();
  const NodeRef ref = ResolveNodePath(words[1]);
  if (!RequireDecisionNode(ParentNodeRef(ref))) ThrowBadArguments(words);
  const double value = ParseDouble(words[2]);
  if (value < -0.99 || value > 1.0) ThrowBadArguments(words);
  SetEvBoost(ref.node->treeIndex, static_cast<float>(value));
  ReplyOk(words);
}

void CmdShowEffectiveStack(const TokenVector&) {
  RequireTree();
  Output("%d\n", EffectiveStack);
}

void CmdIsTreePresent(const TokenVector&) { Output(TreeBuilt ? "true\n" : "false\n"); }

void CmdShowSettings(const TokenVector&) { Output("END\n"); }

void CmdShowTreeParams(const TokenVector&) {
  NodeRef root;
  root.turnCard = CardOfMask(ReportBoardMasks()[1]);
  root.riverCard = CardOfMask(ReportBoardMasks()[2]);
  Output("board: ");
  PrintNodeBoard(root);
  Output("pot: ");
  PrintNodeAmounts(root);
  Output("bet_sizes: \n");
  Output("donk_bet: FALSE\n");
  Output("END\n");
}

namespace {
// Per street 1..3: decisions of IP (player field 1), of OOP, splits and ends.
struct NodeCounts {
  int hDec[4] = {}, vDec[4] = {}, split[4] = {}, end[4] = {};
  int hTotal = 0, vTotal = 0, splitTotal = 0, endTotal = 0, total = 0;
};

void CountLineNodes(const SchematicNode& node, NodeCounts& counts) {
  static const int kDeals[4] = {0, 1, 49, 2352};
  const int street = RootStreet + node.street;
  const int weight = street >= 1 && street <= 3 ? kDeals[street] : 0;
  const int s = street >= 1 && street <= 3 ? street : 0;
  if (!node.children.empty()) {
    if (node.player == 1) {
      counts.hDec[s] += weight;
      counts.hTotal += weight;
    } else {
      counts.vDec[s] += weight;
      counts.vTotal += weight;
    }
    counts.total += weight;
  }
  for (const auto& entry : node.children) {
    const SchematicNode& child = *entry.second;
    if (child.street > node.street) {
      counts.split[s] += weight;
      counts.splitTotal += weight;
      counts.total += weight;
    }
    if (child.children.empty()) {
      counts.end[s] += weight;
      counts.endTotal += weight;
      counts.total += weight;
    }
    CountLineNodes(child, counts);
  }
}
}  // namespace

void CmdNodeCount(const TokenVector&) {
  RequireTree();
  NodeCounts c;
  CountLineNodes(*SchematicRoot, c);
  const auto block = [](const char* name, int total, const int* perStreet) {
    Output("%s: %d\n", name, total);
    Output("FLOP  %d\n", perStreet[1]);
    Output("TURN  %d\n", perStreet[2]);
    Output("RIVER  %d\n", perStreet[3]);
  };
  block("H_DEC", c.hTotal, c.hDec);
  block("V_DEC", c.vTotal, c.vDec);
  block("SPLIT", c.splitTotal, c.split);
  block("END", c.endTotal, c.end);
  Output("ROOT: 1\n");
  Output("FLOP  %d\n", RootStreet == 1 ? 1 : 0);
  Output("TURN  %d\n", RootStreet == 2 ? 1 : 0);
  Output("RIVER %d\n", RootStreet == 3 ? 1 : 0);
  Output("TOTAL: %d\n", c.total + 1);
  Output("END\n");
}

#include "console/settings.h"

#include <omp.h>

#include "console/hand_order.h"
#include "console/numbers.h"
#include "game/node_path.h"
#include "game/tree_state.h"
#include "results/node_report.h"
#include "solver/engine_state.h"

std::vector<double> RangeVectors[2];
CardMask BoardMasks[3] = {0, 0, 0};
double PotSettings[3] = {0.0, 0.0, 100.0};
double AccuracySetting = 0.0;
bool AccuracyIsFraction = false;
unsigned char IsomorphismFlags[4] = {0, 1, 0, 0};

int ParsePlayerName(const std::string& word) {
  if (word == "OOP" || word == "hero") return 0;
  if (word == "IP" || word == "villain") return 1;
  ThrowCommandError("incorrect player name");
}

std::vector<double> ParseHandWeights(const TokenVector& words, size_t first) {
  std::vector<double> weights;
  weights.reserve(words.size() > first ? words.size() - first : 0);
  for (size_t i = first; i < words.size(); ++i) weights.push_back(ParseDouble(words[i]));
  return weights;
}

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
  // Every word is checked before anything is stored.
  const CardMask flop = ParseCards(words[1]) | ParseCards(words[2]) | ParseCards(words[3]);
  if (CardCount(flop) != 3) ThrowBadArguments(words);
  CardMask turn = 0, river = 0;
  if (words.size() >= 5) {
    turn = ParseCards(words[4]);
    if (CardCount(turn) != 1) ThrowBadArguments(words);
  }
  if (words.size() == 6) {
    river = ParseCards(words[5]);
    if (CardCount(river) != 1) ThrowBadArguments(words);
  }
  if (CardCount(flop | turn | river) != static_cast<int>(words.size()) - 1)
    ThrowCommandError("duplicate cards");
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
  if (n < 1) n = omp_get_max_threads();
  if (n > kMaxThreadCount) n = kMaxThreadCount;
  SetThreadCount(n);
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

void CmdSetEvBoost(const TokenVector&) {
  RequireTree();
  // A tree can only exist once the game model is in place; until then the
  // guard above always refuses.
  ThrowNotImplemented();
}

void CmdShowEffectiveStack(const TokenVector&) {
  RequireTree();
  Output("%d\n", EffectiveStack);
}

void CmdIsTreePresent(const TokenVector&) { Output(TreeBuilt ? "true\n" : "false\n"); }

void CmdShowSettings(const TokenVector&) { Output("END\n"); }

void CmdShowTreeParams(const TokenVector&) {
  NodeRef root;
  root.turnCard = CardOfMask(BoardMasks[1]);
  root.riverCard = CardOfMask(BoardMasks[2]);
  Output("board: ");
  PrintNodeBoard(root);
  Output("pot: ");
  PrintNodeAmounts(root);
  Output("bet_sizes: \n");
  Output("donk_bet: FALSE\n");
  Output("END\n");
}

void CmdNodeCount(const TokenVector&) {
  RequireTree();
  ThrowNotImplemented();
}

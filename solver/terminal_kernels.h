// Terminal payoffs of the CFR passes: fold and showdown values of every hand
// of a board with card removal, and the combined evaluation of a river
// decision's showdown and fold children in one sweep.
//
// Values are counterfactual and in chips: a hand's value is the payoff times
// the opponent reach of the opponent hands that share no card with it
// (showdowns: + for weaker hands, - for stronger ones, 0 for ties). Every
// per-hand array is in the board's list order; a river list is in ascending
// strength with the value runs marking stretches of equal strength.
//
// The pointer kernels write all of their n outputs and never allocate; a
// null reach reads as zeros; outputs must not overlap inputs or each other.
// Each picks its AVX2/FMA or AVX variant per call. The showdown and pair
// kernels keep fixed working storage on the stack for at most 1081 hands (a
// river board's most); a longer list ends the process through Fail. Their
// value runs drive every index of the sweep: with runsChecked false they are
// checked first (all positive, adding up to the hand count, else Fail); true
// states that they were checked when the list was built (a river record's
// runsCoverList), so that a solve does not walk them again on every call.
#pragma once

#include <cstdint>

#include "game/aligned_array.h"

struct BoardCombos;
struct RiverRecord;
struct SolverTree;
struct TreeNode;

// --- Per-hand kernels --------------------------------------------------------------

// Exact fold values: out[i] = payoff * (sum of reach[j] > 0 over hands j that
// share no card with hand i). All zeros when the payoff-weighted total is at
// most DBL_MIN in magnitude.
void FoldReachSums(double* out, const double* reach, uint32_t n, const uint16_t* pairCodes, double payoff);
// Approximate fold values without card removal: every hand gets
// payoff * 990/1081 * (sum of all reach); zeros when that sum is at most DBL_MIN.
void FoldReachTotal(double* out, const double* reach, uint32_t n, double payoff);
// Exact showdown values over a strength-ordered list: payoff times the
// compatible reach of weaker hands minus that of stronger hands. All zeros
// when the payoff-weighted total is at most FLT_MIN in magnitude.
void ShowdownReachSums(double* out, const double* reach, uint32_t n, const int16_t* valueRuns, uint32_t runCount,
                       const uint16_t* pairCodes, double payoff, bool runsChecked);
// Approximate showdown values without card removal: payoff * 990/1081 times
// (reach of weaker runs - reach of stronger runs).
void ShowdownGroupSums(double* out, const double* reach, uint32_t n, const int16_t* valueRuns, uint32_t runCount,
                       double payoff, bool runsChecked);

// --- Per-group kernels (records with hand groups) -------------------------------------
// shares: 52 per group, the fraction of the group's hands holding each card.

// Card-removal fold value of an average hand of each group.
void FoldReachSumsByRow(double* out, const double* reach, const double* shares, const int16_t* groupSizes,
                        uint32_t groupCount, double payoff);
// out[g] = payoff * 990/1081 * (sum of all group reach).
void FoldReachTotalByRow(double* out, const double* reach, uint32_t groupCount, double payoff);
// Showdown value per group: earlier groups count as beaten, later ones as
// winning, with card removal through the shares.
void ShowdownReachSumsByRow(double* out, const double* reach, const double* shares, uint32_t groupCount,
                            double payoff);
// The same without card removal, scaled by 990/1081.
void ShowdownGroupSumsByRow(double* out, const double* reach, uint32_t groupCount, double payoff);

// --- Combined river terminal pair -------------------------------------------------------
// The showdown values of one child and the fold values of the other in one
// sweep; they equal ShowdownReachSums and FoldReachSums on the same inputs up
// to rounding. Both outputs become zeros when the reach total is at most
// FLT_MIN (shared form) or when both payoff-weighted totals are (split form).
void TerminalPairReachSums(double* outShowdown, double* outFold, const double* reach, uint32_t n,
                           const int16_t* valueRuns, uint32_t runCount, const uint16_t* pairCodes,
                           double showdownPayoff, double foldPayoff, bool runsChecked);
// Each child with its own opponent reach; one missing reach reads as zeros.
void TerminalPairSplitReachSums(double* outShowdown, double* outFold, const double* showdownReach,
                                const double* foldReach, uint32_t n, const int16_t* valueRuns, uint32_t runCount,
                                const uint16_t* pairCodes, double showdownPayoff, double foldPayoff,
                                bool runsChecked);

// --- Terminal evaluation on boards -------------------------------------------------------

// Fold values of a river board for the opponent reach (per hand, or per group
// when the record has hand groups). An opponent reach without data gives an
// output without data whose count is the record's hand count. Otherwise:
// without hand groups the output holds one value per hand (the approximate
// kernel while CurrentIteration < 0); with hand groups, `grouped` (update
// passes) gives one value per group, else the group reach is spread evenly
// over the group's hands and the output holds one value per hand.
void EvaluateFold(const RiverRecord& record, AlignedArray& output, const AlignedArray& oppReach, bool grouped,
                  double payoff);
// Showdown values, with the same conventions as EvaluateFold.
void EvaluateShowdown(const RiverRecord& record, AlignedArray& output, const AlignedArray& oppReach, bool grouped,
                      double payoff);
// Fold values on a flop or turn board (or any board's list): the output is
// sized to the list's hand count and filled (zeros for a reach without data).
void EvaluateBoardFold(const BoardCombos& combos, AlignedArray& output, const AlignedArray& oppReach,
                       double payoff);

// Payoff of a terminal node for the traversing player: a fold pays its
// amount, negated when the traversing player is the one who folded (the fold
// node's player); a showdown pays its amount; anything else pays 0.
double TerminalPayoff(const TreeNode& node, int32_t traversingPlayer);

// Whether the combined pair evaluation applies to a decision node: a river
// inner node whose last two children are, in child order, a showdown and then
// a fold. Only then are the two payoffs filled (for the tree's traversing
// player). The caller adds its own conditions (update pass, non-empty reach).
bool RiverTerminalPair(const SolverTree& tree, const TreeNode& node, double& showdownPayoff, double& foldPayoff);

// Both children of a river terminal pair for the traversing player's
// decision, where both see the same opponent reach. A reach without data
// gives two outputs without data of the record's hand count. On a record with
// hand groups the two children are evaluated separately, grouped.
void EvaluateTerminalPairSharedReach(const RiverRecord& record, AlignedArray& outShowdown, AlignedArray& outFold,
                                     const AlignedArray& oppReach, double showdownPayoff, double foldPayoff);
// Both children for the other player's decision, each with its own reach
// (the opponent's reach times the action's probability). Both reaches
// without data give outputs without data; one missing reach reads as zeros.
void EvaluateTerminalPairSplitReach(double showdownPayoff, double foldPayoff, const RiverRecord& record,
                                    AlignedArray& outShowdown, AlignedArray& outFold,
                                    const AlignedArray& showdownReach, const AlignedArray& foldReach);

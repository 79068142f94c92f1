// Compatible-reach sums of the EV pass's value capture: per-hand expected
// values and weights from one node's counterfactual values on one board.
#pragma once

#include <cstdint>
#include <vector>

#include "core/cards.h"
#include "game/aligned_array.h"

// For each hand i of the list, s = the opponent reach summed over the hands
// of the list that share no card with hand i. When value has data, ev is
// sized to value's count and ev[i] = value[i] / s (0 when s is not positive);
// otherwise ev is left untouched. weight is always sized to ownReach's count
// and weight[i] = dealWeight * ownReach[i] * s (0 without own reach). Entries
// past the list's length are 0. dealWeight is the number of runouts the board
// stands for: 1980 on the flop, 44 on a turn board, 1 on a river board. An
// opponent reach with data shorter than the list ends the process (Fail).
void SumCompatibleReach(AlignedArray& ev, AlignedArray& weight, const AlignedArray& value,
                        const AlignedArray& oppReach, const AlignedArray& ownReach, const std::vector<CardMask>& hands,
                        double dealWeight);

// The two sums of a sub-tree's value: weighted = the sum of values[i] *
// reach[i] over the hands that the list and both rows cover; total = the sum
// of reach[i] * s over the list's hands, s as above from oppReach. Rows
// without data give 0 for the sums they enter; an opponent reach with data
// shorter than the list ends the process (Fail).
void SubtreeValueSums(const AlignedArray& values, const AlignedArray& reach, const AlignedArray& oppReach,
                      const std::vector<CardMask>& hands, double& weighted, double& total);

// Card removal in linear time: for each hand i of a board's list (card codes
// `codes`, two cards one per byte), out[i] = w * a[i] * the sum of b over the
// list's hands that share no card with hand i. out is sized to a's count; a
// without data gives out without data. Hand lists longer than b end the
// process (Fail).
void JointReachPerHand(double w, AlignedArray& out, const AlignedArray& b, const AlignedArray& a,
                       const std::vector<uint16_t>& codes);
// The sum of those values over the list.
double JointReachSum(double w, const AlignedArray& b, const AlignedArray& a, const std::vector<uint16_t>& codes);

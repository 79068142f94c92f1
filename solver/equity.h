// The equity pass behind the equity reports: each hand's showdown equity
// against another range, averaged over the cards still to come. It reads the
// deal records only and leaves the strategies alone.
#pragma once

// Hero and opponent weights are 1326 values in combo order (user suits). For
// each hand of `hero`, equity receives ev = (weaker - stronger compatible
// opponent reach) / compatible opponent reach, in [-1, 1], and weight the
// deal weight times the hand's weight times its compatible opponent reach.
// Hands that the tree's range of `player` does not hold get NaN in both.
// Nothing happens without a tree.
void CalcEquity(int player, int turnCard, int riverCard, const double* hero, const double* opponent, double* equity,
                double* weight);

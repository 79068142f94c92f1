// The interpreter's settings of a run, given before a tree is built or a
// solve started (ranges, board, pot, accuracy, isomorphism), and the parsing
// of the command arguments that name them.
#pragma once

#include <string>
#include <vector>

#include "core/cards.h"
#include "core/output.h"

extern std::vector<double> RangeVectors[2];  // combo order; empty until set
extern CardMask BoardMasks[3];               // flop, turn, river (0 = none)
extern double PotSettings[3];                // the third is the pot at the root
extern double AccuracySetting;
extern bool AccuracyIsFraction;
extern unsigned char IsomorphismFlags[4];    // indexed by root street

// The largest hand weight set_range accepts. The solve multiplies and sums
// weights of both players over up to a million pairs of hands; far larger
// weights overflow its single-precision values into NaN.
constexpr double kMaxHandWeight = 1e9;

// Upper bound for set_threads: more workers than this only cost memory.
constexpr int kMaxThreadCount = 256;

// 0 for "OOP" or "hero", 1 for "IP" or "villain"; any other word is the
// command error "incorrect player name".
int ParsePlayerName(const std::string& word);
// The numbers of words[first..] as doubles.
std::vector<double> ParseHandWeights(const TokenVector& words, size_t first);

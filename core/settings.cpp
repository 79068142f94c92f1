#include "core/settings.h"

#include "core/numbers.h"

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

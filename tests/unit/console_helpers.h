// Runs command lines through the dispatcher and returns their replies.
#pragma once

#include <string>

#include "console/command_line.h"
#include "console/dispatcher.h"

inline std::string RunCommand(const std::string& line) {
  std::string out;
  TakePendingOutput(out);  // discard anything left over
  DispatchCommand(SplitCommandLine(line));
  TakePendingOutput(out);
  return out;
}

// A set_range line with every weight equal to `weight`.
inline std::string RangeLine(const std::string& player, const std::string& weight) {
  std::string line = "set_range " + player;
  for (int i = 0; i < 1326; ++i) line += " " + weight;
  return line;
}

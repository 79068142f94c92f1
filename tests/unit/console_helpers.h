// Runs command lines through the dispatcher and returns their replies.
#pragma once

#include <cstdio>
#include <string>
#include <unistd.h>

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

// Runs a command line and returns everything it printed: what it wrote to
// standard output during the command (through a temporary file) followed by
// its buffered reply.
inline std::string RunCommandCapturingStdout(const std::string& line) {
  std::string out;
  TakePendingOutput(out);
  fflush(stdout);
  FILE* file = tmpfile();
  const int saved = dup(STDOUT_FILENO);
  dup2(fileno(file), STDOUT_FILENO);
  DispatchCommand(SplitCommandLine(line));
  FlushPendingOutput();
  fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  std::string text;
  rewind(file);
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
  fclose(file);
  return text;
}

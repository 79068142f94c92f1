// Line reader and tokeniser of the command language.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// Reads lines from a stdio stream. A line ends at LF, at CR, or at CR LF. A CR
// ends its line at once (an interactive front end that sends CR alone is not
// kept waiting); the LF of a CR LF pair is skipped at the start of the next read.
class LineReader {
 public:
  explicit LineReader(FILE* stream) : stream_(stream) {}
  // Fills `line` (cleared first) and returns true; returns false at the end of
  // input when no character was read. A last line without a line end is
  // returned normally and the end is seen on the next call.
  bool ReadLine(std::string& line);
  bool AtEnd() const { return atEnd_; }

 private:
  FILE* stream_;
  bool skipLf_ = false;
  bool atEnd_ = false;
};

// Splits a line into words: blanks (0x20) separate; double quotes group words
// and never become part of one; empty words are dropped.
std::vector<std::string> SplitCommandLine(const std::string& line);

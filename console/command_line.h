// Line reader and tokeniser of the command language.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/cards.h"

// The longest line a command takes: one value per hand (set_range,
// set_strategy, combo_lock_node), each value written in up to 47 characters
// and a blank, with 2 KB for the command word and a node path.
constexpr size_t kLongestCommandLine = static_cast<size_t>(kComboCount) * 48 + 2048;
// The words of such a line: the values, the command word, a player or a node.
constexpr size_t kMostCommandWords = static_cast<size_t>(kComboCount) + 8;

// Reads lines from a stdio stream. A line ends at LF, at CR, or at CR LF. A CR
// ends its line at once (an interactive front end that sends CR alone is not
// kept waiting); the LF of a CR LF pair is skipped at the start of the next read.
//
// The reader keeps one buffer for its lines, reserved when it is made for
// the longest command line: a line up to that length is read without
// allocating, so it is read however short memory has become. Only a longer
// line grows the buffer (std::bad_alloc when that fails).
class LineReader {
 public:
  // std::bad_alloc when the buffer cannot be reserved.
  explicit LineReader(FILE* stream);
  // Reads the next line into Line() and returns true; returns false at the
  // end of input when no character was read. A last line without a line end
  // is returned normally and the end is seen on the next call.
  bool ReadLine();
  // The line last read. Changed in place, it keeps the buffer (never assign
  // or swap another string into it: the buffer would go).
  std::string& Line() { return line_; }
  bool AtEnd() const { return atEnd_; }

 private:
  FILE* stream_;
  std::string line_;
  bool skipLf_ = false;
  bool atEnd_ = false;
};

// Splits a line into words: blanks (0x20) separate; double quotes group words
// and never become part of one; empty words are dropped.
std::vector<std::string> SplitCommandLine(const std::string& line);
// The same into `words`, cleared first: its capacity is kept, so a line of
// no more words than it holds, none longer than a string holds in place
// (15 characters), is split without allocating. Stops after `most` words.
// std::bad_alloc leaves the words split so far.
void SplitCommandLine(const std::string& line, std::vector<std::string>& words, size_t most = SIZE_MAX);

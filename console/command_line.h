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
// and never become part of one (a closing quote ends its word, an opening
// quote inside a word does not); empty words are dropped.
std::vector<std::string> SplitCommandLine(const std::string& line);
// The same into `words`, cleared first. Stops after `most` words.
// std::bad_alloc leaves the words split so far.
void SplitCommandLine(const std::string& line, std::vector<std::string>& words, size_t most = SIZE_MAX);

// Copies the first word of `line` into `out`, at most `room` characters of
// it, and returns how many were copied (0: the line has no word). Needs no
// memory: a refusal names the command of a line that could not be split.
size_t CopyFirstWord(const std::string& line, char* out, size_t room);

// The words of one command line after another, split without allocating
// when the line is no longer than kLongestCommandLine and has at most
// kMostCommandWords words, however short memory has become.
//
// A word longer than a string holds in place (15 characters) takes a string
// of a pool reserved once for the process: the strings are handed to the
// words by move and taken back (by move again) before the next split, so
// their buffers stay from line to line. In a line of at most L characters the
// k-th longest word has at most (L + 1) / k - 1 characters (each word but the
// last is followed by a blank or a closing quote), so one string of that
// capacity for each k up to kMostCommandWords fits every such line (about
// 0.5 MB); each word takes the smallest free string that holds it, which
// never leaves a later word without one that would have fitted.
//
// Every instance (standard input, each script being loaded) splits from the
// same pool. While a script runs, the strings that the lines loading it hold
// (a file name longer than 15 characters each) are not in the pool: a line
// of the script that would need one of them gets a string of its own.
//
// A line beyond those bounds may allocate: std::bad_alloc then leaves the
// words split so far.
class CommandWords {
 public:
  // Reserves the word vector for kMostCommandWords words, and the pool's
  // strings when no instance has yet: std::bad_alloc.
  CommandWords();
  // Gives the pooled strings back.
  ~CommandWords();
  CommandWords(const CommandWords&) = delete;
  CommandWords& operator=(const CommandWords&) = delete;

  // Splits `line` as SplitCommandLine does; the words of the line before
  // are given up.
  void Split(const std::string& line);
  const std::vector<std::string>& Words() const { return words_; }

 private:
  void GiveBack();

  std::vector<std::string> words_;
  // The pool's string each of the first kMostCommandWords words holds
  // (0: a string of its own).
  std::vector<uint16_t> slots_;
};

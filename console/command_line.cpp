#include "console/command_line.h"

LineReader::LineReader(FILE* stream) : stream_(stream) { line_.reserve(kLongestCommandLine); }

bool LineReader::ReadLine() {
  std::string& line = line_;
  line.clear();
  if (atEnd_) return false;
  for (;;) {
    int c = getc(stream_);
    if (c == EOF) {
      atEnd_ = true;
      skipLf_ = false;
      return !line.empty();
    }
    if (skipLf_) {
      skipLf_ = false;
      if (c == '\n') continue;
    }
    if (c == '\n') return true;
    if (c == '\r') {
      skipLf_ = true;
      return true;
    }
    line.push_back(static_cast<char>(c));
  }
}

void SplitCommandLine(const std::string& line, std::vector<std::string>& words, size_t most) {
  words.clear();
  std::string word;
  bool quoted = false;
  // Empty words are dropped; a word goes in whole (its copy is made first).
  auto finish = [&]() {
    if (!word.empty() && words.size() < most) words.push_back(word);
    word.clear();
  };
  for (char c : line) {
    if (words.size() >= most) return;
    if (quoted) {
      if (c == '"') {
        quoted = false;
        finish();
      } else {
        word.push_back(c);
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ' ') {
      finish();
    } else {
      word.push_back(c);
    }
  }
  finish();
}

std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> words;
  SplitCommandLine(line, words);
  return words;
}

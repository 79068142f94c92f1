#include "console/command_line.h"

bool LineReader::ReadLine(std::string& line) {
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

std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false;
  auto finish = [&]() {
    if (!word.empty()) words.push_back(word);
    word.clear();
  };
  for (char c : line) {
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
  return words;
}

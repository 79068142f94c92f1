#include "console/command_line.h"

#include <algorithm>
#include <cstring>

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

namespace {

// A word of a line: the characters from `begin` to `end`, less the opening
// quote at `quote` (npos when there is none). No quote is ever part of a
// word: outside quotes the first one opens, inside them the next one closes,
// and a closing quote ends the word.
struct WordSpan {
  size_t begin;
  size_t quote;
  size_t end;
  size_t size() const { return end - begin - (quote == std::string::npos ? 0 : 1); }
};

// The word that starts at `from` (the start of the line, or just after the
// blank or closing quote that ended the word before). It ends at a blank
// outside quotes, at a closing quote or at the end of the line; `next` is
// set to where the word after it starts. Empty when a blank or a pair of
// quotes ends it at once.
WordSpan ScanWord(const std::string& line, size_t from, size_t& next) {
  WordSpan word{from, std::string::npos, from};
  size_t pos = from;
  for (; pos < line.size(); ++pos) {
    const char c = line[pos];
    if (c == '"') {
      if (word.quote != std::string::npos) break;
      word.quote = pos;
    } else if (c == ' ' && word.quote == std::string::npos) {
      break;
    }
  }
  word.end = pos;
  next = pos < line.size() ? pos + 1 : pos;
  return word;
}

// Appends the word's characters; no allocation when `out` has the room.
void AppendWord(const std::string& line, const WordSpan& word, std::string& out) {
  if (word.quote == std::string::npos) {
    out.append(line, word.begin, word.end - word.begin);
  } else {
    out.append(line, word.begin, word.quote - word.begin);
    out.append(line, word.quote + 1, word.end - word.quote - 1);
  }
}

constexpr size_t kPooledStrings = kMostCommandWords;
static_assert(kPooledStrings < UINT16_MAX, "pool indices are kept in 16 bits");

// The characters pooled string k (1 to kPooledStrings) holds: the most the
// k-th longest word of a line of kLongestCommandLine characters can have.
constexpr size_t PooledCapacity(size_t k) { return (kLongestCommandLine + 1) / k - 1; }

// The strings long words are split into, shared by every CommandWords.
// strings[k] holds PooledCapacity(k) characters (strings[0] is unused); a
// string lent to a word is left moved from until it is given back.
struct WordPool {
  std::vector<std::string> strings;
  std::vector<uint8_t> lent;
  // A forest over the strings: following it from k ends at the highest free
  // string at or below k (0: none). A lent string points below itself; the
  // forest is rebuilt from `lent` before each split, since the strings given
  // back in between are not on the paths made shorter while they were lent.
  std::vector<uint16_t> below;

  bool Ready() const { return strings.size() == kPooledStrings + 1; }

  // Reserves what is missing (std::bad_alloc keeps what was made for the
  // next attempt).
  void Reserve() {
    strings.reserve(kPooledStrings + 1);
    lent.resize(kPooledStrings + 1);
    below.resize(kPooledStrings + 1);
    lent[0] = 1;
    if (strings.empty()) strings.emplace_back();
    while (!Ready()) {
      std::string text;
      text.reserve(PooledCapacity(strings.size()));
      strings.push_back(std::move(text));
    }
  }

  void Rebuild() {
    for (size_t k = 0; k <= kPooledStrings; ++k) below[k] = static_cast<uint16_t>(lent[k] ? (k ? k - 1 : 0) : k);
  }

  // Lends the smallest free string that holds `size` characters; 0 when
  // none is free.
  size_t Lend(size_t size) {
    size_t k = std::min(kPooledStrings, (kLongestCommandLine + 1) / (size + 1));
    while (below[k] != k) {
      below[k] = below[below[k]];
      k = below[k];
    }
    if (k == 0) return 0;
    lent[k] = 1;
    below[k] = static_cast<uint16_t>(k - 1);
    return k;
  }
};

WordPool& Pool() {
  static WordPool pool;
  return pool;
}

}  // namespace

void SplitCommandLine(const std::string& line, std::vector<std::string>& words, size_t most) {
  words.clear();
  for (size_t next = 0; next < line.size() && words.size() < most;) {
    const WordSpan word = ScanWord(line, next, next);
    if (word.size() == 0) continue;
    std::string text;
    text.reserve(word.size());
    AppendWord(line, word, text);
    words.push_back(std::move(text));
  }
}

std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> words;
  SplitCommandLine(line, words);
  return words;
}

size_t CopyFirstWord(const std::string& line, char* out, size_t room) {
  for (size_t next = 0; next < line.size();) {
    const WordSpan word = ScanWord(line, next, next);
    if (word.size() == 0) continue;
    size_t copied = 0;
    auto copy = [&](size_t from, size_t to) {
      const size_t n = std::min(to - from, room - copied);
      std::memcpy(out + copied, line.data() + from, n);
      copied += n;
    };
    if (word.quote == std::string::npos) {
      copy(word.begin, word.end);
    } else {
      copy(word.begin, word.quote);
      copy(word.quote + 1, word.end);
    }
    return copied;
  }
  return 0;
}

CommandWords::CommandWords() {
  words_.reserve(kMostCommandWords);
  slots_.resize(kMostCommandWords);
  if (!Pool().Ready()) Pool().Reserve();
}

CommandWords::~CommandWords() { GiveBack(); }

void CommandWords::GiveBack() {
  WordPool& pool = Pool();
  const size_t held = std::min(words_.size(), slots_.size());
  for (size_t i = 0; i < held; ++i) {
    if (const size_t k = slots_[i]) {
      pool.strings[k] = std::move(words_[i]);
      pool.lent[k] = 0;
    }
  }
  // Only moved-from strings and strings of their own are destroyed here.
  words_.clear();
}

void CommandWords::Split(const std::string& line) {
  GiveBack();
  WordPool& pool = Pool();
  pool.Rebuild();
  // What a string holds in place, with no buffer of its own.
  static const size_t inPlace = std::string().capacity();
  for (size_t next = 0; next < line.size();) {
    const WordSpan word = ScanWord(line, next, next);
    const size_t size = word.size();
    if (size == 0) continue;
    const size_t index = words_.size();
    const size_t k = size > inPlace && index < slots_.size() ? pool.Lend(size) : 0;
    if (k != 0) {
      std::string& text = pool.strings[k];
      text.clear();
      AppendWord(line, word, text);
      words_.push_back(std::move(text));
    } else {
      // A short word, or a line beyond the bounds the pool covers.
      std::string text;
      text.reserve(size);
      AppendWord(line, word, text);
      words_.push_back(std::move(text));
    }
    if (index < slots_.size()) slots_[index] = static_cast<uint16_t>(k);
  }
}

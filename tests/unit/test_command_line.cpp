#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <unistd.h>

#include "allocation_counter.h"
#include "console/command_line.h"

using Words = std::vector<std::string>;

TEST(SplitCommandLine, BlanksSeparateAndRunsCollapse) {
  EXPECT_EQ(SplitCommandLine("  set_board  Ah   Kd 2c  "), (Words{"set_board", "Ah", "Kd", "2c"}));
  EXPECT_EQ(SplitCommandLine("    "), Words{});
  EXPECT_EQ(SplitCommandLine(""), Words{});
}

TEST(SplitCommandLine, TabsBelongToWords) {
  EXPECT_EQ(SplitCommandLine("a\tb c"), (Words{"a\tb", "c"}));
}

TEST(SplitCommandLine, QuotesGroupAndNeverStayInWords) {
  EXPECT_EQ(SplitCommandLine("show_categories \"Ah Kd 2c\""), (Words{"show_categories", "Ah Kd 2c"}));
  EXPECT_EQ(SplitCommandLine("ab\"c d\""), (Words{"abc d"}));
  EXPECT_EQ(SplitCommandLine("\"a b\"c"), (Words{"a b", "c"}));
  EXPECT_EQ(SplitCommandLine("x \"open to the end"), (Words{"x", "open to the end"}));
  EXPECT_EQ(SplitCommandLine("x \"\" y"), (Words{"x", "y"}));
}

namespace {
Words ReadAll(const std::string& input) {
  FILE* stream = fmemopen(const_cast<char*>(input.data()), input.size(), "r");
  LineReader reader(stream);
  Words lines;
  while (reader.ReadLine()) lines.push_back(reader.Line());
  fclose(stream);
  return lines;
}
}  // namespace

TEST(LineReader, EveryLineEndForm) {
  EXPECT_EQ(ReadAll("a\r\nb\rc\n"), (Words{"a", "b", "c"}));
  EXPECT_EQ(ReadAll("a\n\nb"), (Words{"a", "", "b"}));
  EXPECT_EQ(ReadAll("a\r\n\r\nb\r"), (Words{"a", "", "b"}));
  EXPECT_EQ(ReadAll(""), Words{});
}

TEST(LineReader, LastLineWithoutEndIsReturnedThenEndSeen) {
  std::string input = "last";
  FILE* stream = fmemopen(&input[0], input.size(), "r");
  LineReader reader(stream);
  EXPECT_TRUE(reader.ReadLine());
  EXPECT_EQ(reader.Line(), "last");
  EXPECT_FALSE(reader.ReadLine());
  EXPECT_TRUE(reader.Line().empty());
  fclose(stream);
}

TEST(LineReader, LoneCarriageReturnEndsLineWithoutWaitingForMoreInput) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], "go\r", 3), 3);
  FILE* stream = fdopen(fds[0], "r");
  LineReader reader(stream);
  auto pending = std::async(std::launch::async, [&] { return reader.ReadLine(); });
  const bool answered = pending.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
  // Unblock the reader in any case so the test ends.
  ASSERT_EQ(write(fds[1], "\nnext\n", 6), 6);
  close(fds[1]);
  EXPECT_TRUE(answered) << "a line ended by CR alone was held back until more input came";
  EXPECT_TRUE(pending.get());
  EXPECT_EQ(reader.Line(), "go");
  // The LF right after the CR belongs to the same line end.
  EXPECT_TRUE(reader.ReadLine());
  EXPECT_EQ(reader.Line(), "next");
  fclose(stream);
}

// Lines up to the longest command line are read and split in the buffers
// reserved beforehand: nothing is allocated, however short memory is, line
// after line. So are a script's lines while a line that loads it holds its
// words.
TEST(LineReader, LongestCommandLineStaysInTheReservedBuffers) {
  // A value for each hand, each written in the most characters counted on;
  // lines of the longest length whose k words are as long as such a line
  // allows; short words before a long one (each word must take the smallest
  // string that holds it); a quoted name.
  Words lines{"set_range OOP"};
  for (int i = 0; i < kComboCount; ++i) lines[0] += " 0." + std::string(45, '1');
  for (size_t k : {size_t{1}, size_t{2}, size_t{3}, size_t{100}, kMostCommandWords}) {
    lines.emplace_back();
    for (size_t i = 0; i < k; ++i) lines.back() += (i ? " " : "") + std::string((kLongestCommandLine + 1) / k - 1, 'w');
  }
  std::string ascending;
  for (int i = 0; i < 1000; ++i) ascending += std::string(16, 's') + ' ';
  lines.push_back(ascending + std::string(kLongestCommandLine - ascending.size(), 'l'));
  lines.push_back("load_script \"" + std::string(3000, 'n') + " with blanks\"");
  std::string input;
  for (const std::string& line : lines) input += line + "\n";
  input += "next\n";
  FILE* stream = fmemopen(&input[0], input.size(), "r");
  LineReader reader(stream);
  const char* buffer = reader.Line().data();
  CommandWords words;
  const std::string* wordBuffer = words.Words().data();
  Allocations = 0;
  for (const std::string& line : lines) {
    CountingAllocations = true;
    const bool read = reader.ReadLine();
    words.Split(reader.Line());
    CountingAllocations = false;
    ASSERT_TRUE(read);
    EXPECT_EQ(reader.Line(), line);
    EXPECT_EQ(words.Words(), SplitCommandLine(line));
  }
  EXPECT_EQ(Allocations, 0);
  EXPECT_EQ(reader.Line().data(), buffer);
  EXPECT_EQ(words.Words().data(), wordBuffer);
  {
    CommandWords script;
    CountingAllocations = true;
    script.Split(lines[0]);
    CountingAllocations = false;
    EXPECT_EQ(script.Words().size(), static_cast<size_t>(kComboCount) + 2);
  }
  // Every string is given back: the line of the most words takes them all.
  CountingAllocations = true;
  words.Split(lines[5]);
  CountingAllocations = false;
  EXPECT_EQ(words.Words().size(), kMostCommandWords);
  EXPECT_EQ(Allocations, 0);
  ASSERT_TRUE(reader.ReadLine());
  EXPECT_EQ(reader.Line(), "next");
  EXPECT_EQ(reader.Line().data(), buffer);
  fclose(stream);
}

TEST(SplitCommandLine, StopsAfterTheWordsAsked) {
  Words words{"left", "over"};
  SplitCommandLine("\"a b\" c d", words, 1);
  EXPECT_EQ(words, Words{"a b"});
  SplitCommandLine("  x y", words, 2);
  EXPECT_EQ(words, (Words{"x", "y"}));
}

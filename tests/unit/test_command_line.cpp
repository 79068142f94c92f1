#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <unistd.h>

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
// reserved beforehand: nothing is allocated, however short memory is.
TEST(LineReader, LongestCommandLineStaysInTheReservedBuffers) {
  // A value for each hand, each written in the most characters counted on.
  std::string input = "set_range OOP";
  for (int i = 0; i < kComboCount; ++i) input += " 0." + std::string(45, '1');
  input += "\nnext\n";
  FILE* stream = fmemopen(&input[0], input.size(), "r");
  LineReader reader(stream);
  const char* buffer = reader.Line().data();
  Words words;
  words.reserve(kMostCommandWords);
  const std::string* wordBuffer = words.data();
  ASSERT_TRUE(reader.ReadLine());
  EXPECT_EQ(reader.Line().size() + 6, input.size());
  EXPECT_EQ(reader.Line().data(), buffer);
  SplitCommandLine(reader.Line(), words);
  EXPECT_EQ(words.size(), static_cast<size_t>(kComboCount) + 2);
  EXPECT_EQ(words.data(), wordBuffer);
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

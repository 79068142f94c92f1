#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <new>
#include <unistd.h>

#include "allocation_counter.h"
#include "console_helpers.h"

// Every form of new and delete is replaced, so that all of them meet on
// malloc and free (a sanitizer checks that a block goes back the way it came).
std::atomic<bool> CountingAllocations{false};
std::atomic<int> Allocations{0};

namespace {
// While set, every allocation fails, as when the memory is gone.
std::atomic<bool> FailingAllocations{false};
void* CountedAllocation(size_t size) noexcept {
  if (CountingAllocations) ++Allocations;
  if (FailingAllocations) return nullptr;
  return malloc(size ? size : 1);
}
void* CheckedAllocation(size_t size) {
  if (void* block = CountedAllocation(size)) return block;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(size_t size) { return CheckedAllocation(size); }
void* operator new[](size_t size) { return CheckedAllocation(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return CountedAllocation(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return CountedAllocation(size); }
void operator delete(void* block) noexcept { free(block); }
void operator delete[](void* block) noexcept { free(block); }
void operator delete(void* block, size_t) noexcept { free(block); }
void operator delete[](void* block, size_t) noexcept { free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { free(block); }

TEST(CommandTable, RowsAndCounts) {
  ASSERT_EQ(CommandTableSize, 79);
  EXPECT_STREQ(CommandTable[0].word, "is_ready");
  EXPECT_STREQ(CommandTable[78].word, "help");
  int oxa = 0;
  for (int i = 0; i < CommandTableSize; ++i) {
    if (std::string(CommandTable[i].word).rfind("oxa_", 0) == 0) {
      ++oxa;
      // Each prefixed row runs the same handler as its unprefixed twin.
      const std::string twin = CommandTable[i].word + 4;
      for (int j = 0; j < CommandTableSize; ++j) {
        if (twin == CommandTable[j].word) {
          EXPECT_EQ(CommandTable[i].handler, CommandTable[j].handler);
        }
      }
    }
  }
  EXPECT_EQ(oxa, 4);
}

TEST(Dispatcher, UnknownAndCaseSensitiveWords) {
  EXPECT_EQ(RunCommand("GO"), "ERROR: Command GO not recognized\n");
  EXPECT_EQ(RunCommand("foo%s %d"), "ERROR: Command foo%s not recognized\n");
  EXPECT_EQ(RunCommand("LABEL:"), "ERROR: Command LABEL: not recognized\n");
}

TEST(Dispatcher, WordCounts) {
  EXPECT_EQ(RunCommand("stop now"), "ERROR: stop incorrect or missing argument\n");
  EXPECT_EQ(RunCommand("is_ready x"), "ERROR: is_ready incorrect or missing argument\n");
  EXPECT_EQ(RunCommand("set_range OOP 1 2 3"), "ERROR: set_range incorrect or missing argument\n");
  // "any"-count rows reach their handler, which checks its own minimum.
  EXPECT_EQ(RunCommand("go 10 steps extra"), "ERROR: go missing/incorrect tree\n");
  EXPECT_EQ(RunCommand("set_accuracy"), "ERROR: set_accuracy incorrect or missing argument\n");
  EXPECT_EQ(RunCommand("echo"), "ERROR: echo incorrect or missing argument\n");
  EXPECT_EQ(RunCommand("repeat 2"), "ERROR: repeat incorrect or missing argument\n");
  EXPECT_EQ(RunCommand("set_board Ah Kd"), "ERROR: set_board incorrect or missing argument\n");
}

TEST(Dispatcher, CommentsAndLabelsAreSilent) {
  EXPECT_EQ(RunCommand("#comment"), "");
  EXPECT_EQ(RunCommand("# comment"), "");
  EXPECT_EQ(RunCommand("LABEL: x"), "");
}

TEST(Dispatcher, SkipRunsToTheMatchingLabel) {
  // A marker file that exists starts a skip.
  char marker[] = "/tmp/pfsolve_markerXXXXXX";
  const int fd = mkstemp(marker);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(RunCommand(std::string("skip_if_done ") + marker + " DONE"), "skip_if_done ok!\n");
  EXPECT_EQ(RunCommand("is_ready"), "");
  EXPECT_EQ(RunCommand("LABEL: OTHER"), "");
  EXPECT_EQ(RunCommand("bogus"), "");
  EXPECT_EQ(RunCommand("LABEL: DONE"), "");
  EXPECT_EQ(RunCommand("is_ready"), "is_ready ok!\n");
  // A missing marker skips nothing.
  EXPECT_EQ(RunCommand("skip_if_done /nonexistent/marker DONE"), "skip_if_done ok!\n");
  EXPECT_EQ(RunCommand("is_ready"), "is_ready ok!\n");
  remove(marker);
}

TEST(Dispatcher, NumbersThatDoNotParseOrDoNotFit) {
  EXPECT_EQ(RunCommand("set_threads x"), "Invalid value\n");
  EXPECT_EQ(RunCommand("set_threads 99999999999999"), "Invalid value\n");
  EXPECT_EQ(RunCommand("set_accuracy nan"), "Invalid value\n");
  EXPECT_EQ(RunCommand("set_accuracy inf"), "Invalid value\n");
  EXPECT_EQ(RunCommand("set_accuracy 1e999"), "Invalid value\n");
  EXPECT_EQ(RunCommand("sleep 99999999999999999999"), "Invalid value\n");
}

TEST(Dispatcher, CommandsOfLaterSubsystemsRefuseHonestly) {
  EXPECT_EQ(RunCommand("load_tree /nonexistent/x.bin"), "ERROR: load_tree can't open file (errno 2)\n");
  EXPECT_EQ(RunCommand("calc_ev OOP r:0"), "ERROR: calc_ev missing/incorrect tree\n");
  EXPECT_EQ(RunCommand("show_strategy r:0"), "ERROR: show_strategy missing/incorrect tree\n");
  EXPECT_EQ(RunCommand("node_count"), "ERROR: node_count missing/incorrect tree\n");
  EXPECT_EQ(RunCommand("set_ev_boost r:0:c 0.1"), "ERROR: set_ev_boost missing/incorrect tree\n");
}

// A command that needs a tree and finds none is refused without memory from
// the heap: under a capped address space the answer must not be what ends
// the process. The first dispatch makes what any command needs once.
TEST(Dispatcher, ARefusalForWantOfATreeTakesNoMemory) {
  for (const char* line : {"node_count", "calc_results", "forget rivers"}) {
    const TokenVector words = SplitCommandLine(line);
    RunCommand(line);
    std::string reply;
    TakePendingOutput(reply);
    Allocations = 0;
    CountingAllocations = true;
    DispatchCommand(words);
    CountingAllocations = false;
    TakePendingOutput(reply);
    EXPECT_EQ(Allocations, 0) << line;
    EXPECT_EQ(reply, "ERROR: " + words[0] + " missing/incorrect tree\n");
  }
}

// A line beyond the bounds the words' buffers were reserved for (a first
// word longer than the longest command line) may need memory to be split:
// when there is none, it is refused by its first word, quotes left out and
// cut so that the line stays within 255 characters, with no memory either.
TEST(Dispatcher, ALineBeyondTheReservedBuffersIsRefusedByItsFirstWord) {
  CommandWords words;
  ReservePendingOutput();
  const std::string line = "ab\"" + std::string(kLongestCommandLine, 'x') + "\" next";
  std::string reply;
  TakePendingOutput(reply);
  FailingAllocations = true;
  DispatchLine(line, words);
  FailingAllocations = false;
  TakePendingOutput(reply);
  EXPECT_EQ(reply, "ERROR: ab" + std::string(231, 'x') + " out of memory\n");
}

TEST(Utilities, HelpListsSortedWordsWithoutPrefixedTwins) {
  const std::string out = RunCommand("help");
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < out.size()) {
    size_t end = out.find('\n', pos);
    lines.push_back(out.substr(pos, end - pos));
    pos = end + 1;
  }
  ASSERT_EQ(lines.size(), 76u);
  EXPECT_EQ(lines.back(), "END");
  lines.pop_back();
  EXPECT_TRUE(std::is_sorted(lines.begin(), lines.end()));
  for (const std::string& l : lines) EXPECT_NE(l.rfind("oxa_", 0), 0u) << l;
  for (const char* w : {"go", "set_threads", "get_instruction_set"})
    EXPECT_NE(std::find(lines.begin(), lines.end(), w), lines.end()) << w;
}

TEST(Utilities, RepeatAndEcho) {
  EXPECT_EQ(RunCommandCapturingStdout("repeat 3 a b"), "a b\na b\na b\nEND\n");
  EXPECT_EQ(RunCommandCapturingStdout("repeat 2 #hidden"), "END\n");
  // Long texts are written in chunks of whole copies: every copy intact.
  const std::string word(70000, 'w');
  const std::string many = RunCommandCapturingStdout("repeat 40 " + word);
  ASSERT_EQ(many.size(), 40 * (word.size() + 1) + 4);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(many.substr(i * (word.size() + 1), word.size() + 1), word + "\n") << i;
  EXPECT_EQ(many.substr(many.size() - 4), "END\n");
  EXPECT_EQ(RunCommand("repeat 0 x"), "ERROR: repeat incorrect or missing argument\n");
  EXPECT_EQ(RunCommand("repeat 100000 x"), "ERROR: repeat incorrect or missing argument\n");
  EXPECT_EQ(RunCommand("echo hello world"), "hello");
  EXPECT_EQ(RunCommand("echo \"hello world\""), "hello world");
  EXPECT_EQ(RunCommand("echo 50%"), "50%");
  EXPECT_EQ(RunCommand("echo %s%n"), "%s%n");
}

TEST(Utilities, SleepRefusesNegativeCounts) {
  EXPECT_EQ(RunCommand("sleep -1"), "ERROR: sleep incorrect or missing argument\n");
  EXPECT_EQ(RunCommand("sleep 1"), "");
}

TEST(Utilities, ScriptsThatLoadThemselvesStopAtTheNestingLimit) {
  char path[] = "/tmp/pfsolve_scriptXXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string body = std::string("load_script ") + path + "\n";
  ASSERT_EQ(write(fd, body.data(), body.size()), static_cast<ssize_t>(body.size()));
  close(fd);
  // Replies of nested scripts are flushed as they run; only the refusal at
  // the deepest level is produced, once.
  testing::internal::CaptureStdout();
  const std::string reply = RunCommand(std::string("load_script ") + path);
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(reply, "");
  EXPECT_EQ(printed, "ERROR: load_script too many nested scripts\n");
  remove(path);
  EXPECT_EQ(RunCommand("load_script /nonexistent/script.txt"), "ERROR: load_script can't open file\n");
}

TEST(Output, FlushDropsEmptyLinesAndEndsTheLastOne) {
  testing::internal::CaptureStdout();
  Output("a\n\nb");
  FlushPendingOutput();
  fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "a\nb\n");
}

TEST(Output, LongRepliesAreNotTruncated) {
  std::string out;
  TakePendingOutput(out);
  const std::string big(200000, 'x');
  Output("%s|%d\n", big.c_str(), 7);
  TakePendingOutput(out);
  EXPECT_EQ(out, big + "|7\n");
}

TEST(Output, CommandErrorsAreCutAt255Characters) {
  const std::string word(400, 'w');
  CurrentCommandName = word;
  try {
    ThrowCommandError("x");
  } catch (const CommandError& e) {
    EXPECT_EQ(std::string(e.what()).size(), 255u);
  }
}

// Standard output redirected to a device that takes nothing: each print path
// records the loss at once, with the error of its failed write (a later
// flush no longer knows it), and says it once on standard error; ending the
// redirection reports it, and the next one starts with no loss.
TEST(Output, ALostRedirectionIsSaidOnceWithTheReasonOfTheFailedWrite) {
  std::string out;
  TakePendingOutput(out);
  fflush(stdout);
  const int original = dup(STDOUT_FILENO);
  const int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(original, 0);
  ASSERT_GE(full, 0);
  const std::function<void()> paths[] = {
      [] {
        Output("reply\n");
        FlushPendingOutput();
        FlushStdout();
      },
      [] { PrintNow("SOLVER: started\n"); },
      [] { OutputRepeated(std::string(1000, 'x') + "\n", 100, "END\n"); },
  };
  for (const std::function<void()>& path : paths) {
    ASSERT_TRUE(SwitchStdout(full, "/dev/full"));
    testing::internal::CaptureStderr();
    path();
    path();
    const std::string said = testing::internal::GetCapturedStderr();
    testing::internal::CaptureStderr();
    const bool kept = SwitchStdout(original, std::string());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(said, "ERROR: output to '/dev/full' lost: No space left on device\n");
    EXPECT_FALSE(kept);
  }
  // A file that takes everything: nothing said, nothing reported.
  FILE* file = tmpfile();
  ASSERT_NE(file, nullptr);
  ASSERT_TRUE(SwitchStdout(fileno(file), "kept.txt"));
  testing::internal::CaptureStderr();
  PrintNow("kept\n");
  const bool kept = SwitchStdout(original, std::string());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(kept);
  char text[16] = {};
  rewind(file);
  EXPECT_EQ(fread(text, 1, sizeof text - 1, file), 5u);
  EXPECT_STREQ(text, "kept\n");
  fclose(file);
  close(full);
  close(original);
}

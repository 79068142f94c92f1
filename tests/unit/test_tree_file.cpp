// Tree files: round trips through the test writer for every layout the
// reader knows, byte fixtures of single records, and refusals of malformed
// files that keep the standing tree or leave none.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "console_helpers.h"
#include "core/binary_reader.h"
#include "core/parallel.h"
#include "core/settings.h"
#include "core/cards.h"
#include "core/hand_order.h"
#include "game/deal_table.h"
#include "game/line_tree.h"
#include "game/tree_state.h"
#include "memory_io.h"
#include "solver/solver_thread.h"
#include "storage/packed_rows.h"
#include "storage/save_block.h"
#include "storage/solver_tree.h"
#include "storage/storage_factory.h"
#include "tree_file_writer.h"
#include "trees/tree_lifecycle.h"

namespace {

std::string TempPath(const std::string& name) {
  return "/tmp/pfsolve_tree_file_" + std::to_string(getpid()) + "_" + name;
}

// Every hand whose hand-order position is a multiple of `step`.
std::string SparseRange(const std::string& player, int step, int offset) {
  std::string line = "set_range " + player;
  for (int i = 0; i < 1326; ++i) line += (i + offset) % step == 0 ? " 1" : " 0";
  return line;
}

// Queries whose answers a loaded tree must repeat: flop, turn and river
// nodes, and the results.
const char* const kQueries[] = {"show_strategy r:0",       "show_strategy r:0:c",
                                "show_strategy r:0:c:c:2h", "show_strategy r:0:b50:c:7s",
                                "show_strategy r:0:c:c:2h:c:c:3s", "show_strategy r:0:b50:c:7s:c:c:Qd",
                                "show_strategy r:0:b50:c:7s:c:c:Qd:b100"};

class TreeFile : public ::testing::Test {
 protected:
  void SetUp() override {
    omp_set_num_threads(2);
    RunCommand("free_tree");
    ASSERT_EQ(RunCommand("set_isomorphism 0 0"), "set_isomorphism ok!\n");
    ASSERT_EQ(RunCommand("clear_lines"), "clear_lines ok!\n");
  }
  void TearDown() override {
    RunCommand("free_tree");
    RunCommand("set_compression auto");
    RunCommand("set_isomorphism 1 0");
    for (const std::string& path : paths_) unlink(path.c_str());
    omp_set_num_threads(omp_get_num_procs());
  }

  std::string Path(const std::string& name) {
    paths_.push_back(TempPath(name));
    return paths_.back();
  }

  void BuildFlopTree(int level, const std::string& board = "Ks 9d 4c") {
    ASSERT_EQ(RunCommand("set_compression " + std::to_string(level)), "set_compression ok!\n");
    ASSERT_EQ(RunCommand(SparseRange("OOP", 5, 0)), "set_range ok!\n");
    ASSERT_EQ(RunCommand(SparseRange("IP", 4, 1)), "set_range ok!\n");
    ASSERT_EQ(RunCommand("set_board " + board), "set_board ok!\n");
    ASSERT_EQ(RunCommand("set_pot 0 0 100"), "set_pot ok!\n");
    ASSERT_EQ(RunCommand("clear_lines"), "clear_lines ok!\n");
    ASSERT_EQ(RunCommand("add_line 0 0 0 0 0 0"), "add_line ok!\n");
    ASSERT_EQ(RunCommand("add_line 0 0 0 0 50 50"), "add_line ok!\n");
    ASSERT_EQ(RunCommand("add_line 50 50 50 50 100 100"), "add_line ok!\n");
    ASSERT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
  }

  static void Go(int steps) {
    RunCommandCapturingStdout("go " + std::to_string(steps) + " steps");
    RunCommandCapturingStdout("wait_for_solver");
  }

  static std::vector<std::string> Answers() {
    std::vector<std::string> out;
    for (const char* query : kQueries) out.push_back(RunCommand(query));
    return out;
  }

  // Saves the current tree, frees it and loads the file back.
  void SaveAndLoad(const TreeFileOptions& options, const std::string& name) {
    const std::string path = Path(name);
    WriteTreeFile(path, options);
    ASSERT_EQ(RunCommand("free_tree"), "free_tree ok!\n");
    ASSERT_EQ(RunCommand("load_tree " + path), "load_tree ok!\n");
  }

  static std::string SingleThreadResults() {
    omp_set_num_threads(1);
    std::string text = RunCommand("calc_results");
    omp_set_num_threads(2);
    return text;
  }

  std::vector<std::string> paths_;
};

// Equal texts, or the first place where they differ.
void ExpectSame(const std::string& a, const std::string& b, const std::string& what) {
  if (a == b) return;
  size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  const size_t from = i > 40 ? i - 40 : 0;
  ADD_FAILURE() << what << " differs at " << i << ":\n" << a.substr(from, 100) << "\n" << b.substr(from, 100);
}

void ExpectSameAnswers(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t q = 0; q < a.size(); ++q) ExpectSame(a[q], b[q], kQueries[q]);
}

// Bytes of a line tree in a file: 44 per node and 8 per key.
size_t LineBytes(const SchematicNode& node) {
  size_t bytes = 44;
  for (const auto& [key, child] : node.children) bytes += 8 + LineBytes(*child);
  return bytes;
}

std::vector<double> Numbers(const std::string& text) {
  std::vector<double> out;
  const char* p = text.c_str();
  while (*p) {
    char* end;
    const double v = strtod(p, &end);
    if (end == p) {
      ++p;
      continue;
    }
    out.push_back(v);
    p = end;
  }
  return out;
}

// Same shape and every number within `tolerance`.
void ExpectClose(const std::string& a, const std::string& b, double tolerance, const std::string& what) {
  const std::vector<double> x = Numbers(a), y = Numbers(b);
  ASSERT_EQ(x.size(), y.size()) << what << "\n" << a.substr(0, 200) << "\n" << b.substr(0, 200);
  double worst = 0.0;
  for (size_t i = 0; i < x.size(); ++i) worst = std::max(worst, std::fabs(x[i] - y[i]));
  EXPECT_LE(worst, tolerance) << what;
}

}  // namespace

// Every storage kind and compression level, every file version and both
// save-block forms with each codec: the loaded tree answers exactly as the
// saved one, and a solve goes on from the file's iteration count.
struct RoundTripCase {
  int level, version;
  bool skip, fast;
  int codec;
};

// Each case: solve, save with the case's options, load, compare every answer
// and the results, then solve on from the file's count.
class TreeFileRoundTrip : public TreeFile {
 protected:
  void RoundTrips(const std::vector<RoundTripCase>& cases) {
    for (const RoundTripCase& c : cases) {
      SCOPED_TRACE(testing::Message() << "level " << c.level << " version " << c.version << " R " << c.skip
                                      << " fast " << c.fast << " codec " << c.codec);
      BuildFlopTree(c.level);
      Go(24);
      const std::vector<std::string> before = Answers();
      for (const std::string& answer : before) ASSERT_EQ(answer.substr(answer.size() - 4), "END\n") << answer;
      const std::string results = SingleThreadResults();
      const int iterations = CurrentTree->iterationCount;

      TreeFileOptions options;
      options.version = c.version;
      options.skipCardValues = c.skip;
      options.fastBlocks = c.fast;
      options.codec = c.codec;
      SaveAndLoad(options, "round_trip");
      EXPECT_EQ(RunCommand("get_actual_compression"), "compression " + std::to_string(c.level) + "\n");
      EXPECT_EQ(LoadFlag, c.skip && c.version >= 4);
      EXPECT_EQ(CurrentTree->formatVersion, c.version);
      ExpectSameAnswers(Answers(), before);
      EXPECT_EQ(SingleThreadResults(), results);
      ASSERT_EQ(CurrentTree->iterationCount, iterations);
      // The solve goes on from the file's count (it may stop sooner than asked
      // when the accuracy target is met at a check).
      Go(3);
      EXPECT_GT(CurrentTree->iterationCount, iterations);
      EXPECT_LE(CurrentTree->iterationCount, iterations + 3);
      RunCommand("free_tree");
    }
  }
};

// The cases are split over three tests so that they run side by side.
TEST_F(TreeFileRoundTrip, NewestVersionsBlockForms) {
  RoundTrips({{0, 6, false, true, 2}, {0, 6, false, false, 2}, {0, 6, false, false, 1}, {0, 6, false, false, 0},
              {0, 6, true, true, 2}});
}

TEST_F(TreeFileRoundTrip, EveryOlderVersion) {
  RoundTrips({{0, 5, false, false, 2}, {0, 4, false, false, 0}, {0, 4, true, false, 1}, {0, 3, false, false, 2},
              {0, 1, false, false, 2}});
}

TEST_F(TreeFileRoundTrip, EveryCompressionLevel) {
  RoundTrips({{1, 6, false, true, 2}, {2, 5, false, false, 2}, {3, 6, false, false, 1}, {4, 4, false, true, 2},
              {4, 3, false, true, 2}});
}

// A tree built without isomorphism is loaded without it under the default
// setting, and the setting is left as the user gave it.
TEST_F(TreeFile, FileDecidesIsomorphism) {
  BuildFlopTree(0, "Ks 9s 4c");
  Go(20);
  const std::vector<std::string> before = Answers();
  ASSERT_EQ(RunCommand("set_isomorphism 1 0"), "set_isomorphism ok!\n");
  const std::vector<unsigned char> setting(IsomorphismFlags, IsomorphismFlags + 4);
  SaveAndLoad(TreeFileOptions{}, "isomorphism");
  EXPECT_FALSE(CurrentTree->flags & kIsomorphismOn);
  ExpectSameAnswers(Answers(), before);
  EXPECT_EQ(std::vector<unsigned char>(IsomorphismFlags, IsomorphismFlags + 4), setting);
}

// A forgotten street: the strategies above it come from the save block as
// thousandths, the kept reach of its split points is rebuilt, and the
// forgotten sub-trees are solved again on demand.
TEST_F(TreeFile, ForgottenStreetsRoundTrip) {
  struct Case {
    const char* word;
    int street, version;
    bool fast;
  };
  const Case cases[] = {{"rivers", 3, 6, true}, {"turns", 2, 6, false}, {"rivers", 3, 5, false},
                        {"turns", 2, 4, true},   {"rivers", 3, 3, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.word << " version " << c.version);
    BuildFlopTree(0);
    Go(24);
    ASSERT_EQ(RunCommand(std::string("forget ") + c.word), "forget ok!\n");
    const std::vector<std::string> before = Answers();
    const std::string results = SingleThreadResults();
    TreeFileOptions options;
    options.version = c.version;
    options.fastBlocks = c.fast;
    SaveAndLoad(options, "forgotten");
    EXPECT_EQ(CurrentTree->forgottenStreet, c.street);
    EXPECT_TRUE(CurrentTree->flags & kIncompleteTree);
    for (TreeNode& node : CurrentTree->nodes) {
      if (node.kind != kInnerNode) continue;
      EXPECT_EQ(node.firstStorage != nullptr, node.street < c.street) << "street " << node.street;
    }
    const std::vector<std::string> after = Answers();
    for (size_t q = 0; q < after.size(); ++q) {
      ASSERT_EQ(after[q].substr(after[q].size() - 4), "END\n") << kQueries[q];
      // Flop and turn strategies went through thousandths (version 4 on);
      // older files hold the rows themselves.
      const bool aboveForgotten = q < 4 && (c.street == 3 || q < 2);
      // Older files hold the rows and the kept reach themselves; newer ones
      // give the strategies above the street as thousandths and the kept
      // reach is walked again through them, so the sub-trees solved again
      // from it come out close, not equal.
      if (c.version < 4)
        ExpectSame(after[q], before[q], kQueries[q]);
      else
        ExpectClose(after[q], before[q], aboveForgotten ? 0.0015 : 0.05, kQueries[q]);
    }
    EXPECT_EQ(SingleThreadResults(), results);
    RunCommand("free_tree");
  }
}


// Card records: the reach rows in 1/150 steps, arrays 2 to 5 from the first
// save block (ZigZag hundredths), or sized and zero without it (R byte).
TEST_F(TreeFile, CardRecordsKeepTheirValues) {
  BuildFlopTree(0);
  Go(4);
  TreeNode* holder = nullptr;
  for (TreeNode& node : CurrentTree->nodes)
    if (node.cardRecords && node.street == 3) {
      holder = &node;
      break;
    }
  ASSERT_NE(holder, nullptr);
  const int index = static_cast<int>(holder - CurrentTree->nodes.data());
  CardRecord& record = holder->cardRecords[5];
  const double reach[3] = {1.0, 0.5, 2.0 / 3.0};
  const double sums[3] = {0.07, -3.25, 21474.83};
  // Rows over the hand list of the record's turn board.
  const uint32_t hands = CurrentTree->dealTable->turns[5].HandCount();
  ZeroAlignedArray(record.arrays[0], hands);
  ZeroAlignedArray(record.arrays[3], hands);
  for (int i = 0; i < 3; ++i) {
    record.arrays[0].data[i] = reach[i];
    record.arrays[3].data[i] = sums[i];
  }
  record.reachFrozen = 1;
  const uint64_t solved = 0x8000000000000005ull;
  memcpy(&record.value, &solved, sizeof solved);

  // Every file is written from the tree set up above before any is loaded.
  struct Written {
    int version;
    bool skip;
    std::string bytes;
  };
  std::vector<Written> files;
  for (int version : {6, 4, 3, 1})
    for (bool skip : {false, true})
      if (version >= 4 || !skip) {
        TreeFileOptions options;
        options.version = version;
        options.skipCardValues = skip;
        files.push_back({version, skip, TreeFileBytes(options)});
      }
  for (const Written& file : files) {
    {
      const int version = file.version;
      const bool skip = file.skip;
      SCOPED_TRACE(testing::Message() << "version " << version << " R " << skip);
      const std::string path = Path("records");
      WriteBytes(path, file.bytes);
      ASSERT_EQ(RunCommand("load_tree " + path), "load_tree ok!\n");
      const CardRecord& back = CurrentTree->nodes[index].cardRecords[5];
      ASSERT_EQ(back.arrays[0].count, hands);
      ASSERT_EQ(back.arrays[3].count, hands);
      for (int i = 0; i < 3; ++i) {
        // Version 4 on: the nearest 1/150 step; older files keep f32.
        EXPECT_NEAR(back.arrays[0].data[i], reach[i], version >= 4 ? 1.0 / 300 : (version >= 2 ? 1e-7 : 0.0));
        if (skip)
          EXPECT_EQ(back.arrays[3].data[i], 0.0);
        else
          EXPECT_NEAR(back.arrays[3].data[i], sums[i], version == 1 ? 0.0 : 1e-9 + (version < 4 ? 1e-3 : 0.0));
      }
      EXPECT_EQ(back.reachFrozen, 1);
      EXPECT_EQ(memcmp(&back.value, &solved, sizeof solved), 0);
      EXPECT_EQ(LoadFlag, skip);
    }
  }
}

// What a refused file leaves: before the game is replaced (open, magic,
// version, R byte and everything up to the node data) the standing tree
// stays and answers; after it, no tree, but the file's board and ranges.
TEST_F(TreeFile, RefusedFilesKeepTheOldTreeOrLeaveNone) {
  BuildFlopTree(0);
  Go(10);
  const std::string good = TreeFileBytes(TreeFileOptions{});
  const std::vector<std::string> before = Answers();
  const std::string path = Path("refused");

  struct Refusal {
    std::string bytes, reply;
  };
  std::string badMagic = good, future = good;
  badMagic[3] = ';';
  future[4] = 7;
  std::vector<Refusal> early = {
      {badMagic, "invalid file"},
      {good.substr(0, 3), "can't read from file (errno 0)"},
      {future, "unsupported data format, update to latest version"},
      {good.substr(0, 9), "can't read from file (errno 0)"},
      {good.substr(0, 5000), "can't read from file (errno 0)"},
  };
  // A flop mask with a fourth card, and one overlapping the turn.
  std::string fourCards = good, overlap = good, badWeight = good, badStreet = good;
  fourCards[9 + 6] |= 0x10;
  memcpy(&overlap[17], &good[9], 8);
  const double nan = std::nan("");
  memcpy(&badWeight[9 + 24 + 24 + 8 * 700], &nan, 8);
  const double negative = -0.5;
  std::string negativeWeight = good;
  memcpy(&negativeWeight[9 + 24 + 24 + 8 * 1400], &negative, 8);
  early.push_back({fourCards, "invalid file"});
  early.push_back({overlap, "invalid file"});
  early.push_back({badWeight, "invalid file"});
  early.push_back({negativeWeight, "invalid file"});
  const size_t lines = 9 + 24 + 24 + 8 * 2652;
  const int32_t street = 9;
  memcpy(&badStreet[lines + 4], &street, 4);
  early.push_back({badStreet, "invalid file"});
  for (size_t i = 0; i < early.size(); ++i) {
    SCOPED_TRACE(i);
    WriteBytes(path, early[i].bytes);
    EXPECT_EQ(RunCommand("load_tree " + path), "ERROR: load_tree " + early[i].reply + "\n");
    ASSERT_TRUE(CurrentTree);
    ExpectSameAnswers(Answers(), before);
  }
  EXPECT_EQ(RunCommand("load_tree /nonexistent/tree"), "ERROR: load_tree can't open file (errno 2)\n");
  ExpectSameAnswers(Answers(), before);

  // Trailing bytes are never read.
  WriteBytes(path, good + std::string(100, '\x7f'));
  EXPECT_EQ(RunCommand("load_tree " + path), "load_tree ok!\n");
  ExpectSameAnswers(Answers(), before);

  // Failures inside the node data (a cut, and a compression level that does
  // not fit the rows): the standing tree was freed, but every setting the
  // file replaced is the user's again, so build_tree builds the user's game.
  const size_t nodeStart = lines + LineBytes(*SchematicRoot) + 64;
  ASSERT_EQ(RunCommand("set_board Ah Kh Qh"), "set_board ok!\n");
  ASSERT_EQ(RunCommand("set_pot 0 0 7"), "set_pot ok!\n");
  ASSERT_EQ(RunCommand(SparseRange("OOP", 3, 2)), "set_range ok!\n");
  ASSERT_EQ(RunCommand("clear_lines"), "clear_lines ok!\n");
  ASSERT_EQ(RunCommand("add_line 0 20 20"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("set_isomorphism 0 1"), "set_isomorphism ok!\n");
  const std::vector<double> ranges[2] = {RangeVectors[0], RangeVectors[1]};
  const std::string userLines = PrintLineTree(*SchematicRoot, "", 0.0, 1);
  const std::string compression = RunCommand("get_actual_compression");
  const std::vector<unsigned char> isomorphism(IsomorphismFlags, IsomorphismFlags + 4);
  std::string otherLevel = good.substr(0, good.size() - 10);
  const int32_t level = 3;
  memcpy(&otherLevel[nodeStart - 4], &level, 4);
  const std::string failing[2] = {good.substr(0, good.size() - 10), otherLevel};
  for (int f = 0; f < 2; ++f) {
    SCOPED_TRACE(f);
    WriteBytes(path, failing[f]);
    const std::string reply = RunCommand("load_tree " + path);
    if (f == 0)
      EXPECT_EQ(reply, "ERROR: load_tree can't read from file (errno 0)\n");
    else
      EXPECT_EQ(reply.rfind("ERROR: load_tree ", 0), 0u) << reply;
    EXPECT_FALSE(CurrentTree);
    EXPECT_FALSE(TreeBuilt);
    EXPECT_FALSE(LoadFlag);
    EXPECT_EQ(RunCommand("show_strategy r:0"), "ERROR: show_strategy missing/incorrect tree\n");
    EXPECT_EQ(BoardMasks[0], ParseCards("AhKhQh"));
    EXPECT_EQ(BoardMasks[1] | BoardMasks[2], 0u);
    EXPECT_EQ(PotSettings[2], 7.0);
    EXPECT_TRUE(RangeVectors[0] == ranges[0] && RangeVectors[1] == ranges[1]);
    EXPECT_EQ(PrintLineTree(*SchematicRoot, "", 0.0, 1), userLines);
    EXPECT_EQ(RunCommand("get_actual_compression"), compression);
    EXPECT_EQ(std::vector<unsigned char>(IsomorphismFlags, IsomorphismFlags + 4), isomorphism);
  }
  ASSERT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
  EXPECT_EQ(TreeBoardMasks[0], ParseCards("AhKhQh"));
  EXPECT_EQ(TreePot, 7.0);
  EXPECT_EQ(RunCommand("show_effective_stack"), "20\n");
  RunCommand("free_tree");

  // A negative iteration count (the first field after the solver header).
  std::string negativeCount = good;
  const int32_t minus = -1;
  memcpy(&negativeCount[nodeStart], &minus, 4);
  WriteBytes(path, negativeCount);
  EXPECT_EQ(RunCommand("load_tree " + path), "ERROR: load_tree invalid file\n");
  EXPECT_FALSE(CurrentTree);
  WriteBytes(path, good);
  EXPECT_EQ(RunCommand("load_tree " + path), "load_tree ok!\n");
  ExpectSameAnswers(Answers(), before);
}

namespace {

// A combo off the board that neither range holds, and one that only OOP holds.
void CombosOutsideAndInOop(int& outside, int& oopOnly) {
  outside = oopOnly = -1;
  const CardMask board = BoardMasks[0] | BoardMasks[1] | BoardMasks[2];
  for (int hi = 1; hi < 52; ++hi)
    for (int lo = 0; lo < hi; ++lo) {
      const int c = ComboIndex(lo, hi);
      if ((CardBit(lo) | CardBit(hi)) & board) continue;
      if (RangeVectors[0][c] == 0.0 && RangeVectors[1][c] == 0.0) outside = c;
      if (RangeVectors[0][c] > 0.0 && RangeVectors[1][c] == 0.0) oopOnly = c;
    }
}

template <typename T>
std::string Patched(std::string bytes, size_t at, T value) {
  memcpy(&bytes[at], &value, sizeof value);
  return bytes;
}

}  // namespace

// The ranges decide every board's hand list, and the card records' rows are
// rows over those lists: a file whose rows do not cover its own ranges'
// lists is refused, for a forgotten street as for a whole tree.
TEST_F(TreeFile, RowsThatDisagreeWithTheRangesAreRefused) {
  const size_t oopRange = 9 + 24 + 24;
  for (const char* forget : {"turns", "rivers", ""}) {
    SCOPED_TRACE(forget);
    BuildFlopTree(0);
    Go(10);
    if (*forget) {
      ASSERT_EQ(RunCommand(std::string("forget ") + forget), "forget ok!\n");
    }
    TreeFileOptions options;
    options.version = 4;
    const std::string good = TreeFileBytes(options);
    int outside, oopOnly;
    CombosOutsideAndInOop(outside, oopOnly);
    ASSERT_GE(outside, 0);
    ASSERT_GE(oopOnly, 0);
    const std::string path = Path("disagree");
    // One hand more in the lists, and one fewer.
    for (const std::string& bytes : {Patched(good, oopRange + 8 * outside, 1.0),
                                     Patched(good, oopRange + 8 * oopOnly, 0.0)}) {
      WriteBytes(path, bytes);
      const std::string reply = RunCommand("load_tree " + path);
      if (*forget)
        EXPECT_EQ(reply, "ERROR: load_tree invalid file\n");
      else  // the storages' rows are out of step too
        EXPECT_EQ(reply.rfind("ERROR: load_tree ", 0), 0u) << reply;
      ASSERT_FALSE(CurrentTree);
    }
    WriteBytes(path, good);
    ASSERT_EQ(RunCommand("load_tree " + path), "load_tree ok!\n");
    const std::string ev = RunCommand("calc_ev OOP r:0");
    EXPECT_EQ(ev.substr(ev.size() - 4), "END\n");
    RunCommand("free_tree");
  }

  // With suit isomorphism a range must weigh the hands of a class alike, as
  // build_tree demands: a file whose weights tell suits apart (by a little,
  // or a zero weight made the smallest non-zero one by a flipped bit) is
  // refused with its one error line, and the standing tree stays.
  const CardMask deuces = CardBit(0) | CardBit(13) | CardBit(26) | CardBit(39);
  std::string oop = "set_range OOP", ip = "set_range IP";
  for (int k = 0; k < 1326; ++k) {
    oop += (HandMaskByOrder[k] & ~deuces) ? " 1" : " 0";
    ip += " 0.5";
  }
  ASSERT_EQ(RunCommand("set_isomorphism 1 0"), "set_isomorphism ok!\n");
  ASSERT_EQ(RunCommand(oop), "set_range ok!\n");
  ASSERT_EQ(RunCommand(ip), "set_range ok!\n");
  ASSERT_EQ(RunCommand("clear_lines"), "clear_lines ok!\n");
  ASSERT_EQ(RunCommand("add_line 0 0 0 0 0 0"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
  TreeFileOptions options;
  options.version = 5;
  const std::string good = TreeFileBytes(options);
  const std::string answer = RunCommand("show_strategy r:0");
  const int deuce = ComboIndex(0, 13), ace = ComboIndex(12, 25);
  uint64_t bits;
  memcpy(&bits, &good[oopRange + 8 * deuce], 8);
  const std::string path = Path("asymmetric");
  const std::string asymmetric[] = {Patched(good, oopRange + 8 * deuce, bits ^ 1),
                                    Patched(good, oopRange + 8 * ace, 0.5)};
  for (const std::string& bytes : asymmetric) {
    WriteBytes(path, bytes);
    EXPECT_EQ(RunCommandCapturingStdout("load_tree " + path), "ERROR: load_tree invalid file\n");
    EXPECT_EQ(RunCommand("show_strategy r:0"), answer);
  }
}

// Every number of a file that feeds a result must be one the commands or a
// solve can make: pots and line amounts within what set_pot and add_line
// take, stored rows, values and cached results finite and within bounds, and
// iteration counts the solver can reach.
TEST_F(TreeFile, NumbersNoSolveMakesAreRefused) {
  BuildFlopTree(0);
  Go(10);
  const std::string good = TreeFileBytes(TreeFileOptions{});
  const size_t lines = 9 + 24 + 24 + 8 * 2652;
  const size_t header = lines + LineBytes(*SchematicRoot);
  const size_t nodeStart = header + 64;
  const double nan = std::nan(""), inf = HUGE_VAL;
  std::vector<std::string> refused = {
      Patched(good, 9 + 24 + 16, -100.0), Patched(good, 9 + 24 + 16, 1e300), Patched(good, 9 + 24, nan),
      Patched(good, 9 + 24 + 8, 4294967296.0),
      // The root's amount, and the amount of its first child.
      Patched(good, lines + 16, 1e300), Patched(good, lines + 44 + 8 + 24, -3.0),
      // The first regret of the root's storage (after the iteration count
      // and the storage's lock flags).
      Patched(good, nodeStart + 8, std::numeric_limits<float>::quiet_NaN()),
      Patched(good, nodeStart + 8, std::numeric_limits<float>::infinity()), Patched(good, nodeStart + 8, 1e31f),
      // Iteration counts past the solver's cap, for the tree and its results.
      Patched(good, nodeStart, int32_t{2147483646}), Patched(good, nodeStart, IterationCap + 1),
      Patched(good, header + 8, int32_t{2147483646})};

  // With a forgotten street the cached results are printed as they are.
  ASSERT_EQ(RunCommand("forget rivers"), "forget ok!\n");
  const std::string forgotten = TreeFileBytes(TreeFileOptions{});
  for (int k = 0; k < 6; ++k) {
    refused.push_back(Patched(forgotten, header + 12 + 8 * k, nan));
    refused.push_back(Patched(forgotten, header + 12 + 8 * k, k % 2 ? -inf : 1e300));
  }
  // Values and reach of the older layouts, which store them as floats.
  for (int version : {1, 3}) {
    for (TreeNode& node : CurrentTree->nodes)
      for (int32_t i = 0; node.cardRecords && i < node.cardRecordCount; ++i)
        for (int a : {0, 3})
          if (node.cardRecords[i].arrays[a].count) node.cardRecords[i].arrays[a].data[0] = version == 1 ? 1e300 : 1e31;
    TreeFileOptions old;
    old.version = version;
    refused.push_back(TreeFileBytes(old));
  }

  const std::string path = Path("numbers");
  for (size_t i = 0; i < refused.size(); ++i) {
    SCOPED_TRACE(i);
    WriteBytes(path, refused[i]);
    EXPECT_EQ(RunCommand("load_tree " + path), "ERROR: load_tree invalid file\n");
  }
  // The file as it was loads, and its results are numbers.
  WriteBytes(path, forgotten);
  ASSERT_EQ(RunCommand("load_tree " + path), "load_tree ok!\n");
  const std::string results = RunCommand("calc_results");
  EXPECT_EQ(results.find("nan"), std::string::npos) << results;
  EXPECT_EQ(results.find("inf"), std::string::npos) << results;
}

// A file may leave out the values its deals cached (the R byte). Reports of
// such a tree give what the EV pass computes from the strategies, or an error
// while a forgotten street would make the pass read the missing values.
TEST_F(TreeFile, EvReportsWithoutStoredCardValues) {
  BuildFlopTree(0);
  Go(24);
  RunCommand("calc_results");  // the file's results are current
  const std::string ev = RunCommand("calc_ev OOP r:0");
  const std::string pp = RunCommand("calc_ev_pp IP r:0:b50");
  TreeFileOptions skip;
  skip.skipCardValues = true;
  const std::string withoutValues = TreeFileBytes(skip);
  SaveAndLoad(skip, "no_values");
  ASSERT_TRUE(LoadFlag);
  ExpectClose(RunCommand("calc_ev OOP r:0"), ev, 1e-6, "calc_ev");
  ExpectClose(RunCommand("calc_ev_pp IP r:0:b50"), pp, 0.0, "calc_ev_pp");
  // Forgetting first evaluates the whole tree, so the values cached at the
  // deals are the tree's.
  ASSERT_EQ(RunCommand("forget rivers"), "forget ok!\n");
  ExpectClose(RunCommand("calc_ev OOP r:0"), ev, 1e-6, "calc_ev after forget");

  // Solving on changes the values.
  const std::string path = Path("no_values");
  WriteBytes(path, withoutValues);
  ASSERT_EQ(RunCommand("load_tree " + path), "load_tree ok!\n");
  Go(5);
  const std::vector<double> solved = Numbers(RunCommand("calc_ev OOP r:0"));
  ASSERT_EQ(solved.size(), 2u * 1326);
  const std::vector<double> before = Numbers(ev);
  double moved = 0.0;
  for (size_t i = 0; i < 1326; ++i)
    if (!std::isnan(solved[i])) moved = std::max(moved, std::fabs(solved[i] - before[i]));
  EXPECT_GT(moved, 1e-3);

  // A forgotten street without its cached values: an error, until the
  // streets are rebuilt.
  ASSERT_EQ(RunCommand("forget rivers"), "forget ok!\n");
  WriteTreeFile(path, skip);
  ASSERT_EQ(RunCommand("load_tree " + path), "load_tree ok!\n");
  const std::string error = " values not loaded: rebuild the forgotten streets and solve\n";
  EXPECT_EQ(RunCommand("calc_ev OOP r:0"), "ERROR: calc_ev" + error);
  EXPECT_EQ(RunCommand("calc_ev_pp IP r:0:c:c:2h"), "ERROR: calc_ev_pp" + error);
  // The file's own results still answer; once a written strategy makes them
  // stale, they would have to come from the missing values.
  const std::string results = RunCommand("calc_results");
  EXPECT_EQ(results.find("nan"), std::string::npos) << results;
  EXPECT_EQ(results.rfind("ERROR", 0), std::string::npos) << results;
  std::string ones;
  for (int i = 0; i < 1326; ++i) ones += " 1";
  ASSERT_EQ(RunCommand("set_strategy r:0 0" + ones), "set_strategy ok!\n");
  EXPECT_EQ(RunCommand("calc_results"), "ERROR: calc_results" + error);
  ASSERT_EQ(RunCommand("rebuild_forgotten_streets"), "rebuild_forgotten_streets ok!\n");
  const std::string rebuilt = RunCommand("calc_ev OOP r:0");
  EXPECT_EQ(rebuilt.substr(rebuilt.size() - 4), "END\n");
}

// The solver must not be running while the tree is replaced.
TEST_F(TreeFile, RefusedWhileSolving) {
  BuildFlopTree(0);
  const std::string path = Path("running");
  WriteTreeFile(path, TreeFileOptions{});
  RunCommandCapturingStdout("go 100000 steps");
  EXPECT_EQ(RunCommand("load_tree " + path), "ERROR: load_tree Can't do that when solver is running\n");
  RunCommandCapturingStdout("stop");
  RunCommandCapturingStdout("wait_for_solver");
  EXPECT_EQ(RunCommand("load_tree " + path), "load_tree ok!\n");
}

// --- Save blocks from their bytes ---------------------------------------------------------

namespace {
std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}
}  // namespace

TEST(SaveBlocks, FastRowsFromTheirBytes) {
  // Version 6, selector 1: a u32 row of 33 values (header 0x00 = 32 zeros,
  // then a tail group of one value with code 0 = bytes), a u16 row of 7
  // values (code 1 = bytes) and a u16 row of 32 with code 2 (12-bit) in
  // group 0, the rest zero.
  std::string block = Bytes({1});
  Put<int16_t>(block, 3);
  block += Bytes({0x00, 0x00, 0xC8});
  Put<int16_t>(block, 8);
  block += Bytes({0x01, 1, 2, 3, 4, 5, 6, 255});
  std::string twelve = Bytes({0x02});
  // Eight 12-bit values 0x001 .. 0x008 with the last 0xFFF.
  const uint16_t v[8] = {1, 2, 3, 4, 5, 6, 7, 0xFFF};
  for (int k = 0; k < 8; k += 2) {
    const uint32_t pair = v[k] | (static_cast<uint32_t>(v[k + 1]) << 12);
    twelve += Bytes({static_cast<int>(pair & 0xFF), static_cast<int>((pair >> 8) & 0xFF), static_cast<int>(pair >> 16)});
  }
  Put<int16_t>(block, static_cast<int16_t>(twelve.size()));
  block += twelve;
  MemoryReader reader(block, 6);
  std::unique_ptr<SaveDecompressor> save = OpenSaveDecompressor(reader);
  uint32_t row32[33];
  save->readRow(row32, nullptr, 33);
  for (int i = 0; i < 32; ++i) ASSERT_EQ(row32[i], 0u);
  EXPECT_EQ(row32[32], 200u);
  uint16_t row16[32];
  save->readRow16(row16, nullptr, 7);
  EXPECT_EQ(std::vector<uint16_t>(row16, row16 + 7), (std::vector<uint16_t>{1, 2, 3, 4, 5, 6, 255}));
  save->readRow16(row16, nullptr, 0);  // a row of no values takes no bytes
  save->readRow16(row16, nullptr, 32);
  EXPECT_EQ(std::vector<uint16_t>(row16, row16 + 8), std::vector<uint16_t>(v, v + 8));
  for (int i = 8; i < 32; ++i) EXPECT_EQ(row16[i], 0);
  EXPECT_EQ(reader.Remaining(), 0u);

  // Lengths outside 1 .. 8192 (u32) or 1 .. 4096 (u16), rows that leave
  // bytes over or need more, and rows longer than 1326 values are refused.
  auto refused = [](const std::string& bytes, bool sixteen, int count) {
    MemoryReader r(bytes, 6);
    std::unique_ptr<SaveDecompressor> s = OpenSaveDecompressor(r);
    std::vector<uint32_t> out32(2000);
    std::vector<uint16_t> out16(2000);
    if (sixteen)
      s->readRow16(out16.data(), nullptr, count);
    else
      s->readRow(out32.data(), nullptr, count);
  };
  std::string zero = Bytes({1}), big = Bytes({1}), over = Bytes({1}), under = Bytes({1}), huge16 = Bytes({1});
  Put<int16_t>(zero, 0);
  Put<int16_t>(big, -1);
  Put<int16_t>(huge16, 4097);
  huge16 += std::string(4097, '\0');
  Put<int16_t>(over, 3);
  over += Bytes({0x00, 1, 2});  // 8 values in 2 bytes: one byte over
  Put<int16_t>(under, 3);
  under += Bytes({0x01, 1, 2});  // 8 byte values in 2 bytes
  EXPECT_THROW(refused(zero, false, 8), IOException);
  EXPECT_THROW(refused(big, false, 8), IOException);
  EXPECT_THROW(refused(huge16, true, 8), IOException);
  EXPECT_THROW(refused(over, true, 8), IOException);
  EXPECT_THROW(refused(under, true, 8), IOException);
  EXPECT_THROW(refused(zero, false, 1327), IOException);
}

TEST(SaveBlocks, SlowLanesAreCheckedAndDecodedWithoutEndingTheProcess) {
  // Lanes holding one row of four zeros coded by the FSE codec (id 2); a
  // version-5 block has no selector byte.
  struct Lanes {
    std::string lane[kCodecChannels];
    static int Write(void* c, int k, uint8_t* d, int n) {
      static_cast<Lanes*>(c)->lane[k].append(reinterpret_cast<char*>(d), n);
      return n;
    }
  } lanes;
  CompressionStats stats;
  CompressorInterface* c = CreateCompressor(kFseCodecId, nullptr, nullptr, &Lanes::Write, &lanes, &stats);
  const uint32_t values[4] = {9, 0, 70000, 3};
  CompressRow(c, values, nullptr, 4);
  DestroyCompressor(c);
  auto block = [&](const Lanes& l, uint64_t firstLength) {
    std::string out;
    for (int k = 0; k < kCodecChannels; ++k) {
      Put<uint64_t>(out, k == 0 ? firstLength : l.lane[k].size());
      out += l.lane[k];
    }
    return out;
  };
  {
    MemoryReader reader(block(lanes, lanes.lane[0].size()), 5);
    std::unique_ptr<SaveDecompressor> save = OpenSaveDecompressor(reader);
    uint32_t out[4];
    save->readRow(out, nullptr, 4);
    EXPECT_EQ(std::vector<uint32_t>(out, out + 4), std::vector<uint32_t>(values, values + 4));
    // Asking for more rows than the lanes hold: the channel runs out.
    EXPECT_THROW(save->readRow(out, nullptr, 4), IOException);
  }
  // A lane length past the end of the file, and an unknown codec id.
  MemoryReader past(block(lanes, uint64_t{1} << 62), 5);
  past.byteSize = 4096;
  EXPECT_THROW(OpenSaveDecompressor(past), IOException);
  Lanes unknown = lanes;
  unknown.lane[0][0] = 7;
  MemoryReader bad(block(unknown, unknown.lane[0].size()), 5);
  EXPECT_THROW(OpenSaveDecompressor(bad), IOException);
}

// --- Damaged files ----------------------------------------------------------------------------

namespace {

// Loads damaged copies of a file: every load prints ok or one error line and
// nothing else. After an error either the standing tree answers as before or
// there is no tree, and the settings are those before the command either
// way; after a load the results and every EV of a hand with weight are
// numbers. Returns the number of loads that succeeded.
class DamagedLoads {
 public:
  explicit DamagedLoads(std::string path) : path_(std::move(path)) { Remember(); }

  void Load(const std::string& bytes) {
    WriteBytes(path_, bytes);
    // Everything the load prints: a refusal is its one error line.
    const std::string reply = RunCommandCapturingStdout("load_tree " + path_);
    if (reply == "load_tree ok!\n") {
      ++loaded_;
      Remember();
      ExpectNumbers();
      return;
    }
    ASSERT_EQ(reply.rfind("ERROR: load_tree ", 0), 0u) << reply;
    ASSERT_EQ(reply.find('\n'), reply.size() - 1) << reply;
    ASSERT_TRUE(settings_ == CurrentSettings()) << "the settings changed after " << reply;
    if (CurrentTree) {
      ASSERT_EQ(RunCommand("show_strategy r:0"), answer_) << "the standing tree changed after " << reply;
    } else {
      ASSERT_FALSE(TreeBuilt);
      ASSERT_FALSE(LoadFlag);
      ASSERT_EQ(RunCommand("show_strategy r:0"), "ERROR: show_strategy missing/incorrect tree\n");
      answer_.clear();
    }
  }
  int Loaded() const { return loaded_; }
  // The answer of whatever tree stands now, and the settings.
  void Remember() {
    answer_ = CurrentTree ? RunCommand("show_strategy r:0") : std::string();
    settings_ = CurrentSettings();
  }

 private:
  static std::vector<std::string> CurrentSettings() {
    std::vector<std::string> out;
    out.emplace_back(reinterpret_cast<const char*>(BoardMasks), sizeof(CardMask) * 3);
    out.emplace_back(reinterpret_cast<const char*>(PotSettings), sizeof(double) * 3);
    for (const std::vector<double>& range : RangeVectors)
      out.emplace_back(reinterpret_cast<const char*>(range.data()), sizeof(double) * range.size());
    out.push_back(PrintLineTree(*SchematicRoot, "", 0.0, 1));
    out.push_back(RunCommand("get_actual_compression"));
    out.emplace_back(reinterpret_cast<const char*>(IsomorphismFlags), 4);
    return out;
  }

  static void ExpectNumbers() {
    const std::string results = RunCommand("calc_results");
    ASSERT_EQ(results.find("nan"), std::string::npos) << results;
    ASSERT_EQ(results.find("inf"), std::string::npos) << results;
    const std::string ev = RunCommand("calc_ev OOP r:0");
    if (ev.rfind("ERROR: ", 0) == 0) return;  // a tree without its cached values
    const size_t split = ev.find('\n');
    ASSERT_NE(split, std::string::npos) << ev;
    const std::vector<std::string> values = Words(ev.substr(0, split)), weights = Words(ev.substr(split + 1));
    ASSERT_EQ(values.size(), 1326u);
    ASSERT_EQ(weights.size(), 1327u);  // and END
    for (size_t i = 0; i < values.size(); ++i) {
      if (weights[i] == "0") continue;
      ASSERT_TRUE(std::isfinite(strtod(values[i].c_str(), nullptr))) << values[i] << " with weight " << weights[i];
    }
  }
  static std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> out;
    size_t from = 0;
    while ((from = text.find_first_not_of(" \n", from)) != std::string::npos) {
      const size_t to = text.find_first_of(" \n", from);
      out.push_back(text.substr(from, to - from));
      from = to;
    }
    return out;
  }

  std::string path_;
  std::string answer_;
  std::vector<std::string> settings_;
  int loaded_ = 0;
};

void Damage(DamagedLoads& loads, const std::string& good, size_t nodeStart, int flips, int lengths, int cuts,
            uint32_t seed) {
  std::mt19937 random(seed);
  // Cut at every offset up to past the solver header, then spread over the
  // node data.
  const size_t dense = std::min(good.size(), nodeStart + 64);
  const size_t step = std::max<size_t>(1, (good.size() - dense) / static_cast<size_t>(cuts));
  for (size_t cut = 0; cut < good.size(); cut += cut < dense ? (cut < 64 || cut + 600 > dense ? 1 : 997) : step) {
    loads.Load(good.substr(0, cut));
    if (::testing::Test::HasFatalFailure()) return;
  }
  for (int i = 0; i < flips; ++i) {
    std::string bytes = good;
    // Most flips in the node data, where the lengths are.
    const size_t from = i % 4 == 0 ? 0 : nodeStart;
    const size_t at = from + random() % (bytes.size() - from);
    bytes[at] = static_cast<char>(bytes[at] ^ (1 + random() % 255));
    loads.Load(bytes);
    if (::testing::Test::HasFatalFailure()) return;
  }
  const int64_t patterns[] = {-1, 0, 0x7FFF, 0x7FFFFFFF, INT64_MAX, 4096, 8193, 1327};
  for (int i = 0; i < lengths; ++i) {
    std::string bytes = good;
    const int width = 2 << (random() % 3);
    const size_t at = nodeStart + random() % (bytes.size() - nodeStart - 8);
    const int64_t value = patterns[random() % 8];
    memcpy(&bytes[at], &value, static_cast<size_t>(width));
    loads.Load(bytes);
    if (::testing::Test::HasFatalFailure()) return;
  }
  // Numbers no solve makes: non-finite and huge floats in the pot, the
  // cached results and the node data; iteration counts about the solver's
  // cap; range weights that add a hand to the lists or take one away.
  const double doubles[] = {std::nan(""), HUGE_VAL, -HUGE_VAL, 1e300, -1e300, 1e31};
  const float floats[] = {std::nanf(""), HUGE_VALF, 1e31f, -1e31f};
  const int32_t counts[] = {2147483646, IterationCap + 1, IterationCap, -2};
  const size_t header = nodeStart - 64;
  for (int i = 0; i < lengths; ++i) {
    std::string bytes = good;
    const size_t nodeAt = nodeStart + random() % (bytes.size() - nodeStart - 8);
    switch (i % 5) {
      case 0:
        memcpy(&bytes[9 + 24 + 8 * (random() % 3)], &doubles[random() % 6], 8);
        memcpy(&bytes[header + 12 + 8 * (random() % 6)], &doubles[random() % 6], 8);
        break;
      case 1:
        memcpy(&bytes[nodeAt], &doubles[random() % 6], 8);
        break;
      case 2:
        memcpy(&bytes[nodeAt], &floats[random() % 4], 4);
        break;
      case 3:
        memcpy(&bytes[random() % 2 ? nodeStart : header + 8], &counts[random() % 4], 4);
        break;
      default: {
        const double weight = random() % 2 ? 1.0 : 0.0;
        memcpy(&bytes[9 + 48 + 8 * (random() % (2 * 1326))], &weight, 8);
      }
    }
    loads.Load(bytes);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

}  // namespace

// Run once (not in both kernel variants); the river and the flop files are
// two tests, so that they run side by side.
class TreeFileFuzz : public TreeFile {
 protected:
  // Where the node data of a file starts, past its header and line tree.
  static size_t NodeDataStart() { return 9 + 24 + 24 + 8 * 2652 + LineBytes(*SchematicRoot) + 64; }
};

TEST_F(TreeFileFuzz, DamagedRiverFilesAreRefusedWithoutHarm) {
  // A river tree with a combo lock, its node data in the newest layout.
  ASSERT_EQ(RunCommand("set_compression 0"), "set_compression ok!\n");
  ASSERT_EQ(RunCommand(SparseRange("OOP", 9, 0)), "set_range ok!\n");
  ASSERT_EQ(RunCommand(SparseRange("IP", 8, 1)), "set_range ok!\n");
  ASSERT_EQ(RunCommand("set_board Ks 9d 4c 2h 7s"), "set_board ok!\n");
  ASSERT_EQ(RunCommand("set_pot 0 0 100"), "set_pot ok!\n");
  ASSERT_EQ(RunCommand("add_line 0 50 50"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
  // Rows of every storage filled without a solve: a solve leaves the
  // parallel runtime's threads of the solver thread spinning, and every
  // load's short parallel regions would wait on them.
  std::mt19937 fill(3);
  for (TreeNode& node : CurrentTree->nodes) {
    if (node.kind != kInnerNode) continue;
    for (StorageInterface* s : {node.firstStorage, node.secondStorage}) {
      if (!s) continue;
      ASSERT_TRUE(s->Prepare());
      AlignedArray row{};
      ResizeAlignedArray(row, static_cast<uint32_t>(s->EntryCount(0, 0)));
      for (size_t a = 0; a < node.children.size(); ++a) {
        for (uint32_t i = 0; i < row.count; ++i) row.data[i] = fill() % 3 == 0 ? 0.0 : (fill() % 100000) * 0.37;
        s->WriteRow(0, 0, static_cast<int>(a), row);
      }
      ReleaseAlignedArray(row);
    }
  }
  StorageInterface* storage = CurrentTree->nodes[0].firstStorage;
  const int hands = storage->EntryCount(0, 0);
  std::vector<uint8_t> mask(static_cast<size_t>(hands), 0);
  for (int i = 3; i < hands; i += 4) mask[i] = 1;
  storage->GetNodeRecord(0, 0)->SetMask(mask.data(), hands);
  const std::string riverFile = TreeFileBytes(TreeFileOptions{});
  if (getenv("PFSOLVE_KEEP_FUZZ_FILE")) WriteBytes(getenv("PFSOLVE_KEEP_FUZZ_FILE"), riverFile);
  DamagedLoads loads(Path("damaged"));
  // One thread: the loads' short parallel regions would cost more in team
  // wake-ups than the work.
  omp_set_num_threads(1);
  const auto t0 = std::chrono::steady_clock::now();
  Damage(loads, riverFile, NodeDataStart(), 10000, 600, 150, 7);
  printf("river phase %.2f s, %zu bytes\n", std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), riverFile.size());
  if (HasFatalFailure()) return;
  EXPECT_GT(loads.Loaded(), 100);
}

TEST_F(TreeFileFuzz, DamagedFlopFilesAreRefusedWithoutHarm) {
  // A flop tree with entropy-coded river streams in slow save blocks, and
  // one with its rivers forgotten.
  omp_set_num_threads(1);
  BuildFlopTree(2);
  Go(4);
  TreeFileOptions slow;
  slow.fastBlocks = false;
  const std::string coded = TreeFileBytes(slow);
  const size_t codedStart = NodeDataStart();
  ASSERT_EQ(RunCommand("forget rivers"), "forget ok!\n");
  const std::string forgotten = TreeFileBytes(slow);
  DamagedLoads loads(Path("damaged"));
  const auto t1 = std::chrono::steady_clock::now();
  Damage(loads, coded, codedStart, 30, 20, 8, 11);
  if (HasFatalFailure()) return;
  Damage(loads, forgotten, codedStart, 30, 20, 8, 13);
  printf("flop phase %.2f s\n", std::chrono::duration<double>(std::chrono::steady_clock::now() - t1).count());
}

// The forgotten street of the solver header set to every value, on files of
// every root street and layout, written from a whole tree and from trees with
// a street forgotten: each load either is refused as an invalid file or
// gives a tree whose queries answer, whose forgotten sub-trees solve again
// and which solves on after a rebuild. A street before the root's is refused,
// as `forget` refuses it; the file's own value always loads.
TEST_F(TreeFileFuzz, ForgottenStreetOnEveryRootAndVersion) {
  omp_set_num_threads(1);
  struct Root {
    const char* board;
    std::vector<const char*> lines;
    const char* riverNode;
  };
  const Root roots[] = {{"Ks 9d 4c", {"add_line 0 0 0 0 0 0", "add_line 0 0 0 0 50 50"}, "r:0:c:c:2h:c:c:3s"},
                        {"Ks 9d 4c 2h", {"add_line 0 0 0 0", "add_line 0 50 50 50 50"}, "r:0:c:c:3s"},
                        {"Ks 9d 4c 2h 7s", {"add_line 0 0", "add_line 0 50 50"}, "r:0:c"}};
  const std::string path = Path("forgotten_field");
  for (int r = 0; r < 3; ++r) {
    const Root& root = roots[r];
    const int rootStreet = r + 1;
    ASSERT_EQ(RunCommand("set_compression 0"), "set_compression ok!\n");
    ASSERT_EQ(RunCommand(SparseRange("OOP", 9, 0)), "set_range ok!\n");
    ASSERT_EQ(RunCommand(SparseRange("IP", 8, 1)), "set_range ok!\n");
    ASSERT_EQ(RunCommand(std::string("set_board ") + root.board), "set_board ok!\n");
    ASSERT_EQ(RunCommand("set_pot 0 0 100"), "set_pot ok!\n");
    // Sub-trees solved again stop at their first check.
    ASSERT_EQ(RunCommand("set_recalc_accuracy 1 1 1"), "set_recalc_accuracy ok!\n");
    ASSERT_EQ(RunCommand("clear_lines"), "clear_lines ok!\n");
    for (const char* line : root.lines) ASSERT_EQ(RunCommand(line), "add_line ok!\n");
    // Each source tree is written in every layout before the next is made.
    struct Source {
      int forgotten, version;
      std::string bytes;
    };
    std::vector<Source> sources;
    for (int forgotten : {-1, 2, 3}) {
      if (forgotten >= 0 && forgotten < rootStreet) continue;
      for (int version : {1, 3, 4, 5, 6}) {
        // The tree the file's writer had: before version 5 a turn-rooted
        // tree keeps its river regrets in 16 bits.
        ASSERT_EQ(RunCommand("build_tree"), "build_tree ok!\n");
        CurrentTree->formatVersion = version;
        ApplyCompressionLevel(0);
        Go(6);
        // Older files of whole trees come without current results.
        if (version >= 4) RunCommand("calc_results");
        if (forgotten >= 0) {
          ASSERT_EQ(RunCommand(forgotten == 2 ? "forget turns" : "forget rivers"), "forget ok!\n");
        }
        TreeFileOptions options;
        options.version = version;
        options.fastBlocks = version == 6;
        sources.push_back({forgotten, version, TreeFileBytes(options)});
      }
    }
    const size_t header = 8 + 48 + 8 * 2652 + LineBytes(*SchematicRoot);
    for (const Source& source : sources) {
      for (int32_t field : {-1, 2, 3}) {
        SCOPED_TRACE(testing::Message() << "root " << root.board << " file forgotten " << source.forgotten
                                        << " version " << source.version << " field " << field);
        WriteBytes(path, Patched(source.bytes, header + (source.version >= 4 ? 1 : 0) + 4, field));
        const std::string reply = RunCommand("load_tree " + path);
        if (field == source.forgotten) {
          EXPECT_EQ(reply, "load_tree ok!\n");
        } else if (field >= 0 && field < rootStreet) {
          ASSERT_EQ(reply, "ERROR: load_tree invalid file\n");
        }
        if (reply != "load_tree ok!\n") {
          ASSERT_EQ(reply.rfind("ERROR: load_tree ", 0), 0u) << reply;
          ASSERT_EQ(reply.find('\n'), reply.size() - 1) << reply;
          continue;
        }
        for (const std::string& query : std::vector<std::string>{"calc_results", "show_strategy r:0", "calc_ev OOP r:0",
                                        std::string("show_strategy ") + root.riverNode,
                                        std::string("calc_line_freq ") + root.riverNode,
                                        std::string("explo_partial ") + root.riverNode}) {
          const std::string answer = RunCommand(query);
          EXPECT_EQ(answer.find("ERROR"), std::string::npos) << query << ": " << answer.substr(0, 100);
          // Hands outside the ranges have no EV; every other answer is a number.
          if (query.rfind("calc_ev", 0) != 0) {
            EXPECT_EQ(answer.find("nan"), std::string::npos) << query << ": " << answer.substr(0, 100);
          }
        }
        ASSERT_EQ(RunCommand("rebuild_all"), "rebuild_all ok!\n");
        Go(2);
        const std::string results = RunCommand("calc_results");
        EXPECT_EQ(results.find("nan"), std::string::npos) << results;
        EXPECT_EQ(results.find("ERROR"), std::string::npos) << results;
      }
    }
  }
  RunCommand("set_recalc_accuracy 0 0 0");
}

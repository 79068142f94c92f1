#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "console_helpers.h"
#include "core/binary_reader.h"
#include "game/line_tree.h"
#include "memory_io.h"

namespace {
const SchematicNode& Child(const SchematicNode& node, double key) {
  auto it = node.children.find(key);
  if (it == node.children.end()) throw std::runtime_error("no child " + std::to_string(key));
  return *it->second;
}
std::vector<double> Keys(const SchematicNode& node) {
  std::vector<double> keys;
  for (const auto& entry : node.children) keys.push_back(entry.first);
  return keys;
}
class LineTree : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(RunCommand("clear_lines"), "clear_lines ok!\n"); }
};
}  // namespace

TEST_F(LineTree, CheckCheckOpensTheNextStreet) {
  ASSERT_EQ(RunCommand("add_line 0 0"), "add_line ok!\n");
  const SchematicNode& check = Child(*SchematicRoot, 0);
  EXPECT_EQ(check.player, 1);
  EXPECT_EQ(check.street, 0);
  EXPECT_EQ(Keys(check), std::vector<double>{0});  // no fold after a check
  const SchematicNode& behind = Child(check, 0);
  EXPECT_EQ(behind.street, 1);
  EXPECT_EQ(behind.player, 0);
  EXPECT_EQ(behind.bets, 0);
  EXPECT_TRUE(behind.children.empty());
}

TEST_F(LineTree, BetGetsCallAndFoldChildrenAndTheCallIsRewritten) {
  ASSERT_EQ(RunCommand("add_line 0 50 50"), "add_line ok!\n");
  const SchematicNode& check = Child(*SchematicRoot, 0);
  EXPECT_EQ(Keys(check), (std::vector<double>{50, 0}));  // largest first
  const SchematicNode& bet = Child(check, 50);
  EXPECT_EQ(bet.bets, 1);
  EXPECT_EQ(bet.player, 0);
  EXPECT_EQ(bet.chipsIp, 50);
  EXPECT_EQ(bet.chipsOop, 0);
  EXPECT_EQ(Keys(bet), (std::vector<double>{50, -1}));
  const SchematicNode& call = Child(bet, 50);
  EXPECT_EQ(call.street, 1);
  EXPECT_EQ(call.player, 0);
  EXPECT_EQ(call.bets, 0);
  EXPECT_EQ(call.chipsOop, 50);
  EXPECT_EQ(call.chipsIp, 50);
  const SchematicNode& fold = Child(bet, -1);
  EXPECT_EQ(fold.amount, 0);
  EXPECT_EQ(fold.chipsOop, 0);
  EXPECT_EQ(fold.chipsIp, 50);
}

TEST_F(LineTree, RaisesTrackTotalsAndDecreasingAmountsAreRefused) {
  ASSERT_EQ(RunCommand("add_line 50 150 150 150 150"), "add_line ok!\n");
  const SchematicNode& bet = Child(*SchematicRoot, 50);
  const SchematicNode& raise = Child(bet, 150);
  EXPECT_EQ(raise.bets, 2);
  EXPECT_EQ(raise.player, 0);
  EXPECT_EQ(raise.chipsOop, 50);
  EXPECT_EQ(raise.chipsIp, 150);
  const SchematicNode& fold = Child(raise, -1);
  EXPECT_EQ(fold.chipsOop, 50);  // the folder keeps what he had in
  EXPECT_EQ(fold.chipsIp, 150);
  const SchematicNode& turn = Child(raise, 150);
  EXPECT_EQ(turn.street, 1);
  EXPECT_EQ(Child(Child(turn, 150), 150).street, 2);

  EXPECT_EQ(RunCommand("add_line 60 40"), "ERROR: add_line incorrect or missing argument\n");
  EXPECT_NO_THROW(Child(*SchematicRoot, 60));  // the part before the bad word stays
  EXPECT_EQ(RunCommand("add_line 10 abc"), "Invalid value\n");
  EXPECT_EQ(RunCommand("add_line 10 nan"), "Invalid value\n");
  EXPECT_EQ(RunCommand("add_line 10 inf"), "Invalid value\n");
}

TEST_F(LineTree, ForceLinePrunesOtherActions) {
  ASSERT_EQ(RunCommand("add_line 0 0"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("add_line 50 150"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("force_line 50 150"), "force_line ok!\n");
  EXPECT_EQ(Keys(*SchematicRoot), std::vector<double>{50});
  const SchematicNode& bet = Child(*SchematicRoot, 50);
  EXPECT_EQ(Keys(bet), std::vector<double>{150});
  EXPECT_EQ(Keys(Child(bet, 150)), (std::vector<double>{150, -1}));
}

TEST_F(LineTree, RemoveLine) {
  ASSERT_EQ(RunCommand("add_line 50 50"), "add_line ok!\n");
  ASSERT_EQ(RunCommand("add_line 0 0"), "add_line ok!\n");
  EXPECT_EQ(RunCommand("remove_line 50 0"), "remove_line ok!\n");
  EXPECT_EQ(Keys(Child(*SchematicRoot, 50)), std::vector<double>{50});
  EXPECT_EQ(RunCommand("remove_line 70"), "ERROR: remove_line Specified line doesn't exists.\n");
  EXPECT_EQ(RunCommand("remove_line 50 70"), "ERROR: remove_line Specified line doesn't exists.\n");
  EXPECT_EQ(Keys(*SchematicRoot), (std::vector<double>{50, 0}));
  EXPECT_EQ(RunCommand("remove_line 50"), "remove_line ok!\n");
  EXPECT_EQ(Keys(*SchematicRoot), std::vector<double>{0});
  EXPECT_EQ(RunCommand("remove_line"), "remove_line ok!\n");
}

namespace {
void PutNode(std::string& out, int player, double amount, int children) {
  Put<int32_t>(out, player);
  Put<int32_t>(out, 0);
  Put<int32_t>(out, 0);
  Put<int32_t>(out, 7);
  Put<double>(out, amount);
  Put<double>(out, 1.5);
  Put<double>(out, 2.5);
  Put<int32_t>(out, children);
}
}  // namespace

TEST(LineTreeFile, RecordsReadRecursivelyAndRepeatedKeysKeepTheLast) {
  std::string bytes;
  PutNode(bytes, 0, 0.0, 2);
  Put<double>(bytes, 10.0);
  PutNode(bytes, 1, 10.0, 0);
  Put<double>(bytes, 10.0);
  PutNode(bytes, 1, 99.0, -3);  // a negative count ends the node too
  MemoryReader reader(bytes);
  auto root = NewSchematicRoot();
  ReadSchematicNode(*root, reader);
  EXPECT_EQ(reader.bytesRead, bytes.size());
  ASSERT_EQ(root->children.size(), 1u);
  EXPECT_EQ(root->children.at(10.0)->amount, 99.0);
  EXPECT_EQ(root->children.at(10.0)->parent, root.get());
  EXPECT_EQ(root->treeIndex, 7);
  EXPECT_EQ(root->chipsIp, 2.5);
}

TEST(LineTreeFile, CorruptRecordsAreRefused) {
  std::string truncated;
  PutNode(truncated, 0, 0.0, 1);
  Put<double>(truncated, 10.0);
  auto root = NewSchematicRoot();
  MemoryReader shortReader(truncated);
  EXPECT_THROW(ReadSchematicNode(*root, shortReader), IOException);

  std::string nanKey;
  PutNode(nanKey, 0, 0.0, 1);
  Put<double>(nanKey, std::nan(""));
  PutNode(nanKey, 1, 0.0, 0);
  MemoryReader nanReader(nanKey);
  EXPECT_THROW(ReadSchematicNode(*NewSchematicRoot(), nanReader), IOException);

  std::string deep;
  for (int i = 0; i < 100000; ++i) {
    PutNode(deep, i & 1, i, 1);
    Put<double>(deep, i + 1.0);
  }
  PutNode(deep, 0, 0, 0);
  MemoryReader deepReader(deep);
  EXPECT_THROW(ReadSchematicNode(*NewSchematicRoot(), deepReader), IOException);
}

TEST(BinaryFileReader, OpenAndReadFailures) {
  try {
    FileReader missing("/nonexistent/tree.bin");
    FAIL() << "opened a missing file";
  } catch (const IOException& e) {
    EXPECT_EQ(e.message(), "can't open file (errno 2)");
  }
  char path[] = "/tmp/pfsolve_readerXXXXXX";
  const int fd = mkstemp(path);
  ASSERT_EQ(write(fd, "abcd", 4), 4);
  close(fd);
  FileReader reader(path);
  char buffer[8];
  reader.read(buffer, 0);
  reader.read(buffer, 3);
  EXPECT_EQ(reader.bytesRead, 3u);
  EXPECT_THROW(reader.read(buffer, 2), IOException);
  EXPECT_EQ(reader.bytesRead, 3u);
  remove(path);
}

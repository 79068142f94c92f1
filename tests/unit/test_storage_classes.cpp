// The storage classes: lock records and their file block, the flop unit and
// turn storage, the float and 16-bit river storages. Expected values are
// worked by hand (|d|^0.75 of perfect fourth powers, quotients of small
// counts) or come from a plain scalar statement of the rule in this file.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/binary_reader.h"
#include "core/cpu_info.h"
#include "game/deal_table.h"
#include "memory_io.h"
#include "storage/float_rows.h"
#include "storage/river_storage.h"
#include "storage/storage_unit.h"

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

// Per-hand arrays that release their blocks; CountOnly has a count but no block.
struct Rows {
  std::vector<AlignedArray> v;
  Rows(std::initializer_list<std::vector<double>> rows) {
    for (const auto& row : rows) {
      AlignedArray a;
      ResizeAlignedArray(a, static_cast<uint32_t>(row.size()));
      std::copy(row.begin(), row.end(), a.data);
      v.push_back(a);
    }
  }
  static Rows CountOnly(uint32_t count) {
    Rows r{};
    r.v.push_back(AlignedArray{nullptr, count});
    return r;
  }
  Rows(Rows&& other) noexcept : v(std::move(other.v)) { other.v.clear(); }
  Rows(const Rows&) = delete;
  ~Rows() { ReleaseRows(v); }
  const AlignedArray& operator[](size_t i) const { return v[i]; }
};

std::vector<float> UnitRow(const StorageUnit& unit, int action) {
  const float* p = unit.RowData(action);
  return p ? std::vector<float>(p, p + unit.HandCount()) : std::vector<float>();
}

template <typename T>
std::vector<double> Span(const T* p, int n) {
  return std::vector<double>(p, p + n);
}

std::string LockBlock(uint32_t flags, int16_t length, std::vector<int16_t> runs) {
  std::string out;
  Put<uint32_t>(out, flags);
  Put<int16_t>(out, length);
  Put<int16_t>(out, static_cast<int16_t>(runs.size()));
  for (int16_t r : runs) Put<int16_t>(out, r);
  return out;
}

std::vector<int> MaskOf(const NodeRecord& record) {
  return std::vector<int>(record.mask, record.mask + record.maskLength);
}

// The float regret rule of one hand, stated directly.
float ReferenceRegret(float stored, double x, double y) {
  const float d = static_cast<float>(y - x);
  const float a = std::fabs(d);
  const float c = a < FLT_MIN ? 0.0f : std::sqrt(a) * std::sqrt(std::sqrt(a));
  const float r = stored + (d >= 0 ? c : -c);
  return r >= FLT_MIN ? r : 0.0f;
}

}  // namespace

// --- NodeRecord and its file block ---------------------------------------------------------

TEST(StorageNodeRecord, BlocksLoadSaveAndRefuseBadLengths) {
  NodeRecord record;
  MemoryReader a(LockBlock(3, 5, {0, 2, 3}));
  LoadNodeRecord(record, a);
  EXPECT_EQ(record.flags, 3u);
  EXPECT_EQ(MaskOf(record), (std::vector<int>{1, 1, 0, 0, 0}));
  MemoryReader b(LockBlock(2, 5, {2, 3}));
  LoadNodeRecord(record, b);
  EXPECT_EQ(MaskOf(record), (std::vector<int>{0, 0, 1, 1, 1}));
  // Runs past the mask are cut; later runs are read so the next record follows.
  std::string cut = LockBlock(2, 3, {1, 9, 4});
  Put<uint32_t>(cut, 0xABCD);
  MemoryReader c(cut);
  LoadNodeRecord(record, c);
  EXPECT_EQ(MaskOf(record), (std::vector<int>{0, 1, 1}));
  EXPECT_EQ(ReadValue<uint32_t>(c), 0xABCDu);
  // A longer mask replaces a shorter one; without bit 1 no mask is kept.
  MemoryReader d(LockBlock(2, 600, {599, 1}));
  LoadNodeRecord(record, d);
  ASSERT_EQ(record.maskLength, 600);
  EXPECT_EQ(record.mask[598] + 2 * record.mask[599], 2);
  std::string plain;
  Put<uint32_t>(plain, 1);
  MemoryReader e(plain);
  LoadNodeRecord(record, e);
  EXPECT_EQ(record.flags, 1u);
  EXPECT_EQ(record.mask, nullptr);

  // Saved runs: all zeros is one run, all ones the runs 0 and the length.
  const uint8_t zeros[4] = {0, 0, 0, 0}, ones[3] = {1, 1, 1}, mixed[7] = {1, 0, 0, 1, 1, 1, 0};
  const std::pair<const uint8_t*, int> masks[] = {{zeros, 4}, {ones, 3}, {mixed, 7}};
  const std::string expected[] = {LockBlock(2, 4, {4}), LockBlock(0x12, 3, {0, 3}),
                                  LockBlock(0x12, 7, {0, 1, 2, 3, 1})};
  for (int i = 0; i < 3; ++i) {
    NodeRecord saved;
    saved.flags = i ? 0x10 : 0;  // other bits are carried
    saved.SetMask(masks[i].first, masks[i].second);
    MemoryWriter writer;
    SaveNodeRecord(saved, writer);
    EXPECT_EQ(writer.bytes, expected[i]);
    NodeRecord back;
    MemoryReader reader(writer.bytes);
    LoadNodeRecord(back, reader);
    EXPECT_EQ(back.flags, saved.flags);
    EXPECT_EQ(MaskOf(back), MaskOf(saved));
  }

  std::string negativeRuns;
  Put<uint32_t>(negativeRuns, 2);
  Put<int16_t>(negativeRuns, 4);
  Put<int16_t>(negativeRuns, -3);
  std::string truncated = LockBlock(2, 4, {0, 4});
  truncated.pop_back();
  for (const std::string& bad : {LockBlock(2, -1, {}), LockBlock(2, 4, {1, 2}), negativeRuns, truncated}) {
    MemoryReader reader(bad);
    EXPECT_THROW(LoadNodeRecord(record, reader), IOException);
  }
}

// --- StorageUnit and TurnStorage -------------------------------------------------------------

TEST(StorageUnitRows, UnpreparedUnitWritesAndMissingArrays) {
  StorageUnit unit(2, 9);
  Rows x = Rows::CountOnly(9), y({std::vector<double>(9, 16.0), std::vector<double>(9, 16.0)});
  const float defaults[2] = {0.5f, 0.5f};
  std::vector<AlignedArray> out;
  unit.ReadRow(-1, -1, defaults, out);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].count + out[1].count, 0u);
  unit.UpdateRow(-1, -1, x[0], y.v, nullptr, nullptr, 1.0);
  unit.AccumulateRow(-1, -1, y.v, y[0], 1.0);
  EXPECT_EQ(unit.ElementCount(-1), 0);

  // A write prepares the unit and keeps the row length: negative and NaN
  // store 0, values past the row are dropped, a shorter array leaves zeros.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  Rows w({{-1, nan, 2.5, -0.0, 1e300, 3, 4, 5, 6, 7, 8}, {1, 2}});
  unit.WriteRow(-1, -1, 0, w[0]);
  EXPECT_EQ(unit.ElementCount(-1), 18);
  const std::vector<float> row = UnitRow(unit, 0);
  EXPECT_EQ(std::vector<float>(row.begin(), row.begin() + 3), (std::vector<float>{0, 0, 2.5f}));
  EXPECT_FALSE(std::signbit(row[3]));
  EXPECT_TRUE(std::isinf(row[4]));
  EXPECT_EQ(row[8], 6.0f);
  unit.WriteRow(-1, -1, 1, w[1]);
  EXPECT_EQ(UnitRow(unit, 1), (std::vector<float>{1, 2, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(unit.Prepare());  // a second Prepare keeps what is stored
  EXPECT_EQ(UnitRow(unit, 1)[1], 2.0f);

  // Node values without a block read as zeros: d = y.
  unit.UpdateRow(-1, -1, x[0], y.v, nullptr, nullptr, 1.0);
  EXPECT_EQ(UnitRow(unit, 1), (std::vector<float>{9, 10, 8, 8, 8, 8, 8, 8, 8}));
  unit.WriteRow(-1, -1, 1, x[0]);
  EXPECT_EQ(UnitRow(unit, 1), std::vector<float>(9, 0.0f));
  ReleaseRows(out);
}

TEST(StorageUnitRows, OneStepRegretUpdateAndAccumulationByHand) {
  // Hands 0..7 run in the eight-wide loop, hands 8..10 in the remainder.
  StorageUnit unit(2, 11);
  ASSERT_TRUE(unit.Prepare());
  Rows stored({{5, 5, 0, 0.5, 2, 4, 4, 4, 5, 0, 1}});
  unit.WriteRow(-1, -1, 0, stored[0]);
  Rows x({{0, 0, 0, 0, 10, 0, 0, 0, 0, 1, 0}});
  Rows y({{16, -16, 81, 0.0625, 11, 16, 16, 0, -1, 0, 1e-40}, {-16, 16, 0, 0, 10, 0, 0, 0, 16, 17, 0}});
  // Hand 6 is locked; hand 10 lies past the mask and is free.
  const uint8_t mask[10] = {0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
  unit.GetNodeRecord(-1, -1)->SetMask(mask, 10);
  unit.UpdateRow(-1, -1, x[0], y.v, nullptr, nullptr, 1.0);
  // 16^0.75 = 8, 81^0.75 = 27, 0.0625^0.75 = 0.125, 1^0.75 = 1; a loss larger
  // than the regret leaves 0; a difference below FLT_MIN adds nothing.
  EXPECT_EQ(UnitRow(unit, 0), (std::vector<float>{13, 0, 27, 0.625f, 3, 12, 4, 4, 4, 0, 1}));
  EXPECT_EQ(UnitRow(unit, 1), (std::vector<float>{0, 8, 0, 0, 0, 0, 0, 0, 8, 8, 0}));

  Rows strategy({{0.25, 1, 0, 0.5, 0.5, 0.5, 0.5, 0.5, 0.75, 1, 1}, {0.75, 0, 1, 0.5, 0.5, 0.5, 0.5, 0.5, 0.25, 0, 0}});
  Rows reach({{4, 1, 2, 0, 1, 1, 1, 1, 8, 1, 1}});
  unit.AccumulateRow(-1, -1, strategy.v, reach[0], 2.0);
  EXPECT_EQ(UnitRow(unit, 0), (std::vector<float>{15, 2, 27, 0.625f, 4, 13, 4, 5, 16, 2, 3}));
  EXPECT_EQ(UnitRow(unit, 1), (std::vector<float>{6, 8, 4, 0, 1, 1, 0, 1, 12, 8, 0}));
  // Weight 0, a negative weight and a reach without a block change nothing;
  // a shorter reach stops the accumulation at its end.
  Rows none = Rows::CountOnly(11), shortReach({{1, 1}});
  unit.AccumulateRow(-1, -1, strategy.v, reach[0], 0.0);
  unit.AccumulateRow(-1, -1, strategy.v, reach[0], -1.0);
  unit.AccumulateRow(-1, -1, strategy.v, none[0], 1.0);
  unit.AccumulateRow(-1, -1, strategy.v, shortReach[0], 4.0);
  EXPECT_EQ(UnitRow(unit, 0), (std::vector<float>{16, 6, 27, 0.625f, 4, 13, 4, 5, 16, 2, 3}));
}

TEST(StorageUnitRows, ProbabilityRuleWithDefaults) {
  for (int actions : {1, 2, 4}) {
    StorageUnit unit(actions, 10);
    ASSERT_TRUE(unit.Prepare());
    // Hand 0 holds 3 and 1 (then zeros), hand 1 nothing, hand 9 only the last action.
    Rows first({{3, 0, 0, 0, 0, 0, 0, 0, 0, 0}}), second({{1, 0, 0, 0, 0, 0, 0, 0, 0, 0}}),
        last({{0, 0, 0, 0, 0, 0, 0, 0, 0, 2}});
    unit.WriteRow(-1, -1, 0, first[0]);
    if (actions > 1) unit.WriteRow(-1, -1, 1, second[0]);
    if (actions > 2) unit.WriteRow(-1, -1, actions - 1, last[0]);
    const float defaults[4] = {0.1f, 0.2f, 0.3f, 0.4f};
    std::vector<AlignedArray> out;
    unit.ReadRow(-1, -1, defaults, out);
    ASSERT_EQ(out.size(), static_cast<size_t>(actions));
    EXPECT_FLOAT_EQ(out[0].data[0], actions == 1 ? 1.0 : 0.75);
    if (actions > 1) {
      EXPECT_FLOAT_EQ(out[1].data[0], 0.25);
    }
    for (int a = 0; a < actions; ++a) EXPECT_EQ(out[a].data[1], static_cast<double>(defaults[a]));
    if (actions > 2) {
      EXPECT_EQ(out[3].data[9], 1.0);
      EXPECT_EQ(out[0].data[9], 0.0);
    }
    // The caller's arrays are reused: a second read keeps the blocks.
    const double* block = out[0].data;
    unit.ReadRow(-1, -1, defaults, out);
    EXPECT_EQ(out[0].data, block);
    ReleaseRows(out);
  }
}

TEST(StorageUnitRows, SaveAndLoadRestoreUnitsAndTurnStorages) {
  TurnStorage storage(3, {6, 2, 0});
  EXPECT_EQ(storage.ElementCount(-1), 0);
  ASSERT_TRUE(storage.Prepare());
  EXPECT_EQ(storage.ElementCount(1), 3 * 6 + 3 * 2);
  EXPECT_EQ(storage.EntryCount(1, -1), 2);
  Rows values({{1.5, 0, 2, 3, 4, 5}, {0, 0, 0, 0, 0, 0.125}, {7, 8}});
  storage.WriteRow(0, -1, 0, values[0]);
  storage.WriteRow(0, -1, 2, values[1]);
  storage.WriteRow(1, -1, 1, values[2]);
  const uint8_t mask[6] = {0, 1, 1, 0, 0, 1};
  storage.GetNodeRecord(0, 9)->flags |= kNodeLocked;
  storage.GetNodeRecord(0, 9)->SetMask(mask, 6);
  EXPECT_NE(storage.GetNodeRecord(0, -1), storage.GetNodeRecord(1, -1));
  EXPECT_EQ(UnitRow(storage.Unit(1), 0), (std::vector<float>{0, 0}));  // units are apart

  MemoryWriter writer;
  storage.Save(writer);
  // Unit 0: flags, length, run count, runs 1 2 2 1, 3 rows of 6 floats; unit 1:
  // flags, 3 rows of 2 floats; unit 2: flags only.
  EXPECT_EQ(writer.bytes.size(), (16u + 72u) + (4u + 24u) + 4u);
  TurnStorage back(3, {6, 2, 0});  // not prepared: the load prepares it
  MemoryReader reader(writer.bytes);
  back.Load(reader);
  EXPECT_EQ(reader.Remaining(), 0u);
  for (int t = 0; t < 2; ++t)
    for (int a = 0; a < 3; ++a) EXPECT_EQ(UnitRow(back.Unit(t), a), UnitRow(storage.Unit(t), a));
  EXPECT_EQ(back.GetNodeRecord(0, -1)->flags, kNodeLocked | kNodeComboLocked);
  EXPECT_EQ(MaskOf(*back.GetNodeRecord(0, -1)), (std::vector<int>{0, 1, 1, 0, 0, 1}));
  EXPECT_EQ(back.GetNodeRecord(1, -1)->mask, nullptr);

  // A cut file is the reader's error; loaded negative values read 0, and
  // values no solve stores (NaN, infinite, above the stored bound) are the
  // reader's error too.
  TurnStorage cut(3, {6, 2, 0});
  MemoryReader shortReader(writer.bytes.substr(0, writer.bytes.size() - 9));
  EXPECT_THROW(cut.Load(shortReader), IOException);
  auto row = [](float middle) {
    std::string bytes;
    Put<uint32_t>(bytes, 0);
    for (float v : {-2.0f, middle, 3.0f}) Put<float>(bytes, v);
    return bytes;
  };
  StorageUnit unit(1, 3);
  MemoryReader dirty(row(-0.5f));
  unit.Load(dirty);
  EXPECT_EQ(UnitRow(unit, 0), (std::vector<float>{0, 0, 3}));
  for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(), 1e31f}) {
    MemoryReader reader(row(bad));
    EXPECT_THROW(unit.Load(reader), IOException) << bad;
  }

  // Zero weight never reaches a unit, not even one that does not exist.
  storage.AccumulateRow(7, -1, values.v, values[0], 0.0);
}

// --- River storages --------------------------------------------------------------------------

namespace {
// Two turn cards: the first with river boards of 5 and 8 hands, the second
// with one of 3 hands.
struct SmallLayout {
  StorageLayout layout;
  explicit SmallLayout(int actions, std::vector<std::vector<uint32_t>> counts = {{5, 8}, {3}}) {
    EXPECT_TRUE(BuildFlatIndex(layout, actions, counts));
  }
};
}  // namespace

TEST(StorageRiverRows, AddressingAndUnpreparedStorages) {
  SmallLayout small(3);
  RiverStorage floats(&small.layout);
  ShortRiverStorage counts(&small.layout);
  // Unpadded (5 + 8 + 3) * 3 elements; the buffer holds (8 + 8 + 4) * 3.
  EXPECT_EQ(floats.ElementCount(-1), 48);
  EXPECT_EQ(counts.ElementCount(1), 48);
  EXPECT_EQ(small.layout.paddedElementTotal, 60u);
  EXPECT_EQ(floats.EntryCount(0, 1), 8);
  EXPECT_NE(floats.GetNodeRecord(0, 1), floats.GetNodeRecord(1, 0));

  // Before Prepare: defaults for every hand, updates ignored.
  const float defaults[3] = {0.25f, 0.5f, 0.25f};
  Rows x({std::vector<double>(8, 0.0)}), y({std::vector<double>(8, 5.0), std::vector<double>(8, 5.0)});
  for (StorageInterface* storage : {static_cast<StorageInterface*>(&floats), static_cast<StorageInterface*>(&counts)}) {
    std::vector<AlignedArray> out;
    storage->ReadRow(0, 1, defaults, out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(Span(out[1].data, out[1].count), std::vector<double>(8, 0.5));
    storage->UpdateRow(0, 1, x[0], y.v, nullptr, nullptr, 1.0);
    storage->AccumulateRow(0, 1, y.v, x[0], 1.0);
    ReleaseRows(out);
  }
  EXPECT_FALSE(floats.HasBuffer());

  // A write prepares. An entry of 5 hands and 3 actions takes 24 elements and
  // its action-2 row starts at +16; the padding is never written.
  Rows w({{1, 2, 3, 4, 5}, {1, 1, 1, 7, 7}});
  floats.WriteRow(0, 0, 2, w[0]);
  floats.WriteRow(1, 0, 0, w[1]);
  const float* base = floats.RowData(0, 0, 0);
  EXPECT_EQ(floats.RowData(0, 0, 2) - base, 16);
  EXPECT_EQ(floats.RowData(0, 1, 0) - base, 24);
  EXPECT_EQ(Span(base + 16, 8), (std::vector<double>{1, 2, 3, 4, 5, 0, 0, 0}));
  EXPECT_EQ(Span(floats.RowData(1, 0, 0), 4), (std::vector<double>{1, 1, 1, 0}));
  EXPECT_TRUE(floats.Prepare());  // a second call keeps the buffer
  EXPECT_EQ(floats.RowData(0, 0, 0), base);
}

TEST(StorageRiverRows, FloatRiverUpdateAccumulateAndRead) {
  SmallLayout small(3);
  RiverStorage storage(&small.layout);
  ASSERT_TRUE(storage.Prepare());
  Rows start({std::vector<double>(8, 5.0)});
  storage.WriteRow(0, 1, 0, start[0]);
  const uint8_t mask[8] = {0, 0, 0, 1, 0, 0, 0, 0};
  storage.GetNodeRecord(0, 1)->SetMask(mask, 8);
  Rows x({{0, 0, 0, 0, 1, 0, 0, 0}});
  Rows y({{16, -16, 81, 16, 2, 1, 0, 0}, std::vector<double>(8, 1.0), std::vector<double>(8, 0.0)});
  storage.UpdateRow(0, 1, x[0], y.v, nullptr, nullptr, 1.0);
  EXPECT_EQ(Span(storage.RowData(0, 1, 0), 8), (std::vector<double>{13, 0, 32, 5, 6, 6, 5, 5}));
  EXPECT_EQ(Span(storage.RowData(0, 1, 1), 8), (std::vector<double>{1, 1, 1, 0, 0, 1, 1, 1}));
  EXPECT_EQ(storage.RowData(0, 0, 0)[0], 0.0f);  // other entries untouched

  Rows strategy({std::vector<double>(8, 0.5), std::vector<double>(8, 0.0), std::vector<double>(8, 1.0)});
  Rows reach({std::vector<double>(8, 2.0)});
  storage.AccumulateRow(0, 1, strategy.v, reach[0], 3.0);
  storage.AccumulateRow(0, 1, strategy.v, reach[0], 0.0);
  EXPECT_EQ(Span(storage.RowData(0, 1, 0), 8), (std::vector<double>{16, 3, 35, 5, 9, 9, 8, 8}));

  const float defaults[3] = {0.5f, 0.25f, 0.25f};
  std::vector<AlignedArray> out;
  storage.ReadRow(0, 1, defaults, out);
  // Hand 1 holds 3, 1 and 6.
  EXPECT_FLOAT_EQ(out[0].data[1], 0.3f);
  EXPECT_FLOAT_EQ(out[2].data[1], 0.6f);
  ReleaseRows(out);

  // Five actions go through the totals row.
  SmallLayout five(5, {{9}});
  RiverStorage wide(&five.layout);
  for (int a = 0; a < 5; ++a) {
    Rows row({{static_cast<double>(a), 0, 0, 0, 0, 0, 0, 0, 1}});
    wide.WriteRow(0, 0, a, row[0]);
  }
  const float even[5] = {0.2f, 0.2f, 0.2f, 0.2f, 0.2f};
  wide.ReadRow(0, 0, even, out);
  EXPECT_FLOAT_EQ(out[4].data[0], 0.4f);
  EXPECT_EQ(out[3].data[1], static_cast<double>(0.2f));
  EXPECT_EQ(out[2].data[8], static_cast<double>(0.2f));
  ReleaseRows(out);
}

TEST(StorageRiverRows, ShortRiverCountsUpdateAndRead) {
  SmallLayout small(2, {{10}});
  ShortRiverStorage storage(&small.layout);
  ASSERT_TRUE(storage.Prepare());
  Rows w({{3.99, -0.5, 65535.7, 70000, std::numeric_limits<double>::quiet_NaN(), 3, 0, 5, 5, 5},
          {1, 1, 0, 0, 0, 1, 0, 0, 0, 0}});
  storage.WriteRow(0, 0, 0, w[0]);
  storage.WriteRow(0, 0, 1, w[1]);
  EXPECT_EQ(Span(storage.RowData(0, 0, 0), 10), (std::vector<double>{3, 0, 65535, 65535, 0, 3, 0, 5, 5, 5}));
  const float defaults[2] = {0.5f, 0.5f};
  std::vector<AlignedArray> out;
  storage.ReadRow(0, 0, defaults, out);
  EXPECT_FLOAT_EQ(out[0].data[5], 0.75);
  EXPECT_FLOAT_EQ(out[1].data[1], 1.0);
  EXPECT_EQ(out[0].data[6], 0.5);

  // scale 1: +16 adds 8, +81 adds 27, -16 from 5 leaves 0, 0.5 is below one
  // unit; the locked hand 8 stays. Accumulation leaves counts alone.
  const uint8_t mask[10] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 0};
  storage.GetNodeRecord(0, 0)->SetMask(mask, 10);
  Rows x({std::vector<double>(10, 0.0)}), y({{16, 81, 0, 0, 0, 0, 0, -16, -16, 0.5}, std::vector<double>(10, 0.0)});
  storage.UpdateRow(0, 0, x[0], y.v, nullptr, nullptr, 1.0);
  storage.AccumulateRow(0, 0, y.v, x[0], 1.0);
  EXPECT_EQ(Span(storage.RowData(0, 0, 0), 10), (std::vector<double>{11, 27, 65535, 65535, 0, 3, 0, 0, 5, 5}));

  // Four actions over 1500 hands: the 1082-entry totals row goes in chunks.
  SmallLayout big(4, {{1500}});
  ShortRiverStorage wide(&big.layout);
  std::vector<double> a0(1500, 0.0), a3(1500, 0.0);
  a0[0] = a0[1400] = 1;
  a3[0] = a3[1400] = 3;
  Rows rows({a0, a3});
  wide.WriteRow(0, 0, 0, rows[0]);
  wide.WriteRow(0, 0, 3, rows[1]);
  const float four[4] = {0.1f, 0.2f, 0.3f, 0.4f};
  wide.ReadRow(0, 0, four, out);
  ASSERT_EQ(out[0].count, 1500u);
  EXPECT_FLOAT_EQ(out[3].data[0], 0.75);
  EXPECT_FLOAT_EQ(out[0].data[1400], 0.25);
  EXPECT_EQ(out[1].data[1400], 0.0);
  EXPECT_EQ(out[2].data[1499], static_cast<double>(0.3f));
  ReleaseRows(out);
}

TEST(StorageRiverLoad, RawAndPackedRowsAndCorruptLengths) {
  // V = 3: raw u16 rows of entries with 3 and 2 hands.
  SmallLayout two(2, {{3}, {2}});
  std::string raw;
  Put<uint64_t>(raw, 0);  // two plain lock records
  for (uint16_t v : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}) Put<uint16_t>(raw, v);
  ShortRiverStorage rawStorage(&two.layout);
  MemoryReader rawReader(raw, 3);
  rawStorage.Load(rawReader);
  EXPECT_EQ(rawReader.Remaining(), 0u);
  EXPECT_EQ(Span(rawStorage.RowData(0, 0, 1), 3), (std::vector<double>{4, 5, 6}));
  EXPECT_EQ(Span(rawStorage.RowData(1, 0, 1), 2), (std::vector<double>{9, 10}));

  // V >= 4: packed rows after a lock record of 10 hands (0 x 8, 1 x 2).
  SmallLayout ten(2, {{10}});
  std::string packed = LockBlock(3, 10, {8, 2});
  const std::string first = Bytes({0x01, 9, 8, 7, 6, 5, 4, 3, 2, 0x03, 0x2C, 0x01, 0x01, 0x00});
  const std::string zeros = Bytes({0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0, 0});
  for (const std::string& row : {first, zeros}) {
    Put<int16_t>(packed, static_cast<int16_t>(row.size()));
    packed += row;
  }
  for (int version : {4, 7}) {
    ShortRiverStorage storage(&ten.layout);
    ASSERT_TRUE(storage.Prepare());
    Rows fours({std::vector<double>(10, 4.0)});
    storage.WriteRow(0, 0, 1, fours[0]);
    MemoryReader reader(packed, version);
    storage.Load(reader);
    EXPECT_EQ(reader.Remaining(), 0u);
    EXPECT_EQ(Span(storage.RowData(0, 0, 0), 10), (std::vector<double>{9, 8, 7, 6, 5, 4, 3, 2, 300, 1}));
    EXPECT_EQ(Span(storage.RowData(0, 0, 1), 10), std::vector<double>(10, 0.0));
    EXPECT_EQ(MaskOf(*storage.GetNodeRecord(0, 0)), (std::vector<int>{0, 0, 0, 0, 0, 0, 0, 0, 1, 1}));
  }

  // Lengths above 4096 or negative, and rows that need more bytes than given.
  SmallLayout one(1, {{10}});
  auto record = [](int16_t length, const std::string& payload) {
    std::string bytes(4, '\0');
    Put<int16_t>(bytes, length);
    return bytes + payload;
  };
  const std::string corrupt[] = {record(5000, std::string(5000, '\0')), record(-2, zeros),
                                 record(6, zeros.substr(0, 6)),
                                 record(12, Bytes({0x03, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6}))};
  for (const std::string& bytes : corrupt) {
    ShortRiverStorage storage(&one.layout);
    MemoryReader reader(bytes, 4);
    EXPECT_THROW(storage.Load(reader), IOException);
  }

  // Float rows are raw in every version; negative values read as 0, NaN and
  // infinities are refused.
  SmallLayout floatLayout(2, {{3}});
  std::string floats(4, '\0');
  for (float v : {1.0f, -1.0f, 2.0f, -0.0f, 0.5f, 4.0f}) Put<float>(floats, v);
  RiverStorage floatStorage(&floatLayout.layout);
  MemoryReader floatReader(floats, 5);
  floatStorage.Load(floatReader);
  EXPECT_EQ(Span(floatStorage.RowData(0, 0, 0), 3), (std::vector<double>{1, 0, 2}));
  EXPECT_EQ(Span(floatStorage.RowData(0, 0, 1), 3), (std::vector<double>{0, 0.5, 4}));
  MemoryWriter writer;
  floatStorage.Save(writer);
  EXPECT_TRUE(writer.bytes.empty());
  for (float bad : {std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::infinity()}) {
    std::string damaged = floats;
    memcpy(&damaged[4 + 4 * 4], &bad, 4);
    RiverStorage refused(&floatLayout.layout);
    MemoryReader reader(damaged, 5);
    EXPECT_THROW(refused.Load(reader), IOException) << bad;
  }
}

TEST(StorageRowsDeathTest, AddressesOutsideTheStorageFail) {
  StorageLayout layout;
  ASSERT_TRUE(BuildFlatIndex(layout, 2, {{5, 8}, {3}}));
  RiverStorage floats(&layout);
  ShortRiverStorage counts(&layout);
  TurnStorage turns(2, {3, 5});
  EXPECT_EXIT(floats.EntryCount(1, 1), ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(counts.WriteRow(2, 0, 0, AlignedArray()), ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(floats.GetNodeRecord(0, -1), ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(floats.WriteRow(0, 0, 2, AlignedArray()), ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(turns.EntryCount(2, -1), ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(turns.GetNodeRecord(-1, -1), ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(turns.WriteRow(0, -1, 2, AlignedArray()), ::testing::ExitedWithCode(1), "");
}

// --- Float row kernels --------------------------------------------------------------------

TEST(StorageFloatRowKernels, VariantsMatchTheScalarRule) {
  std::mt19937 rng(1234);
  std::uniform_real_distribution<double> value(-40.0, 40.0);
  for (int n : {1, 7, 8, 9, 31, 203}) {
    std::vector<double> x(n), y(n), s(n), r(n);
    std::vector<float> start(n), expectedUpdate(n), expectedSum(n);
    std::vector<uint8_t> mask(n);
    for (int i = 0; i < n; ++i) {
      x[i] = value(rng);
      y[i] = value(rng);
      s[i] = std::fabs(x[i]) / 40.0;
      r[i] = std::fabs(y[i]);
      start[i] = i % 5 == 0 ? 0.0f : static_cast<float>(std::fabs(value(rng)));
      mask[i] = i % 7 == 3;
      expectedUpdate[i] = mask[i] ? start[i] : ReferenceRegret(start[i], x[i], y[i]);
      expectedSum[i] = mask[i] ? start[i] : start[i] + static_cast<float>((2.5 * s[i]) * r[i]);
    }
    for (bool avx2 : {false, true}) {
      if (avx2 && !CpuSupportsAvx2Fma()) continue;
      std::vector<float> row = start, sum = start;
      std::vector<double> p(n);
      (avx2 ? kernels_avx2::FloatRegretUpdate : kernels_avx::FloatRegretUpdate)(row.data(), x.data(), y.data(),
                                                                                 mask.data(), n);
      (avx2 ? kernels_avx2::FloatSumAccumulate : kernels_avx::FloatSumAccumulate)(sum.data(), s.data(), r.data(),
                                                                                   mask.data(), n, 2.5);
      (avx2 ? kernels_avx2::FloatQuotients : kernels_avx::FloatQuotients)(p.data(), start.data(), row.data(), n,
                                                                           0.125f);
      EXPECT_EQ(row, expectedUpdate) << "n " << n << " avx2 " << avx2;
      EXPECT_EQ(sum, expectedSum) << "n " << n << " avx2 " << avx2;
      for (int i = 0; i < n; ++i)
        EXPECT_EQ(p[i], row[i] >= FLT_MIN ? static_cast<double>(start[i] / row[i]) : 0.125) << i;
    }
  }

  // The single-row entry: subnormal totals and hands past the totals give the
  // default; the write conversion stores no negative or NaN value.
  AlignedFloatArray totals;
  ResizeAlignedFloatArray(totals, 4);
  const float values[5] = {1, 0, 2, 3, 9}, sums[4] = {4, 0, 1e-39f, 3};
  memcpy(totals.data, sums, sizeof sums);
  AlignedArray out{nullptr, 5};
  FloatsToProbs(out, values, 5, totals, 0.5f);
  EXPECT_EQ(Span(out.data, 5), (std::vector<double>{0.25, 0.5, 0.5, 1.0, 0.5}));
  ReleaseAlignedArray(out);
  float dst[10];
  const double src[10] = {-1, 0.1, 1e40, -1e-50, 2, 3, 4, 5, 6, std::numeric_limits<double>::quiet_NaN()};
  StoreNonNegativeFloats(dst, src, 10);
  EXPECT_EQ((std::vector<float>{dst[0], dst[1], dst[3], dst[8], dst[9]}), (std::vector<float>{0, 0.1f, 0, 6, 0}));
  EXPECT_TRUE(std::isinf(dst[2]));
  EXPECT_FALSE(std::signbit(dst[3]));
}

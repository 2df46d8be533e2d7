// The per-round threshold pass of the string devices: group-voltage fallback, change detection
// against the previous record, the record update and the threshold requests with their labels.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "tests/test_support.h"

using namespace test;

namespace {

// A device on its own recording host.
template <typename Device>
struct Rig {
  explicit Rig(unsigned int data_id = 77) { host.Attach(dev, data_id); }
  Bytes Record() const { return Bytes(dev.RecordBytes(), dev.RecordBytes() + 152); }
  const std::vector<rule_value>& Requests() const { return host.listener.thresholds; }

  Host host;
  Device dev;
};

// 2.1f added 20 (32) times in single precision, in index order; a sum kept in double and rounded
// once would give 42.0 (67.2).
constexpr float kSumOf20 = 41.9999962f;
constexpr float kSumOf32 = 67.1999817f;

template <typename Device>
float GroupAfterFallback(float group_voltage, float* record_group) {
  Rig<Device> rig;
  // Cells 20..31 belong to a 32-cell string only; a 20-cell string leaves them out of the sum.
  for (int i = 0; i < 32; ++i) rig.dev.cells_[i] = i < rig.dev.cell_count_ ? 2.1f : 5.0f;
  rig.dev.group_voltage_ = group_voltage;
  rig.dev.RunCheckThreshold();
  *record_group = FloatAt(rig.Record(), 132);
  EXPECT_EQ(rig.Requests().at(0).key, "group_voltage");
  EXPECT_EQ(rig.Requests().at(0).value, rig.dev.group_voltage_);
  return rig.dev.group_voltage_;
}

}  // namespace

TEST(Threshold, GroupVoltageBelowFortyIsReplacedByTheCellSum) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    bool twenty_cells;
    float group_voltage;
    float expected;
  } const cases[] = {
      {true, 39.99f, kSumOf20},  {true, 40.0f, 40.0f},  {true, 0.0f, kSumOf20},
      {true, -3.0f, kSumOf20},   {true, nan, kSumOf20}, {true, 230.5f, 230.5f},
      {false, 39.99f, kSumOf32}, {false, 40.0f, 40.0f}, {false, nan, kSumOf32},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << (c.twenty_cells ? "Ondrell20 " : "Battery32 ") << c.group_voltage);
    float record = 0.0f;
    const float got = c.twenty_cells ? GroupAfterFallback<OpenOndrell20>(c.group_voltage, &record)
                                     : GroupAfterFallback<OpenBattery32>(c.group_voltage, &record);
    EXPECT_EQ(got, c.expected);
    EXPECT_EQ(record, c.expected);
  }
}

// The record holds the previous round; a change of 10 mV in the group or 50 mV in one of the
// string's cells sets the report flag. The difference is single precision, the limit double.
TEST(Threshold, ChangeDetectionAgainstThePreviousRecord) {
  struct Case {
    const char* what;
    float group_before, group_after;
    int cell;
    float cell_before, cell_after;
    bool flag_before;
    bool expected;
  } const cases[] = {
      {"group 100.00 -> 100.01 (0.0100021)", 100.0f, 100.01f, 0, 12.0f, 12.0f, false, true},
      {"group 250.00 -> 250.01 (0.0099945)", 250.0f, 250.01f, 0, 12.0f, 12.0f, false, false},
      {"group falls by 0.5", 250.0f, 249.5f, 0, 12.0f, 12.0f, false, true},
      {"cell 12.00 -> 12.05 (0.0500002)", 100.0f, 100.0f, 0, 12.0f, 12.05f, false, true},
      {"cell 2.00 -> 2.05 (0.0499999)", 100.0f, 100.0f, 0, 2.0f, 2.05f, false, false},
      {"cell 5 moved by 0.06", 100.0f, 100.0f, 5, 12.0f, 12.06f, false, true},
      {"cell 5 falls by 0.06", 100.0f, 100.0f, 5, 12.06f, 12.0f, false, true},
      {"last cell of the string", 100.0f, 100.0f, 19, 12.0f, 11.0f, false, true},
      {"cell 20 is not part of the string", 100.0f, 100.0f, 20, 12.0f, 13.0f, false, false},
      {"no change keeps an earlier flag", 100.0f, 100.0f, 0, 12.0f, 12.0f, true, true},
      {"no change", 100.0f, 100.0f, 0, 12.0f, 12.0f, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Rig<OpenOndrell20> rig;
    auto& dev = rig.dev;
    dev.group_voltage_ = c.group_before;
    dev.cells_[c.cell] = c.cell_before;
    dev.RunCheckThreshold();
    dev.report_flag_ = c.flag_before;
    dev.group_voltage_ = c.group_after;
    dev.cells_[c.cell] = c.cell_after;
    dev.RunCheckThreshold();
    EXPECT_EQ(dev.report_flag_, c.expected);
  }
}

// After construction the record is all zeros, so the first round reports whatever it measured.
TEST(Threshold, FirstRoundComparesWithTheZeroRecord) {
  struct Case {
    const char* what;
    float group_voltage;
    float cell0;
    bool expected;
  } const cases[] = {
      {"everything 0.0", 0.0f, 0.0f, false},
      {"group voltage 48", 48.0f, 0.0f, true},
      // 0.01f widened is 0.0099999998, just short of the limit.
      {"cell sum 0.01f", 0.0f, 0.01f, false},
      {"cell sum just above 0.01", 0.0f, std::nextafter(0.01f, 1.0f), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Rig<OpenOndrell20> rig;
    rig.dev.group_voltage_ = c.group_voltage;
    rig.dev.cells_[0] = c.cell0;
    rig.dev.RunCheckThreshold();
    EXPECT_EQ(rig.dev.report_flag_, c.expected);
  }
}

TEST(Threshold, RecordTakesTheRoundsValues) {
  Rig<OpenBattery32> rig(3000000000u);
  auto& dev = rig.dev;
  for (int i = 0; i < 32; ++i) dev.cells_[i] = 2.0f + 0.25f * static_cast<float>(i);
  dev.group_voltage_ = 52.5f;
  dev.group_current_ = -3.25f;
  dev.temperature_ = 25.0f;
  dev.retry_count_ = 2;
  std::memset(dev.data_.id, 0xFF, 4);
  dev.data_.reserved = 0xAA;
  for (int i = 0; i < 7; ++i) dev.data_.time_stamp[i] = static_cast<unsigned char>(0x31 + i);

  dev.RunCheckThreshold();

  const Bytes rec = rig.Record();
  EXPECT_EQ(Bytes(rec.begin(), rec.begin() + 4), (Bytes{0x00, 0x5E, 0xD0, 0xB2}));
  for (int i = 0; i < 32; ++i) EXPECT_EQ(FloatAt(rec, 4 + 4 * i), 2.0f + 0.25f * i) << i;
  EXPECT_EQ(Bytes(rec.begin() + 132, rec.begin() + 145),
            (Bytes{0x00, 0x00, 0x52, 0x42,     // 52.5
                   0x00, 0x00, 0x50, 0xC0,     // -3.25
                   0x00,                       // reserved
                   0x00, 0x00, 0xC8, 0x41}));  // 25.0 at the odd offset 141
  EXPECT_EQ(Bytes(rec.begin() + 145, rec.end()), (Bytes{0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37}));
  EXPECT_EQ(dev.retry_count_, 0);
}

// A restored record may carry values in cells 20..31; the 20-cell string never compares them and
// the first round overwrites them with the (never decoded) zeros.
TEST(Threshold, RestoredRecordOfTwentyCellsLosesCellsBeyondTwenty) {
  Bytes stored(152, 0);
  for (int i = 0; i < 32; ++i) {
    stored[4 + 4 * i + 2] = 0x40;  // 3.0f = 00 00 40 40
    stored[4 + 4 * i + 3] = 0x40;
  }
  stored[132 + 2] = 0x70;  // 60.0f = 00 00 70 42
  stored[132 + 3] = 0x42;
  stored[0] = 0x44;  // a foreign data id
  Rig<OpenOndrell20> rig(20);
  ASSERT_TRUE(rig.dev.LoadFromCache(stored.data(), 152));
  for (int i = 0; i < 20; ++i) rig.dev.cells_[i] = 3.0f;

  rig.dev.RunCheckThreshold();

  EXPECT_FALSE(rig.dev.report_flag_);
  const Bytes rec = rig.Record();
  EXPECT_EQ(U32At(rec, 0), 20u);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(FloatAt(rec, 4 + 4 * i), i < 20 ? 3.0f : 0.0f) << i;
  EXPECT_EQ(FloatAt(rec, 132), 60.0f);
}

TEST(Threshold, InvalidGroupVoltageSkipsOnlyItsRequest) {
  Rig<OpenOndrell20> rig;
  for (int i = 0; i < 20; ++i) rig.dev.cells_[i] = 2.1f;
  rig.dev.group_voltage_ = 0.0f;
  rig.dev.group_voltage_valid_ = false;
  rig.dev.group_current_ = 4.5f;
  rig.dev.RunCheckThreshold();

  EXPECT_EQ(FloatAt(rig.Record(), 132), kSumOf20);
  const auto& req = rig.Requests();
  ASSERT_EQ(req.size(), 22u);
  EXPECT_EQ(req[0].key, "group_current");
  EXPECT_EQ(req[0].value, 4.5f);
  EXPECT_EQ(req[1].key, "temperature");
  EXPECT_EQ(req[2].key, "battery_0_value");
  EXPECT_EQ(req[21].key, "battery_19_value");
}

TEST(Threshold, RequestsForTheWholeTwentyCellString) {
  Rig<OpenOndrell20> rig;
  auto& dev = rig.dev;
  for (int i = 0; i < 32; ++i) dev.cells_[i] = i < 20 ? 2.0f + 0.0625f * i : 9.0f;
  dev.group_voltage_ = 48.0f;
  dev.group_current_ = -1.5f;
  dev.temperature_ = 23.5f;
  dev.RunCheckThreshold();

  struct Expected {
    std::string key, label;
    float value;
    int index;
  };
  std::vector<Expected> expected = {{"group_voltage", "整组电压", 48.0f, 1},
                                    {"group_current", "电流", -1.5f, 1},
                                    {"temperature", "温度", 23.5f, 1}};
  for (int i = 0; i < 20; ++i) {
    expected.push_back({"battery_" + std::to_string(i) + "_value",
                        "第" + std::to_string(i + 1) + "节电池", 2.0f + 0.0625f * i, i + 1});
  }
  const auto& req = rig.Requests();
  ASSERT_EQ(req.size(), expected.size());
  for (std::size_t n = 0; n < expected.size(); ++n) {
    SCOPED_TRACE(expected[n].key);
    EXPECT_EQ(req[n].key, expected[n].key);
    EXPECT_EQ(req[n].label, expected[n].label);
    EXPECT_EQ(req[n].value, expected[n].value);
    EXPECT_EQ(req[n].index, expected[n].index);
  }
}

// Selected cells go in list order; entries outside the string are dropped silently.
TEST(Threshold, SelectedCellsInListOrder) {
  Rig<OpenOndrell20> rig;
  rig.dev.cells_[0] = 12.5f;
  rig.dev.cells_[3] = 13.25f;
  rig.dev.active_batteries_ = {3, 25, -1, 0, 20};
  rig.dev.RunCheckThreshold();

  const auto& req = rig.Requests();
  ASSERT_EQ(req.size(), 5u);
  EXPECT_EQ(req[3].key, "battery_3_value");
  EXPECT_EQ(req[3].label, "第4节电池");
  EXPECT_EQ(req[3].value, 13.25f);
  EXPECT_EQ(req[3].index, 4);
  EXPECT_EQ(req[4].key, "battery_0_value");
  EXPECT_EQ(req[4].label, "第1节电池");
  EXPECT_EQ(req[4].value, 12.5f);
  EXPECT_EQ(req[4].index, 1);
}

// The label numbers the cell from battery_start_ + 1 (worked out in 64 bits); the key and the
// index keep the cell's own position.
TEST(Threshold, LabelsFollowTheNumberingOffset) {
  struct Case {
    int start;
    int cell;
    const char* label;
  } const cases[] = {
      {0, 19, "第20节电池"},
      {17, 0, "第18节电池"},
      {17, 19, "第37节电池"},
      {-1, 0, "第0节电池"},
      {-5, 0, "第-4节电池"},
      {INT_MAX, 0, "第2147483648节电池"},
      {INT_MAX, 19, "第2147483667节电池"},
      {INT_MIN, 0, "第-2147483647节电池"},
      {INT_MIN, 19, "第-2147483628节电池"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Rig<OpenOndrell20> rig;
    rig.dev.battery_start_ = c.start;
    rig.dev.active_batteries_ = {c.cell};
    rig.dev.RunCheckThreshold();
    ASSERT_EQ(rig.Requests().size(), 4u);
    EXPECT_EQ(rig.Requests()[3].key, "battery_" + std::to_string(c.cell) + "_value");
    EXPECT_EQ(rig.Requests()[3].label, c.label);
    EXPECT_EQ(rig.Requests()[3].index, c.cell + 1);
  }
}

// A module that does not measure the group voltage (reply 0): the completed round stores and
// reports the sum of the decoded cells.
TEST(Threshold, PollRoundUsesTheCellSumWhenTheModuleSendsNoGroupVoltage) {
  Rig<OpenOndrell20> rig;
  auto& dev = rig.dev;
  dev.InitSetting(Json::Value(Json::objectValue));
  testing::internal::CaptureStdout();
  dev.RefreshStatus();
  Bytes cells = CellFrame(0x01, Readings(1225));  // 12.25 V each
  dev.process(cells.data(), static_cast<unsigned>(cells.size()));
  for (std::uint16_t raw : {0, 15, 2500}) {  // group voltage 0, current 1.5 A, 25.0 degrees
    Bytes reply = ShortReply(0x01, raw);
    dev.process(reply.data(), static_cast<unsigned>(reply.size()));
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "rvSize is 23\n");

  EXPECT_EQ(dev.group_voltage_, 245.0f);
  ASSERT_EQ(rig.host.listener.history.size(), 1u);
  EXPECT_EQ(FloatAt(rig.host.listener.history[0], 132), 245.0f);
  EXPECT_EQ(FloatAt(rig.host.listener.history[0], 4 + 4 * 19), 12.25f);
  ASSERT_EQ(rig.Requests().size(), 23u);
  EXPECT_EQ(rig.Requests()[0].value, 245.0f);
  EXPECT_TRUE(dev.report_flag_);
}

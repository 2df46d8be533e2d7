// One round of a string as every output reads it: the record's values, which cells are readings
// and which lie outside the window, the cell numbers, the lowest, highest and spread; and the
// text of every float the host writes.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "battery_host/outputs/float_text.h"
#include "battery_host/outputs/json_text.h"
#include "battery_host/outputs/string_round.h"

namespace {

using outputs::StringRound;

// The second group of the shipped site: 20 cells numbered from battery_start 20, 12 V blocks.
// Cell k (from 0) read raw 1300 + 5k, i.e. 13.00 V .. 13.95 V; the block at position 15 (第36节电池)
// read outside the window and was stored as 0.0. The group voltage 255.5 V is the module's
// 120.25 V plus the peer's 135.25 V.
outputs::DeviceInfo SecondGroup() {
  outputs::DeviceInfo d;
  d.data_id = 2;
  d.name = "Rack A, string 2";
  d.cells = 20;
  d.battery_start = 20;
  d.battery_type = 12;
  d.group_voltage_peers = {1};
  return d;
}

StringRecord FixedRound() {
  StringRecord r;
  r.id = 2;
  for (int k = 0; k < 20; ++k) r.cells[k] = static_cast<float>(1300 + 5 * k) / 100.0f;
  r.cells[15] = 0.0f;
  r.group_voltage = 255.5f;
  r.group_current = -2.5f;
  r.temperature = 25.3f;
  return r;
}

}  // namespace

TEST(StringRound, OneCellOutOfWindowIsNoReadingAndTheCellsAreNumberedFromBatteryStart) {
  const StringRound r = outputs::MakeStringRound(SecondGroup(), FixedRound());
  ASSERT_EQ(r.cells.size(), 20u);
  EXPECT_EQ(r.name, "Rack A, string 2");
  EXPECT_EQ(r.cells[0].number, 21);
  EXPECT_EQ(r.cells[19].number, 40);
  EXPECT_EQ(r.cells[15].number, 36);
  EXPECT_FALSE(r.cells[15].reading);
  EXPECT_EQ(r.cells[15].stored, 0.0f);  // as stored, not replaced
  EXPECT_TRUE(r.cells[14].reading);
  EXPECT_EQ(r.readings, 19);
  EXPECT_EQ(r.out_of_window, 1);
  EXPECT_EQ(r.lowest, 0);    // 13.00 V, not the 0.0 of position 15
  EXPECT_EQ(r.highest, 19);  // 13.95 V
  EXPECT_EQ(r.spread_mv, 950);
  EXPECT_FALSE(r.group_is_cell_sum);
  EXPECT_TRUE(r.group_with_peers);
  EXPECT_EQ(outputs::WindowText(r.window), "9.0\u201315.0 V");
  EXPECT_EQ(outputs::OutOfWindowText(outputs::CellLabel(36), outputs::CellKey(15), r.window),
            "第36节电池 (battery_15_value) outside 9.0\u201315.0 V");
}

TEST(StringRound, WindowBoundsBelongToIt_SixVoltBlocks_CellSumAndNoReadings) {
  outputs::DeviceInfo six = SecondGroup();
  six.battery_type = 6;
  six.battery_start = 0;
  six.group_voltage_peers.clear();
  StringRecord r{};
  for (int k = 0; k < 20; ++k) r.cells[k] = 6.25f;
  r.cells[0] = 4.5f;   // both bounds are inside
  r.cells[1] = 7.5f;
  r.cells[2] = 0.0f;   // stored for a reading outside
  r.cells[3] = 9.0f;   // a 12 V block's value is outside the 6 V window
  r.group_voltage = 4.5f + 7.5f + 6.25f * 16;  // 112.0: the device's sum, exact in binary
  const StringRound s = outputs::MakeStringRound(six, r);
  EXPECT_EQ(outputs::WindowText(s.window), "4.5\u20137.5 V");
  EXPECT_EQ(s.cells[0].number, 1);
  EXPECT_EQ(s.readings, 18);
  EXPECT_EQ(s.out_of_window, 2);
  EXPECT_EQ(s.cells[s.lowest].stored, 4.5f);
  EXPECT_EQ(s.cells[s.highest].stored, 7.5f);
  EXPECT_EQ(s.spread_mv, 3000);
  EXPECT_FALSE(s.group_is_cell_sum);  // 9.0 is in the device's sum: 121.0, not 112.0

  r.group_voltage = 121.0f;
  EXPECT_TRUE(outputs::MakeStringRound(six, r).group_is_cell_sum);

  const StringRound none = outputs::MakeStringRound(SecondGroup(), StringRecord{});
  EXPECT_EQ(none.readings, 0);
  EXPECT_EQ(none.out_of_window, 20);
  EXPECT_EQ(none.lowest, -1);
  EXPECT_TRUE(none.group_is_cell_sum);  // 0 V: the device put the sum of nothing there
}

TEST(StringRound, CellKeysNameRecordPositions) {
  EXPECT_EQ(outputs::CellPositionOfKey("battery_0_value"), 0);
  EXPECT_EQ(outputs::CellPositionOfKey("battery_31_value"), 31);
  for (const char* other : {"battery_32_value", "battery_01_value", "battery__value",
                            "group_voltage", "battery_3_values", "battery_-1_value"}) {
    EXPECT_EQ(outputs::CellPositionOfKey(other), -1) << other;
  }
}

// Every value a cell reading can decode to (65,536 readings, over 100 for 12 V blocks and over
// 1000 for 6 V blocks) is written as its decimal, the shortest text, and reads back bit for bit.
TEST(FloatText, EveryDecodedCellValueIsItsDecimalAndReadsBackExactly) {
  for (const unsigned divisor : {100u, 1000u}) {
    const int decimals = divisor == 100u ? 2 : 3;
    for (unsigned raw = 0; raw <= 0xFFFF; ++raw) {
      const float v = static_cast<float>(raw) / static_cast<float>(divisor);
      std::string expect = std::to_string(raw / divisor);
      std::string fraction = std::to_string(raw % divisor);
      fraction.insert(0, decimals - fraction.size(), '0');
      while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
      if (!fraction.empty()) expect += "." + fraction;
      const std::string text = FloatText(v);
      ASSERT_EQ(text, expect) << raw << "/" << divisor;
      const float back = std::strtof(text.c_str(), nullptr);
      ASSERT_EQ(std::memcmp(&back, &v, sizeof v), 0) << text;
      if (raw % 61 == 0) {  // the events' JSON number is the same text
        Json::Value o(Json::objectValue);
        o["v"] = json_text::FloatValue(v);
        const std::string line = json_text::Line(o);
        const std::string number = line.substr(5, line.size() - 6);
        ASSERT_TRUE(number == expect || number == expect + ".0") << line;
      }
    }
  }
}

// One round of a string as every output reads it: the record's values, which cells are readings
// and which lie outside the window, the cell numbers, the lowest, highest and spread; and the
// text of every float the host writes.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "battery_host/app/setting_typos.h"
#include "battery_host/outputs/events_file.h"
#include "battery_host/outputs/float_text.h"
#include "battery_host/outputs/json_text.h"
#include "battery_host/outputs/string_round.h"
#include "battery_host/outputs/view/live_view.h"
#include "battery_host/outputs/view/view_output.h"
#include "host/xqr_vdevice.h"
#include "host_framework/alarm_band.h"
#include "host_framework/alarm_engine.h"

namespace {

using outputs::StringRound;

// The second group of the shipped site: 20 cells numbered from battery_start 20, 12 V blocks.
// Cell k (from 0) read raw 1300 + 5k, i.e. 13.00 V .. 13.95 V; the block at position 15
// (第36节电池) read outside the window and was stored as 0.0. The group voltage 255.5 V is the
// module's 120.25 V plus the peer's 135.25 V.
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

outputs::StringRecord FixedRound() {
  outputs::StringRecord r;
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
  const outputs::StringRound r = outputs::MakeStringRound(SecondGroup(), FixedRound());
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
  outputs::StringRecord r{};
  for (int k = 0; k < 20; ++k) r.cells[k] = 6.25f;
  r.cells[0] = 4.5f;  // both bounds are inside
  r.cells[1] = 7.5f;
  r.cells[2] = 0.0f;                           // stored for a reading outside
  r.cells[3] = 9.0f;                           // a 12 V block's value is outside the 6 V window
  r.group_voltage = 4.5f + 7.5f + 6.25f * 16;  // 112.0: the device's sum, exact in binary
  const outputs::StringRound s = outputs::MakeStringRound(six, r);
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

  const outputs::StringRound none =
      outputs::MakeStringRound(SecondGroup(), outputs::StringRecord{});
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
      const std::string text = outputs::FloatText(v);
      ASSERT_EQ(text, expect) << raw << "/" << divisor;
      const float back = std::strtof(text.c_str(), nullptr);
      ASSERT_EQ(std::memcmp(&back, &v, sizeof v), 0) << text;
      if (raw % 61 == 0) {  // the events' JSON number is the same text
        Json::Value o(Json::objectValue);
        o["v"] = outputs::JsonFloatValue(v);
        const std::string line = outputs::JsonLine(o);
        const std::string number = line.substr(5, line.size() - 6);
        ASSERT_TRUE(number == expect || number == expect + ".0") << line;
      }
    }
  }
}

// ---- The fixed round in the view, the --plain line and the events -----------------------------

namespace {

view::DeviceView FixedView() {
  view::DeviceView d;
  d.info = SecondGroup();
  d.info.bus_address = 0x02;
  d.name = d.info.name;
  d.source = "port /dev/ttyUSB1";
  d.record = FixedRound();
  d.record.stamp = {0xEA, 0x07, 12, 9, 8, 0, 5};
  d.status.rounds_completed = 12;
  d.alarms["battery_15_value"] = view::ActiveAlarm{"第36节电池", 0.0f, 9.0f};
  return d;
}

const std::string kOut = "第36节电池 (battery_15_value) outside 9.0\u201315.0 V";

}  // namespace

TEST(RoundOutputs, TheFixedRoundInTheViewThePlainLineAndTheEvents) {
  const view::DeviceView d = FixedView();
  EXPECT_EQ(view::RenderLine(d),
            "Rack A, string 2: round 12, 0 abandoned 2026-12-09 08:00:05 group 255.5 V (with 1)"
            "   current -2.5 A   temperature 25.3 C; lowest #21 13 V, highest #40 13.95 V, "
            "spread 950 mV, 1 out of window 9.0\u201315.0 V: #36; alarms: " +
                kOut + "\n");
  EXPECT_EQ(view::RenderBlock(d, false),
            "Rack A, string 2   round 12, 0 abandoned   2026-12-09 08:00:05\n"
            "  data id 2, 0x02 on port /dev/ttyUSB1\n"
            "  21    v13  13.05   13.1  13.15   13.2  13.25   13.3  13.35   13.4  13.45\n"
            "  31   13.5  13.55   13.6  13.65   13.7    out   13.8  13.85   13.9 ^13.95\n"
            "  lowest #21 13 V, highest #40 13.95 V, spread 950 mV\n"
            "  1 out of window 9.0\u201315.0 V: #36\n"
            "  group 255.5 V (with 1)   current -2.5 A   temperature 25.3 C\n"
            "  alarms: " +
                kOut + "\n");
  EXPECT_EQ(view::RenderCompactLine(d),
            "Rack A, string 2  1 alarm  13 #21 .. 13.95 #40, 1 out  255.5 V -2.5 A 25.3 C");

  outputs::HostEvent e;
  e.kind = outputs::EventKind::kAlarm;
  e.data_id = 2;
  e.rule.key = "battery_15_value";
  e.rule.label = "第36节电池";
  e.rule.value = 0.0f;
  e.rule.limit = 9.0f;
  e.raised = true;
  const outputs::DeviceInfo info = SecondGroup();
  const Json::Value alarm = outputs::EventsFile::EventJson(e, &info);
  EXPECT_TRUE(alarm["value"].isNull());
  EXPECT_EQ(alarm["window"].asString(), "9.0\u201315.0 V");
  EXPECT_EQ(alarm["text"].asString(), kOut);
  e.kind = outputs::EventKind::kThreshold;
  e.rule.key = "battery_14_value";
  e.rule.value = 13.7f;
  EXPECT_EQ(outputs::JsonLine(outputs::EventsFile::EventJson(e, &info)["value"]), "13.7");
}

TEST(RoundOutputs, TheShippedSiteInCompactFormFits80x24AndTheFullViewWhenThereIsRoom) {
  view::ViewState s;
  for (unsigned id = 1; id <= 4; ++id) {
    view::DeviceView d = FixedView();
    d.info.data_id = id;
    d.name = "Rack A, string " + std::to_string(id);
    s.devices.push_back(d);
  }
  s.notice = "history: database is locked";
  const std::string compact = view::RenderView(s, true, 80, 24);
  std::istringstream lines(compact);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ++count;
    EXPECT_LE(view::DisplayWidth(line), 80) << line;
  }
  EXPECT_EQ(count, 4 + 4 + 1);  // the strings, their alarms, the note
  EXPECT_NE(compact.find("Rack A, string 3: " + kOut + "\n"), std::string::npos) << compact;
  s.devices.resize(2);  // two blocks of 9 lines and the note: room enough
  EXPECT_EQ(view::RenderView(s, false, 80, 24), view::RenderBlock(s.devices[0], false) + "\n" +
                                                    view::RenderBlock(s.devices[1], false) + "\n" +
                                                    "note: history: database is locked\n");
  EXPECT_EQ(view::DisplayWidth("第36节 \x1b[1;31m13\x1b[0m"), 9);
}

TEST(RoundOutputs, PlainSaysAtOnceWhenAModuleFallsSilentAndWhenItAnswersAgain) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  view::ViewOutput view(fds[1], false, {{2, "port /dev/ttyUSB1"}});
  view.Start({SecondGroup()}, nullptr);
  outputs::HostEvent turn;
  turn.kind = outputs::EventKind::kTurnEnd;
  turn.data_id = 2;
  for (bool silent : {true, true, false, false}) {
    turn.status.silent = silent;
    view.Take(turn);
  }
  view.Stop();
  close(fds[1]);
  char buf[512];
  const ssize_t n = read(fds[0], buf, sizeof buf);
  close(fds[0]);
  EXPECT_EQ(std::string(buf, n > 0 ? n : 0),
            "Rack A, string 2: module not answering (no reply in its turn)\n"
            "Rack A, string 2: module answers again\n");
}

// ---- The alarm delay and the window in the alarm engine ---------------------------------------

namespace {

class NoCacheDevice : public XQRVDevice {
 public:
  bool LoadFromCache(const unsigned char*, int) override { return false; }
};

}  // namespace

TEST(AlarmEngine, ACellOutsideTheWindowAlarmsAtItsBoundWhateverTheLimits) {
  NoCacheDevice device;
  host_framework::AlarmBand band;
  band.has_window = true;
  band.window_low = 9.0f;
  band.window_high = 15.0f;
  rule_value r =
      host_framework::JudgeAlarm(device, &band, "battery_15_value", "第36节电池", 0.0f, 16);
  EXPECT_TRUE(r.alarm);
  EXPECT_EQ(r.limit, 9.0f);
  r = host_framework::JudgeAlarm(device, &band, "battery_15_value", "第36节电池", 13.0f, 16);
  EXPECT_FALSE(r.alarm);  // a window alone sets no limit
  band.has_low = true;
  band.low = 12.0f;
  EXPECT_TRUE(host_framework::JudgeAlarm(device, &band, "k", "l", 11.5f, 1).alarm);
  EXPECT_EQ(host_framework::JudgeAlarm(device, &band, "k", "l", 15.5f, 1).limit, 15.0f);
}

TEST(AlarmEngine, DelayRaisesAfterNRoundsInARowAndClearsAfterNRoundsBack) {
  struct Case {
    int delay;
    const char* judged;   // per round: 1 outside the limits, 0 inside
    const char* changes;  // per round: r raised, c cleared, . nothing
  };
  const Case cases[] = {
      {1, "1100", ".." /* unused */},
      {3, "1101110001000", ".....r..c...."},
      {3, "10101", "....."},  // one damaged reply at a time pages nobody
  };
  const char* const at_once = "r.c.";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.judged);
    host_framework::AlarmMemory memory;
    std::string changes;
    for (const char* j = c.judged; *j != '\0'; ++j) {
      rule_value rule;
      rule.key = "battery_15_value";
      rule.alarm = *j == '1';
      char seen = '.';
      host_framework::BatchAlarms(
          memory, {rule}, [&](const std::string&) { return c.delay; },
          [&](const rule_value& changed) { seen = changed.alarm ? 'r' : 'c'; });
      changes += seen;
    }
    EXPECT_EQ(changes, c.delay == 1 ? std::string(at_once) : std::string(c.changes));
  }
}

// ---- A key the device does not read -------------------------------------------------------------

TEST(SettingTypos, AKeyTheDeviceDoesNotReadIsNamedWithTheClosestKnownOne) {
  Json::Value s(Json::objectValue);
  s["appSetting"]["curent_ratio"] = 1;
  s["appSetting"]["battery_type"] = 12;
  s["appSetting"]["b_mode"] = 3;
  s["appSetting"]["batery_start"] = 20;
  EXPECT_EQ(app::UnknownAppSettingWarnings(s, "settings s.json"),
            (std::vector<std::string>{
                "settings s.json: appSetting key \"batery_start\" is not read by the device and "
                "is ignored; did you mean \"battery_start\"?",
                "settings s.json: appSetting key \"curent_ratio\" is not read by the device and "
                "is ignored; did you mean \"current_ratio\"?"}));
  EXPECT_EQ(app::ClosestAppSettingKey("T0"), "t0");
  EXPECT_EQ(app::ClosestAppSettingKey("dirr"), "dir");
}

// Which rounds become rows: each reason once, a quiet stretch folded into the next row with its
// extremes, the device's save interval, every round on request, and a second's rounds of several
// devices in one commit.

#include <gtest/gtest.h>

#include "history_test_support.h"

namespace {

using namespace history_test;
using Rows = std::vector<std::vector<std::string>>;

// A 20-cell string numbered from 21 (a second group), float charge: 271.5 V, 0.5 A, 25 degrees,
// every block 13.57 V.
RecordFields Float() {
  RecordFields f;
  f.id = 1;
  f.cells.assign(20, 13.57f);
  f.group_voltage = 271.5f;
  f.group_current = 0.5f;
  f.temperature = 25.0f;
  f.stamp = Stamp(2026, 3, 2, 10, 0, 0);
  return f;
}

struct Step {
  std::int64_t at_s;
  std::function<void(RecordFields&)> change;  // from Float()
  std::string before;  // "alarm": an alarm with this round; "lost": its port lost before it
};

TEST(HistoryThinning, EachReasonOnceAndQuietRoundsFoldedWithTheirExtremes) {
  TempDir dir;
  const std::string path = dir.File("h.sqlite");
  history::HistoryOutput out(TestOptions(path));
  outputs::DeviceInfo device = Device(1, 20);
  device.battery_start = 20;
  device.save_interval_s = 1200;
  out.Start({device}, nullptr);
  auto same = [](RecordFields&) {};
  const std::vector<Step> steps = {
      {0, same, ""},  // start
      {1,
       [](RecordFields& f) {
         f.cells[4] = 13.61f;
         f.temperature = 25.3f;
       },
       ""},  // folded
      {2,
       [](RecordFields& f) {
         f.cells[6] = 13.53f;
         f.group_current = 0.4f;
       },
       ""},                                                        // folded
      {3, [](RecordFields& f) { f.group_voltage = 271.6f; }, ""},  // change: 0.1 V
      {4, [](RecordFields& f) { f.group_voltage = 271.6f; }, "alarm"},
      {5,
       [](RecordFields& f) {
         f.group_voltage = 271.6f;
         f.group_current = -5.0f;
       },
       ""},
      {6, [](RecordFields& f) { f.group_voltage = 271.6f; }, ""},         // current: 10 min after
      {610, [](RecordFields& f) { f.group_voltage = 271.6f; }, ""},       // folded
      {1206, [](RecordFields& f) { f.group_voltage = 271.6f; }, ""},      // interval: 1200 s
      {1207, [](RecordFields& f) { f.group_voltage = 271.6f; }, "lost"},  // gap
      {1208,
       [](RecordFields& f) {
         f.group_voltage = 271.6f;
         f.cells[2] = 0.0f;
       },
       ""},  // change
      {1209,
       [](RecordFields& f) {
         f.group_voltage = 271.6f;
         f.cells[2] = 0.0f;
       },
       ""},  // folded
  };
  for (const Step& s : steps) {
    RecordFields f = Float();
    s.change(f);
    const std::int64_t at = kT0Ms + 1000 * s.at_s;
    if (s.before == "alarm") {
      out.Take(AlarmEvent(1, at - 1, "temperature", "温度", 25.0f, 24.0f, true));
    }
    if (s.before == "lost") out.Take(PortEvent(1, at - 500, "lost", "/dev/ttyUSB0", "gone"));
    out.Take(HistoryEvent(1, at, BuildRecord(f)));
  }
  out.Stop();  // the last folded round is written as the row of its span
  Sql sql(path);
  // The lowest current of the folded rounds (0.4f) is rounded in the query: SQLite's text of
  // a double may differ in its 15th digit between machines (…464 here, …465 on armel).
  EXPECT_EQ(
      sql.Rows("SELECT (received_ms - span_start_ms) / 1000, (received_ms - 1772442907250) "
               "/ 1000, stored_for, span_rounds, group_voltage_min, group_voltage_max, "
               "round(group_current_min, 6), group_current_max, temperature_min, temperature_max, "
               "cell_min, cell_min_number, cell_max, cell_max_number FROM rounds ORDER BY id"),
      (Rows{{"0", "0", "start", "1", "271.5", "271.5", "0.5", "0.5", "25.0", "25.0",
             "13.5699996948242", "21", "13.5699996948242", "21"},
            // 13.53f and 13.61f: the extremes of the two folded rounds, cells 27 and 25
            {"2", "3", "change", "3", "271.5", "271.600006103516", "0.4", "0.5", "25.0",
             "25.2999992370605", "13.5299997329712", "27", "13.6099996566772", "25"},
            {"0", "4", "alarm", "1", "271.600006103516", "271.600006103516", "0.5", "0.5", "25.0",
             "25.0", "13.5699996948242", "21", "13.5699996948242", "21"},
            {"0", "5", "current", "1", "271.600006103516", "271.600006103516", "-5.0", "-5.0",
             "25.0", "25.0", "13.5699996948242", "21", "13.5699996948242", "21"},
            {"0", "6", "current", "1", "271.600006103516", "271.600006103516", "0.5", "0.5", "25.0",
             "25.0", "13.5699996948242", "21", "13.5699996948242", "21"},
            {"596", "1206", "interval", "2", "271.600006103516", "271.600006103516", "0.5", "0.5",
             "25.0", "25.0", "13.5699996948242", "21", "13.5699996948242", "21"},
            {"0", "1207", "gap", "1", "271.600006103516", "271.600006103516", "0.5", "0.5", "25.0",
             "25.0", "13.5699996948242", "21", "13.5699996948242", "21"},
            {"0", "1208", "change", "1", "271.600006103516", "271.600006103516", "0.5", "0.5",
             "25.0", "25.0", "13.5699996948242", "21", "13.5699996948242", "21"},
            {"0", "1209", "stop", "1", "271.600006103516", "271.600006103516", "0.5", "0.5", "25.0",
             "25.0", "13.5699996948242", "21", "13.5699996948242", "21"}}));
  // Out of window: NULL in its column (its 0.0 kept in the raw bytes), no reading in the view.
  EXPECT_EQ(sql.Rows("SELECT cell_3, hex(substr(raw, 13, 4)) FROM rounds WHERE stored_for = "
                     "'change' AND received_ms = 1772442907250 + 1208000"),
            (Rows{{"NULL", "00000000"}}));
  EXPECT_EQ(sql.One("SELECT group_concat(cell_number) FROM cell_readings WHERE volts IS NULL"),
            "23,23");
  EXPECT_EQ(sql.One("SELECT count(*) FROM alarms WHERE round_id = 3"), "1");
}

TEST(HistoryThinning, EveryRoundOnRequest) {
  TempDir dir;
  const std::string path = dir.File("h.sqlite");
  history::HistoryOptions o = TestOptions(path);
  o.thinning.every_round = true;
  history::HistoryOutput out(o);
  out.Start({Device(1, 20)}, nullptr);
  for (int n = 0; n < 3; ++n) out.Take(HistoryEvent(1, kT0Ms + 1000 * n, BuildRecord(Float())));
  out.Stop();
  EXPECT_EQ(Sql(path).One("SELECT group_concat(stored_for || ' ' || span_rounds) FROM rounds"),
            "every_round 1,every_round 1,every_round 1");
}

// The host changes the device's save interval while running (control code 100): the rows follow.
TEST(HistoryThinning, SaveIntervalChangedWhileRunning) {
  TempDir dir;
  const std::string path = dir.File("h.sqlite");
  history::HistoryOutput out(TestOptions(path));
  outputs::DeviceInfo device = Device(1, 20);
  device.save_interval_s = 1200;
  out.Start({device}, nullptr);
  out.Take(HistoryEvent(1, kT0Ms, BuildRecord(Float())));
  out.Take(HistoryEvent(1, kT0Ms + 100000, BuildRecord(Float())));  // folded: 100 s < 1200 s
  ASSERT_TRUE(out.WaitWritten(std::chrono::seconds(10)));
  out.SetSaveInterval(1, 120);
  out.Take(HistoryEvent(1, kT0Ms + 110000, BuildRecord(Float())));  // folded: 110 s < 120 s
  out.Take(HistoryEvent(1, kT0Ms + 120000, BuildRecord(Float())));  // 120 s since the last row
  out.Take(HistoryEvent(1, kT0Ms + 230000, BuildRecord(Float())));  // folded: 110 s
  out.Stop();
  EXPECT_EQ(Sql(path).One("SELECT group_concat(((received_ms - 1772442907250) / 1000) || ' ' || "
                          "stored_for || ' ' || span_rounds, ', ') FROM rounds"),
            "0 start 1, 120 interval 3, 230 stop 1");
}

// Rounds of two devices received within one second go in one transaction.
TEST(HistoryThinning, OneCommitPerSecondOfRounds) {
  TempDir dir;
  const std::string path = dir.File("h.sqlite");
  history::HistoryOptions o = TestOptions(path);
  o.commit_window_ms = 1000;
  history::HistoryOutput out(o);
  out.Start({Device(1, 20), Device(2, 20)}, nullptr);
  out.Take(HistoryEvent(1, kT0Ms, NumberedRecord(0, 1)));
  out.Take(HistoryEvent(2, kT0Ms + 300, NumberedRecord(0, 2)));
  out.Take(HistoryEvent(1, kT0Ms + 1100, NumberedRecord(1, 1)));
  out.Take(HistoryEvent(2, kT0Ms + 1400, NumberedRecord(1, 2)));
  ASSERT_TRUE(out.WaitWritten(std::chrono::seconds(10)));
  out.Stop();
  EXPECT_EQ(out.counters().commits, 2u);
  EXPECT_EQ(out.counters().rounds_written, 4u);
}

}  // namespace

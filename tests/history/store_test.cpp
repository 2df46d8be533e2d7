// What the history database holds: rounds byte for byte with their decoded values, alarms with
// their round, port events, the cell view behind the documented query, and the run.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "history_test_support.h"

namespace {

using namespace history_test;

struct Stored {
  std::string name;
  RecordFields fields;
  // group_voltage, group_current, temperature, cell_1, cell_20 as stored: exactly the float32
  // value widened to double (NaN: NULL expected)
  std::vector<double> values;
  std::string record_time;
};

// Test names and failure messages show the case's name, not its bytes.
void PrintTo(const Stored& c, std::ostream* os) { *os << c.name; }

class RoundsStored : public ::testing::TestWithParam<Stored> {};

TEST_P(RoundsStored, ByteForByteWithDecodedColumns) {
  const Stored& c = GetParam();
  TempDir dir;
  const std::string path = dir.File("h.sqlite");
  const Bytes record = BuildRecord(c.fields);
  {
    history::HistoryOutput out(TestOptions(path));
    Notices notices;
    out.Start({}, notices.Fn());
    out.Take(HistoryEvent(7, kT0Ms, record));
    ASSERT_TRUE(out.WaitWritten(std::chrono::seconds(10)));
    out.Stop();
    EXPECT_TRUE(notices.Lines().empty());
  }
  Sql sql(path);
  const auto rows = sql.Rows(
      "SELECT data_id, received_ms, received_utc, record_time, hex(stamp), cells, raw, "
      "typeof(group_voltage), typeof(group_current), typeof(temperature), typeof(cell_1), "
      "typeof(cell_20), cell_21, cell_32 FROM rounds");
  ASSERT_EQ(rows.size(), 1u);
  const auto& r = rows[0];
  EXPECT_EQ(r[0], "7");
  EXPECT_EQ(r[1], "1772442907250");
  EXPECT_EQ(r[2], "2026-03-02T09:15:07.250Z");
  EXPECT_EQ(r[3], c.record_time);
  EXPECT_EQ(r[5], "32");  // a device the host did not announce: all cells of the record
  EXPECT_EQ(r[6], Hex(record));
  const auto reals =
      sql.Reals("SELECT group_voltage, group_current, temperature, cell_1, cell_20 FROM rounds");
  ASSERT_EQ(reals.size(), c.values.size());
  for (std::size_t i = 0; i < c.values.size(); ++i) {
    if (std::isnan(c.values[i])) {
      EXPECT_EQ(r[7 + i], "null") << i;
    } else {
      EXPECT_EQ(r[7 + i], "real") << i;
      EXPECT_EQ(reals[i], c.values[i]) << i;  // exact: the float32 widened, nothing rounded
    }
  }
  EXPECT_EQ(r[12], "NULL");  // 0.0: the device had no reading there
  EXPECT_EQ(r[13], "NULL");
}

RecordFields Typical() {
  RecordFields f;
  f.id = 7;
  f.cells.assign(20, 13.57f);
  f.cells[19] = 12.05f;
  f.group_voltage = 271.4f;
  f.group_current = -30.25f;
  f.temperature = 25.3f;
  f.stamp = Stamp(2026, 3, 2, 10, 15, 7);
  return f;
}

RecordFields NoDate() {
  RecordFields f = Typical();
  f.stamp = {};
  return f;
}

RecordFields NotANumber() {
  RecordFields f = Typical();
  f.group_current = std::numeric_limits<float>::quiet_NaN();  // SQLite has no NaN: NULL
  f.temperature = std::numeric_limits<float>::infinity();
  return f;
}

INSTANTIATE_TEST_SUITE_P(
    History, RoundsStored,
    ::testing::Values(
        // 271.4f is 271.399993896484375 exactly, 25.3f 25.299999237060546875, 13.57f
        // 13.56999969482421875, 12.05f 12.0500001907348632812.
        Stored{"typical",
               Typical(),
               {271.399993896484375, -30.25, 25.299999237060546875, 13.56999969482421875,
                12.0500001907348632812},
               "2026-03-02 10:15:07"},
        Stored{"zero_stamp",
               NoDate(),
               {271.399993896484375, -30.25, 25.299999237060546875, 13.56999969482421875,
                12.0500001907348632812},
               "NULL"},
        Stored{"nan_and_infinity",
               NotANumber(),
               {271.399993896484375, std::nan(""), HUGE_VAL, 13.56999969482421875,
                12.0500001907348632812},
               "2026-03-02 10:15:07"}),
    [](const auto& info) { return info.param.name; });

TEST(HistoryAlarms, CommittedWithTheNextRoundOfTheirDevice) {
  TempDir dir;
  const std::string path = dir.File("h.sqlite");
  history::HistoryOutput out(TestOptions(path));
  out.Start({Device(1, 20), Device(2, 20)}, nullptr);
  // Device 1's batch raises an alarm; device 2's round (with its own cleared alarm) completes
  // before device 1's history comes.
  out.Take(AlarmEvent(1, kT0Ms, "battery_2_value", "第3节电池", 11.48f, 12.0f, true));
  out.Take(AlarmEvent(2, kT0Ms + 1, "temperature", "temperature", 25.3f, 40.0f, false));
  out.Take(HistoryEvent(2, kT0Ms + 2, NumberedRecord(1, 2)));
  out.Take(HistoryEvent(1, kT0Ms + 3, NumberedRecord(2, 1)));
  out.Take(HistoryEvent(1, kT0Ms + 1003, NumberedRecord(3, 1)));
  ASSERT_TRUE(out.WaitWritten(std::chrono::seconds(10)));
  out.Stop();
  EXPECT_EQ(out.counters().rounds_written, 3u);
  EXPECT_EQ(out.counters().alarms_written, 2u);

  Sql sql(path);
  EXPECT_EQ(
      sql.Rows("SELECT id, data_id, received_ms FROM rounds ORDER BY id"),
      (std::vector<std::vector<std::string>>{
          {"1", "2", "1772442907252"}, {"2", "1", "1772442907253"}, {"3", "1", "1772442908253"}}));
  EXPECT_EQ(
      sql.Rows("SELECT data_id, round_id, received_ms, record_time, state, key, label, "
               "limit_value FROM alarms ORDER BY id"),
      (std::vector<std::vector<std::string>>{{"2", "1", "1772442907251", "2026-03-02 10:00:01",
                                              "cleared", "temperature", "temperature", "40.0"},
                                             {"1", "2", "1772442907250", "2026-03-02 10:00:02",
                                              "raised", "battery_2_value", "第3节电池", "12.0"}}));
  // 25.3f and 11.48f (11.4799995422363281) exactly
  EXPECT_EQ(sql.Reals("SELECT (SELECT value FROM alarms WHERE id = 1), "
                      "(SELECT value FROM alarms WHERE id = 2)"),
            (std::vector<double>{25.299999237060546875, 11.4799995422363281}));
  EXPECT_EQ(sql.One("SELECT count(*) FROM rounds WHERE cells = 20"), "3");
}

TEST(HistoryPorts, EachEventWithItsDevice) {
  TempDir dir;
  const std::string path = dir.File("h.sqlite");
  history::HistoryOutput out(TestOptions(path));
  out.Start({}, nullptr);
  out.Take(PortEvent(1, kT0Ms, "lost", "/dev/ttyUSB0", "read: Input/output error"));
  out.Take(PortEvent(2, kT0Ms, "lost", "/dev/ttyUSB0", "read: Input/output error"));
  out.Take(PortEvent(1, kT0Ms + 4000, "reopened", "/dev/ttyUSB0", ""));
  out.Stop();
  Sql sql(path);
  EXPECT_EQ(sql.Rows("SELECT data_id, received_ms, received_utc, state, path, detail, run_id "
                     "FROM port_events ORDER BY id"),
            (std::vector<std::vector<std::string>>{
                {"1", "1772442907250", "2026-03-02T09:15:07.250Z", "lost", "/dev/ttyUSB0",
                 "read: Input/output error", "1"},
                {"2", "1772442907250", "2026-03-02T09:15:07.250Z", "lost", "/dev/ttyUSB0",
                 "read: Input/output error", "1"},
                {"1", "1772442911250", "2026-03-02T09:15:11.250Z", "reopened", "/dev/ttyUSB0", "",
                 "1"}}));
}

// The query the README gives for the lowest cell per hour, on rounds of a 4-cell string.
TEST(HistoryQueries, LowestCellPerHour) {
  TempDir dir;
  const std::string path = dir.File("h.sqlite");
  history::HistoryOutput out(TestOptions(path));
  out.Start({Device(5, 4)}, nullptr);
  struct R {
    int hour;
    std::vector<float> cells;
  };
  const R rounds[] = {{10, {12.5f, 12.4f, 12.6f, 12.7f}},
                      {10, {12.3f, 12.45f, 12.2f, 12.6f}},
                      {11, {12.1f, 12.0f, 0.0f, 12.2f}}};  // 0.0: no valid reading
  int n = 0;
  for (const R& r : rounds) {
    RecordFields f;
    f.id = 5;
    f.cells = r.cells;
    f.stamp = Stamp(2026, 3, 2, r.hour, 10 + n, 0);
    out.Take(HistoryEvent(5, kT0Ms + 1000 * n++, BuildRecord(f)));
  }
  out.Stop();
  Sql sql(path);
  EXPECT_EQ(sql.One("SELECT count(*) FROM cell_readings"), "12");
  EXPECT_EQ(sql.Rows("SELECT data_id, substr(record_time, 1, 13) || ':00' AS hour, cell, "
                     "printf('%.2f', min(volts)) FROM cell_readings "
                     "WHERE volts > 0 GROUP BY data_id, hour ORDER BY data_id, hour"),
            (std::vector<std::vector<std::string>>{{"5", "2026-03-02 10:00", "3", "12.20"},
                                                   {"5", "2026-03-02 11:00", "2", "12.00"}}));
}

TEST(HistoryRuns, TheRunAndItsDevicesOnce) {
  TempDir dir;
  const std::string path = dir.File("h.sqlite");
  history::HistoryOptions o = TestOptions(path);
  o.time_scale = 60;
  o.sources = {"sim", "/dev/ttyUSB1"};
  o.clock = [] { return At(kT0Ms); };
  history::HistoryOutput out(o);
  out.Start({Device(1, 20), Device(2, 32, "battery_32", 1, "/dev/ttyUSB1", 0x02)}, nullptr);
  out.Take(HistoryEvent(1, kT0Ms + 10, NumberedRecord(1)));
  out.Stop();
  Sql sql(path);
  EXPECT_EQ(sql.One("PRAGMA user_version"), "3");
  EXPECT_EQ(sql.One("PRAGMA journal_mode"), "wal");
  EXPECT_EQ(
      sql.Rows("SELECT id, started_ms, started_utc, pid = " + std::to_string(getpid()) +
               ", host_version, sources, time_scale FROM runs"),
      (std::vector<std::vector<std::string>>{{"1", "1772442907250", "2026-03-02T09:15:07.250Z", "1",
                                              "battery-host test", "sim\n/dev/ttyUSB1", "60.0"}}));
  EXPECT_EQ(sql.Rows("SELECT run_id, data_id, name, type, cells, line, port, bus_address "
                     "FROM run_devices ORDER BY data_id"),
            (std::vector<std::vector<std::string>>{
                {"1", "1", "string 1", "ondrell_20", "20", "0", "sim", "1"},
                {"1", "2", "string 2", "battery_32", "32", "1", "/dev/ttyUSB1", "2"}}));
  EXPECT_EQ(sql.One("SELECT run_id FROM rounds"), "1");
}

TEST(HistoryRetention, PrunesOldRowsInSmallSteps) {
  TempDir dir;
  const std::string path = dir.File("h.sqlite");
  constexpr std::int64_t kDay = 86400000;
  const std::int64_t now = kT0Ms + 10 * kDay;
  {
    // Rounds 1..10 days (less a second) old, an alarm with every round, a port event every
    // other day.
    history::HistoryOutput out(TestOptions(path));
    out.Start({}, nullptr);
    for (int age = 10; age >= 1; --age) {
      const std::int64_t at = now - age * kDay + 1000;
      out.Take(AlarmEvent(1, at - 1, "battery_2_value", "第3节电池", 11.0f, 12.0f, age % 2 == 0));
      out.Take(HistoryEvent(1, at, NumberedRecord(age)));
      if (age % 2 == 0) out.Take(PortEvent(1, at, "lost", "/dev/ttyUSB0", "hang-up"));
    }
    out.Stop();
  }
  history::HistoryOptions o = TestOptions(path);
  o.keep_days = 3;
  o.prune_step_rows = 2;
  o.clock = [now] { return At(now); };
  history::HistoryOutput out(o);
  out.Start({}, nullptr);
  // Older than 3 days: 7 rounds, 7 alarms, 4 port events (ages 4, 6, 8, 10); the first run
  // keeps its rounds of the last 3 days, so it stays.
  ASSERT_TRUE(Eventually([&] { return out.counters().pruned >= 18; }));
  out.Stop();
  EXPECT_EQ(out.counters().pruned, 18u);
  Sql sql(path);
  EXPECT_EQ(sql.Rows("SELECT received_ms FROM rounds ORDER BY received_ms"),
            (std::vector<std::vector<std::string>>{{std::to_string(now - 3 * kDay + 1000)},
                                                   {std::to_string(now - 2 * kDay + 1000)},
                                                   {std::to_string(now - 1 * kDay + 1000)}}));
  EXPECT_EQ(sql.One("SELECT count(*) FROM alarms"), "3");
  EXPECT_EQ(sql.One("SELECT count(*) FROM alarms WHERE round_id NOT IN (SELECT id FROM rounds)"),
            "0");
  EXPECT_EQ(sql.Rows("SELECT received_ms FROM port_events"),
            (std::vector<std::vector<std::string>>{{std::to_string(now - 2 * kDay + 1000)}}));
  EXPECT_EQ(sql.One("SELECT count(*) FROM runs"), "2");
}

}  // namespace

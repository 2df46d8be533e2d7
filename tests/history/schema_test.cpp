// Versions of the database and what the host refuses before it starts.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <future>

#include "history_test_support.h"

namespace {

using namespace history_test;

// The first layout, as the first release wrote it (kept here, apart from the program's own
// migrations, so that a change there cannot change what an old file looks like).
std::string Version1Ddl() {
  std::string cells;
  for (int i = 1; i <= 32; ++i) cells += "cell_" + std::to_string(i) + " REAL, ";
  std::string view = "CREATE VIEW cell_readings AS ";
  for (int i = 1; i <= 32; ++i) {
    view += (i > 1 ? " UNION ALL " : "") + std::string("SELECT id AS round_id, data_id, ") +
            "received_ms, record_time, " + std::to_string(i) + " AS cell, cell_" +
            std::to_string(i) + " AS volts FROM rounds WHERE cells >= " + std::to_string(i);
  }
  return "PRAGMA journal_mode = WAL;"
         "CREATE TABLE rounds (id INTEGER PRIMARY KEY, data_id INTEGER NOT NULL, "
         "received_ms INTEGER NOT NULL, received_utc TEXT NOT NULL, record_time TEXT, "
         "stamp BLOB NOT NULL, cells INTEGER NOT NULL, group_voltage REAL, group_current REAL, "
         "temperature REAL, " +
         cells +
         "raw BLOB NOT NULL CHECK (length(raw) = 152));"
         "CREATE INDEX rounds_by_device_time ON rounds (data_id, received_ms);"
         "CREATE INDEX rounds_by_device_record_time ON rounds (data_id, record_time);"
         "CREATE INDEX rounds_by_time ON rounds (received_ms);"
         "CREATE TABLE alarms (id INTEGER PRIMARY KEY, data_id INTEGER NOT NULL, round_id INTEGER, "
         "received_ms INTEGER NOT NULL, received_utc TEXT NOT NULL, record_time TEXT, "
         "state TEXT NOT NULL CHECK (state IN ('raised', 'cleared')), key TEXT NOT NULL, "
         "label TEXT NOT NULL, value REAL, limit_value REAL);"
         "CREATE INDEX alarms_by_device_time ON alarms (data_id, received_ms);"
         "CREATE INDEX alarms_by_round ON alarms (round_id);"
         "CREATE TABLE port_events (id INTEGER PRIMARY KEY, data_id INTEGER NOT NULL, "
         "received_ms INTEGER NOT NULL, received_utc TEXT NOT NULL, state TEXT NOT NULL, "
         "path TEXT NOT NULL, detail TEXT NOT NULL);"
         "CREATE INDEX port_events_by_device_time ON port_events (data_id, received_ms);" +
         view + ";PRAGMA user_version = 1;";
}

TEST(HistorySchema, VersionOneIsMigratedWithItsRowsIntact) {
  TempDir dir;
  const std::string path = dir.File("old.sqlite");
  const Bytes old_record = NumberedRecord(5);
  {
    Sql sql(path);
    ASSERT_EQ(sql.Exec(Version1Ddl()), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(sql.db(),
                       "INSERT INTO rounds (data_id, received_ms, received_utc, record_time, "
                       "stamp, cells, group_voltage, cell_1, cell_3, cell_4, raw) VALUES (1, 1000, "
                       "'1970-01-01T00:00:01.000Z', '2026-03-02 10:00:05', x'ea07030214000a', "
                       "20, 245.0, 12.5, 11.55, 0.0, ?1)",
                       -1, &st, nullptr);
    sqlite3_bind_blob(st, 1, old_record.data(), 152, SQLITE_STATIC);
    ASSERT_EQ(sqlite3_step(st), SQLITE_DONE);
    sqlite3_finalize(st);
    ASSERT_EQ(sql.Exec("INSERT INTO alarms (data_id, round_id, received_ms, received_utc, state, "
                       "key, label) VALUES (1, 1, 999, 'x', 'raised', 'battery_2_value', "
                       "'第3节电池')"),
              SQLITE_OK);
  }
  std::string error;
  auto out = history::MakeHistoryOutput(TestOptions(path), &error);
  ASSERT_TRUE(out) << error;
  Notices notices;
  out->Start({}, notices.Fn());
  out->Take(HistoryEvent(1, kT0Ms, NumberedRecord(6)));
  out->Stop();
  EXPECT_TRUE(notices.Lines().empty());

  Sql sql(path);
  EXPECT_EQ(sql.One("PRAGMA user_version"), "3");
  EXPECT_EQ(sql.Rows("SELECT id, received_ms, record_time, hex(stamp), group_voltage, cell_3, "
                     "raw, run_id FROM rounds ORDER BY id"),
            (std::vector<std::vector<std::string>>{
                {"1", "1000", "2026-03-02 10:00:05", "EA07030214000A", "245.0", "11.55",
                 Hex(old_record), "NULL"},
                {"2", "1772442907250", "2026-03-02 10:00:06", "EA0703020A0006", "246.0",
                 "11.5600004196167", Hex(NumberedRecord(6)), "1"}}));
  // The old row stands for itself; its 0.0 cell (no reading) is NULL, its extremes are its own.
  EXPECT_EQ(sql.Rows("SELECT cell_4, span_rounds, span_start_ms, stored_for, group_voltage_min, "
                     "group_voltage_max, cell_min, cell_min_number, cell_max, cell_max_number "
                     "FROM rounds WHERE id = 1"),
            (std::vector<std::vector<std::string>>{
                {"NULL", "1", "1000", "NULL", "245.0", "245.0", "11.55", "3", "12.5", "1"}}));
  EXPECT_EQ(sql.Rows("SELECT cell, cell_number, volts FROM cell_readings WHERE round_id = 1 AND "
                     "cell <= 4 ORDER BY cell"),
            (std::vector<std::vector<std::string>>{
                {"1", "1", "12.5"}, {"2", "2", "NULL"}, {"3", "3", "11.55"}, {"4", "4", "NULL"}}));
  EXPECT_EQ(sql.Rows("SELECT id, round_id, label, run_id FROM alarms"),
            (std::vector<std::vector<std::string>>{{"1", "1", "第3节电池", "NULL"}}));
  EXPECT_EQ(sql.One("SELECT host_version FROM runs"), "battery-host test");
  EXPECT_EQ(sql.One("PRAGMA integrity_check"), "ok");
}

TEST(HistorySchema, NewerVersionRefusedAtStartAndLeftAlone) {
  TempDir dir;
  const std::string path = dir.File("new.sqlite");
  {
    Sql sql(path);
    ASSERT_EQ(sql.Exec("CREATE TABLE future (x); PRAGMA user_version = 4;"), SQLITE_OK);
  }
  std::string error;
  EXPECT_EQ(history::MakeHistoryOutput(TestOptions(path), &error), nullptr);
  EXPECT_EQ(error, "history: " + path +
                       " has schema version 4, newer than this program knows (3); use the "
                       "battery-host that wrote it, or another file");

  // Made without the start check (as if the file were replaced while running): nothing is
  // written, the person is told once.
  history::HistoryOutput out(TestOptions(path));
  Notices notices;
  out.Start({}, notices.Fn());
  out.Take(HistoryEvent(1, kT0Ms, NumberedRecord(1)));
  ASSERT_TRUE(notices.WaitCount(1));
  out.Stop();
  const auto lines = notices.Lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "history: cannot write " + path +
                          ": written by a newer battery-host (schema version 4, this program "
                          "knows 3); rounds wait in memory, retrying every 1 s");
  EXPECT_EQ(lines.back(), "history: 1 entries not written at exit (" + path +
                              ": written by a newer battery-host)");
  Sql sql(path);
  EXPECT_EQ(sql.One("PRAGMA user_version"), "4");
  EXPECT_EQ(sql.One("SELECT group_concat(name) FROM sqlite_master"), "future");
}

// The newer version only in the write-ahead log: its writer was killed (or still runs) before
// the log reached the main file, whose header still says version 2.
TEST(HistorySchema, NewerVersionInTheLogRefusedAtStart) {
  TempDir dir;
  const std::string path = dir.File("new.sqlite");
  Sql newer(path);
  ASSERT_EQ(newer.Exec("PRAGMA journal_mode = WAL; PRAGMA user_version = 3; "
                       "PRAGMA wal_checkpoint(TRUNCATE); PRAGMA wal_autocheckpoint = 0; "
                       "CREATE TABLE future (x); PRAGMA user_version = 9;"),
            SQLITE_OK);
  std::string error;
  EXPECT_EQ(history::MakeHistoryOutput(TestOptions(path), &error), nullptr);
  EXPECT_EQ(error, "history: " + path +
                       " has schema version 9, newer than this program knows (3); use the "
                       "battery-host that wrote it, or another file");
}

struct BadPath {
  std::string name;
  std::function<std::string(const TempDir&)> make;  // makes the path, returns it
  std::string expected;  // with PATH and DIR for the path and the temporary folder
};

// Test names and failure messages show the case's name, not its bytes.
void PrintTo(const BadPath& c, std::ostream* os) { *os << c.name; }

class HistoryPathRefused : public ::testing::TestWithParam<BadPath> {};

std::string Fill(std::string s, const std::string& path, const std::string& dir) {
  for (auto [key, value] : {std::pair<std::string, std::string>{"PATH", path}, {"DIR", dir}}) {
    for (auto at = s.find(key); at != std::string::npos; at = s.find(key, at + value.size())) {
      s.replace(at, key.size(), value);
    }
  }
  return s;
}

TEST_P(HistoryPathRefused, AtOnceWithOneLine) {
  TempDir dir;
  const std::string path = GetParam().make(dir);
  // A check that blocked (opening a FIFO for reading waits for a writer) would fail here.
  auto check = std::async(std::launch::async, [&] { return history::CheckHistoryPath(path); });
  ASSERT_EQ(check.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(check.get(), Fill(GetParam().expected, path, dir.path()));
}

INSTANTIATE_TEST_SUITE_P(
    History, HistoryPathRefused,
    ::testing::Values(BadPath{"fifo",
                              [](const TempDir& d) {
                                mkfifo(d.File("h.sqlite").c_str(), 0600);
                                return d.File("h.sqlite");
                              },
                              "history: PATH is a FIFO, not a database file"},
                      BadPath{"folder", [](const TempDir& d) { return d.path(); },
                              "history: PATH is a folder, not a database file"},
                      BadPath{"device", [](const TempDir&) { return std::string("/dev/null"); },
                              "history: /dev/null is a character device, not a database file"},
                      BadPath{"no_folder", [](const TempDir& d) { return d.File("none/h.sqlite"); },
                              "history: PATH: folder DIR/none does not exist"},
                      BadPath{"new_file", [](const TempDir& d) { return d.File("h.sqlite"); }, ""},
                      BadPath{"not_sqlite",  // reported while running, like a damaged database
                              [](const TempDir& d) {
                                std::system(("echo hello > '" + d.File("h.txt") + "'").c_str());
                                return d.File("h.txt");
                              },
                              ""}),
    [](const auto& info) { return info.param.name; });

}  // namespace

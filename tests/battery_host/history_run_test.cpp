// battery-host --history end to end: what the database holds after a run is what the devices
// saved as history (the events file's records, byte for byte, and their values in the columns),
// the alarms the host raised, and the port events; a host killed in the middle of a run leaves
// whole rounds only.

#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/battery_host/host_run_support.h"

namespace {

using host_run::Bytes;
using host_run::FloatAt;

struct Row {
  Bytes raw;
  double group_voltage, group_current, temperature;
  std::vector<double> cells;
  long long id;
};

std::vector<Row> Rounds(const std::string& db_path) {
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  std::string sql = "SELECT id, raw, group_voltage, group_current, temperature";
  for (int i = 1; i <= 20; ++i) sql += ", cell_" + std::to_string(i);
  sql += " FROM rounds ORDER BY id";
  sqlite3_stmt* st = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  std::vector<Row> rows;
  while (st != nullptr && sqlite3_step(st) == SQLITE_ROW) {
    Row r;
    r.id = sqlite3_column_int64(st, 0);
    const auto* raw = static_cast<const unsigned char*>(sqlite3_column_blob(st, 1));
    r.raw.assign(raw, raw + sqlite3_column_bytes(st, 1));
    r.group_voltage = sqlite3_column_double(st, 2);
    r.group_current = sqlite3_column_double(st, 3);
    r.temperature = sqlite3_column_double(st, 4);
    for (int i = 0; i < 20; ++i) r.cells.push_back(sqlite3_column_double(st, 5 + i));
    rows.push_back(r);
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return rows;
}

long long Count(const std::string& db_path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  long long n = -1;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
      sqlite3_step(st) == SQLITE_ROW) {
    n = sqlite3_column_int64(st, 0);
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return n;
}

// A row is whole: its 152 bytes, and every column the value of those bytes.
void ExpectWhole(const Row& r) {
  ASSERT_EQ(r.raw.size(), 152u);
  EXPECT_EQ(static_cast<float>(r.group_voltage), FloatAt(r.raw, 132));
  EXPECT_EQ(static_cast<float>(r.group_current), FloatAt(r.raw, 136));
  EXPECT_EQ(static_cast<float>(r.temperature), FloatAt(r.raw, 141));
  for (int i = 0; i < 20; ++i) EXPECT_EQ(static_cast<float>(r.cells[i]), FloatAt(r.raw, 4 + 4 * i));
}

TEST(HistoryRun, EveryRoundsRowIsItsHistoryRecordByteForByte) {
  host_run::ScratchDir dir;
  {
    // A temperature limit below the simulated ~25 degrees: one alarm raised in the first round.
    std::ofstream(dir.File("settings.json"))
        << R"({"appSetting": {"current_ratio": 1}, "hostThresholds": {"temperature": {"high": 20}}})";
  }
  const host_run::Result r = host_run::Run(
      {"--settings", dir.File("settings.json"), "--interval-ms", "100", "--rounds", "5", "--events",
       dir.File("events.jsonl"), "--history", dir.File("h.sqlite"), "--history-every-round"},
      dir);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<Json::Value> events = host_run::ReadEvents(dir.File("events.jsonl"));
  const std::vector<Bytes> history = host_run::Records(events, "history");
  const std::vector<Row> rows = Rounds(dir.File("h.sqlite"));
  ASSERT_EQ(rows.size(), history.size());
  ASSERT_EQ(rows.size(), 5u);
  for (std::size_t k = 0; k < rows.size(); ++k) {
    SCOPED_TRACE("round " + std::to_string(k + 1));
    EXPECT_EQ(rows[k].raw, history[k]);
    ExpectWhole(rows[k]);
  }
  // The alarm belongs to the first round, the port's opening is there too.
  EXPECT_EQ(Count(dir.File("h.sqlite"),
                  "SELECT count(*) FROM alarms WHERE key = 'temperature' AND state = 'raised' "
                  "AND round_id = " +
                      std::to_string(rows[0].id)),
            1);
  EXPECT_EQ(Count(dir.File("h.sqlite"), "SELECT count(*) FROM port_events WHERE state = 'open'"),
            1);
  EXPECT_EQ(Count(dir.File("h.sqlite"), "SELECT count(*) FROM runs"), 1);
}

TEST(HistoryRun, AKilledHostLeavesWholeRoundsOnly) {
  host_run::ScratchDir dir;
  const std::string db = dir.File("h.sqlite");
  const int pid = host_run::Spawn({"--interval-ms", "20", "--reply-timeout-ms", "100", "--history",
                                   db, "--history-every-round", "--sim-faults", "0.1"},
                                  dir);
  ASSERT_GT(pid, 0);
  // Wait (bounded) for rounds to be in the database, then kill the host mid-run.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < until &&
         Count(db, "SELECT count(*) FROM rounds") < 30) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the database has no signal
  }
  kill(pid, SIGKILL);
  const host_run::Result r = host_run::Wait(pid, dir);
  EXPECT_EQ(r.exit_code, 128 + SIGKILL);
  const std::vector<Row> rows = Rounds(db);
  ASSERT_GE(rows.size(), 30u);
  for (const Row& row : rows) ExpectWhole(row);
  EXPECT_EQ(Count(db, "SELECT count(*) FROM alarms WHERE round_id NOT IN (SELECT id FROM rounds)"),
            0);
  sqlite3* handle = nullptr;
  sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(handle, "PRAGMA integrity_check", -1, &st, nullptr);
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "ok");
  sqlite3_finalize(st);
  sqlite3_close(handle);
}

}  // namespace

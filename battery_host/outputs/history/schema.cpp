#include "battery_host/outputs/history/schema.h"

#include <cstdint>

#include <sqlite3.h>

namespace history {

namespace {

constexpr int kCells = 32;

std::string CellColumns() {
  std::string s;
  for (int i = 1; i <= kCells; ++i) s += "  cell_" + std::to_string(i) + " REAL,\n";
  return s;
}

// One row per cell and round, for the cells the string has, so that "which cell was lowest" is a
// plain GROUP BY with min().
std::string CellReadingsView() {
  std::string s = "CREATE VIEW cell_readings AS\n";
  for (int i = 1; i <= kCells; ++i) {
    if (i > 1) s += "UNION ALL\n";
    s += "SELECT id AS round_id, data_id, received_ms, record_time, " + std::to_string(i) +
         " AS cell, cell_" + std::to_string(i) +
         " AS volts FROM rounds WHERE cells >= " + std::to_string(i) + "\n";
  }
  return s + ";\n";
}

// Version 1: rounds, alarms and port events.
std::string Version1() {
  return "CREATE TABLE rounds (\n"
         "  id INTEGER PRIMARY KEY,\n"
         "  data_id INTEGER NOT NULL,\n"
         "  received_ms INTEGER NOT NULL,\n"
         "  received_utc TEXT NOT NULL,\n"
         "  record_time TEXT,\n"
         "  stamp BLOB NOT NULL,\n"
         "  cells INTEGER NOT NULL,\n"
         "  group_voltage REAL,\n"
         "  group_current REAL,\n"
         "  temperature REAL,\n" +
         CellColumns() +
         "  raw BLOB NOT NULL CHECK (length(raw) = 152)\n"
         ");\n"
         "CREATE INDEX rounds_by_device_time ON rounds (data_id, received_ms);\n"
         "CREATE INDEX rounds_by_device_record_time ON rounds (data_id, record_time);\n"
         "CREATE INDEX rounds_by_time ON rounds (received_ms);\n"
         "CREATE TABLE alarms (\n"
         "  id INTEGER PRIMARY KEY,\n"
         "  data_id INTEGER NOT NULL,\n"
         "  round_id INTEGER,\n"
         "  received_ms INTEGER NOT NULL,\n"
         "  received_utc TEXT NOT NULL,\n"
         "  record_time TEXT,\n"
         "  state TEXT NOT NULL CHECK (state IN ('raised', 'cleared')),\n"
         "  key TEXT NOT NULL,\n"
         "  label TEXT NOT NULL,\n"
         "  value REAL,\n"
         "  limit_value REAL\n"
         ");\n"
         "CREATE INDEX alarms_by_device_time ON alarms (data_id, received_ms);\n"
         "CREATE INDEX alarms_by_round ON alarms (round_id);\n"
         "CREATE TABLE port_events (\n"
         "  id INTEGER PRIMARY KEY,\n"
         "  data_id INTEGER NOT NULL,\n"
         "  received_ms INTEGER NOT NULL,\n"
         "  received_utc TEXT NOT NULL,\n"
         "  state TEXT NOT NULL,\n"
         "  path TEXT NOT NULL,\n"
         "  detail TEXT NOT NULL\n"
         ");\n"
         "CREATE INDEX port_events_by_device_time ON port_events (data_id, received_ms);\n" +
         CellReadingsView();
}

// Version 2: the host runs that wrote the rows, so that a report can tell a simulated,
// accelerated run from a real one and name the host version and its sources.
std::string Version2() {
  return "CREATE TABLE runs (\n"
         "  id INTEGER PRIMARY KEY,\n"
         "  started_ms INTEGER NOT NULL,\n"
         "  started_utc TEXT NOT NULL,\n"
         "  pid INTEGER NOT NULL,\n"
         "  host_version TEXT NOT NULL,\n"
         "  sources TEXT NOT NULL,\n"
         "  time_scale REAL NOT NULL DEFAULT 1\n"
         ");\n"
         "CREATE TABLE run_devices (\n"
         "  run_id INTEGER NOT NULL,\n"
         "  data_id INTEGER NOT NULL,\n"
         "  name TEXT NOT NULL,\n"
         "  type TEXT NOT NULL,\n"
         "  cells INTEGER NOT NULL,\n"
         "  line INTEGER NOT NULL,\n"
         "  port TEXT NOT NULL,\n"
         "  bus_address INTEGER NOT NULL,\n"
         "  PRIMARY KEY (run_id, data_id)\n"
         ");\n"
         "ALTER TABLE rounds ADD COLUMN run_id INTEGER;\n"
         "ALTER TABLE alarms ADD COLUMN run_id INTEGER;\n"
         "ALTER TABLE port_events ADD COLUMN run_id INTEGER;\n"
         "CREATE INDEX rounds_by_run ON rounds (run_id);\n";
}

// The cell view again, with the cell's number as the device labels it (the string's first cell
// is battery_start + 1: 21 for a second group numbered from 20).
std::string CellReadingsViewWithNumbers() {
  std::string s = "CREATE VIEW cell_readings AS\n";
  for (int i = 1; i <= kCells; ++i) {
    const std::string n = std::to_string(i);
    if (i > 1) s += "UNION ALL\n";
    s += "SELECT id AS round_id, data_id, received_ms, record_time, " + n + " AS cell, " +
         "battery_start + " + n + " AS cell_number, cell_" + n + " AS volts, span_rounds " +
         "FROM rounds WHERE cells >= " + n + "\n";
  }
  return s + ";\n";
}

// Version 3: a row may stand for several rounds (the quiet ones folded into it) and keeps their
// extremes; a cell outside the device's plausibility window is NULL, not 0.0 (the raw bytes
// keep the device's 0.0). Rows written before stand for themselves only.
std::string Version3() {
  std::string s =
      "ALTER TABLE rounds ADD COLUMN span_rounds INTEGER NOT NULL DEFAULT 1;\n"
      "ALTER TABLE rounds ADD COLUMN span_start_ms INTEGER;\n"
      "ALTER TABLE rounds ADD COLUMN stored_for TEXT;\n";
  for (const char* c : {"group_voltage", "group_current", "temperature"}) {
    s += std::string("ALTER TABLE rounds ADD COLUMN ") + c + "_min REAL;\n";
    s += std::string("ALTER TABLE rounds ADD COLUMN ") + c + "_max REAL;\n";
  }
  s += "ALTER TABLE rounds ADD COLUMN cell_min REAL;\n"
       "ALTER TABLE rounds ADD COLUMN cell_min_number INTEGER;\n"
       "ALTER TABLE rounds ADD COLUMN cell_max REAL;\n"
       "ALTER TABLE rounds ADD COLUMN cell_max_number INTEGER;\n"
       "ALTER TABLE rounds ADD COLUMN battery_start INTEGER NOT NULL DEFAULT 0;\n";
  for (int i = 1; i <= kCells; ++i) {
    const std::string n = std::to_string(i);
    s += "UPDATE rounds SET cell_" + n + " = NULL WHERE cell_" + n + " = 0 AND cells >= " + n +
         ";\n";
  }
  s += "DROP VIEW cell_readings;\n" + CellReadingsViewWithNumbers() +
       "UPDATE rounds SET span_start_ms = received_ms, group_voltage_min = group_voltage, "
       "group_voltage_max = group_voltage, group_current_min = group_current, "
       "group_current_max = group_current, temperature_min = temperature, "
       "temperature_max = temperature;\n";
  // Lowest and highest reading of each old row, from plain expressions (fast on a large file);
  // cells beyond the string's count and NULLs take no part.
  std::string lo, hi, lo_at = "CASE", hi_at = "CASE";
  for (int i = 1; i <= kCells; ++i) {
    const std::string n = std::to_string(i);
    const std::string cell = "CASE WHEN cells >= " + n + " THEN cell_" + n + " END";
    lo += std::string(i > 1 ? ", " : "") + "ifnull(" + cell + ", 1e308)";
    hi += std::string(i > 1 ? ", " : "") + "ifnull(" + cell + ", -1e308)";
    lo_at += " WHEN cells >= " + n + " AND cell_" + n + " = cell_min THEN " + n;
    hi_at += " WHEN cells >= " + n + " AND cell_" + n + " = cell_max THEN " + n;
  }
  s += "UPDATE rounds SET cell_min = nullif(min(" + lo + "), 1e308), cell_max = nullif(max(" + hi +
       "), -1e308);\n";
  const std::string start = "battery_start";
  s += "UPDATE rounds SET cell_min_number = " + start + " + " + lo_at +
       " END, cell_max_number = " + start + " + " + hi_at + " END WHERE cell_min IS NOT NULL;\n";
  return s;
}

}  // namespace

const std::vector<std::string>& Migrations() {
  static const std::vector<std::string> all = {Version1(), Version2(), Version3()};
  return all;
}

SchemaResult Migrate(Db& db) {
  SchemaResult r;
  std::int64_t version = 0;
  // Reading the header is the first access to the file: a locked, damaged or foreign file shows
  // here.
  if (!db.QueryInt("PRAGMA user_version", &version, &r.code)) return r;
  r.found = static_cast<int>(version);
  if (version > kSchemaVersion) {
    r.newer = true;
    return r;
  }
  if (version == 0) {
    std::int64_t pages = 0;
    if (!db.QueryInt("PRAGMA page_count", &pages, &r.code)) return r;
    // Must precede the first table; lets retention hand freed pages back in small steps.
    if (pages == 0 && (r.code = db.Exec("PRAGMA auto_vacuum = INCREMENTAL")) != SQLITE_OK) return r;
  }
  // WAL: readers (a report, the sqlite3 shell) never block the host, and a commit is one append.
  // synchronous NORMAL: a power cut may lose the last commits, never tear one.
  if ((r.code = db.Exec("PRAGMA journal_mode = WAL")) != SQLITE_OK) return r;
  if ((r.code = db.Exec("PRAGMA synchronous = NORMAL")) != SQLITE_OK) return r;
  // A bounded log: checkpointed at 1 MiB and cut back to 1 MiB after, so that it never holds
  // more of a small disk than that (by default it grows to 4 MiB and stays).
  if ((r.code = db.Exec("PRAGMA wal_autocheckpoint = 256; PRAGMA journal_size_limit = 1048576")) !=
      SQLITE_OK) {
    return r;
  }
  // Each step re-reads the version inside its write transaction: another program may have
  // migrated the file meanwhile.
  const auto& steps = Migrations();
  for (;;) {
    if ((r.code = db.Exec("BEGIN IMMEDIATE")) != SQLITE_OK) return r;
    if (!db.QueryInt("PRAGMA user_version", &version, &r.code)) {
      db.Exec("ROLLBACK");
      return r;
    }
    if (version >= kSchemaVersion) {
      db.Exec("ROLLBACK");
      r.newer = version > kSchemaVersion;
      break;
    }
    r.code = db.Exec(steps[static_cast<std::size_t>(version)]);
    if (r.code == SQLITE_OK)
      r.code = db.Exec("PRAGMA user_version = " + std::to_string(version + 1));
    if (r.code == SQLITE_OK) r.code = db.Exec("COMMIT");
    if (r.code != SQLITE_OK) {
      db.Exec("ROLLBACK");
      return r;
    }
  }
  r.code = SQLITE_OK;
  return r;
}

}  // namespace history

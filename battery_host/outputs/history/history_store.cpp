#include "battery_host/outputs/history/history_store.h"

#include <sqlite3.h>
#include <sys/stat.h>

namespace history {

namespace {

std::string InsertRoundSql() {
  std::string cols =
      "data_id, received_ms, received_utc, record_time, stamp, cells, "
      "group_voltage, group_current, temperature";
  for (int i = 1; i <= kRecordCells; ++i) cols += ", cell_" + std::to_string(i);
  cols +=
      ", raw, run_id, span_rounds, span_start_ms, stored_for, group_voltage_min, "
      "group_voltage_max, group_current_min, group_current_max, temperature_min, "
      "temperature_max, cell_min, cell_min_number, cell_max, cell_max_number, battery_start";
  const int n = 9 + kRecordCells + 2 + 14;
  std::string marks;
  for (int i = 1; i <= n; ++i) marks += (i > 1 ? ", ?" : "?") + std::to_string(i);
  return "INSERT INTO rounds (" + cols + ") VALUES (" + marks + ")";
}

void BindTime(Statement& st, int index, const std::optional<std::string>& text) {
  if (text) {
    st.Bind(index, *text);
  } else {
    st.BindNull(index);
  }
}

void BindOptional(Statement& st, int index, const std::optional<float>& v, int number) {
  if (v) {
    st.Bind(index, static_cast<double>(*v));
    st.Bind(index + 1, static_cast<std::int64_t>(number));
  } else {
    st.BindNull(index);
    st.BindNull(index + 1);
  }
}

void BindSpan(Statement& st, int i, const Span& span) {
  st.Bind(i++, static_cast<std::int64_t>(span.rounds));
  st.Bind(i++, span.first_ms);
  st.Bind(i++, span.reason);
  for (float f : {span.group_voltage_min, span.group_voltage_max, span.group_current_min,
                  span.group_current_max, span.temperature_min, span.temperature_max}) {
    st.Bind(i++, static_cast<double>(f));
  }
  BindOptional(st, i, span.cell_min, span.cell_min_number);
  BindOptional(st, i + 2, span.cell_max, span.cell_max_number);
}

std::string JoinLines(const std::vector<std::string>& parts) {
  std::string s;
  for (const auto& p : parts) s += (s.empty() ? "" : "\n") + p;
  return s;
}

}  // namespace

StoreStatus HistoryStore::Fail(int code) {
  StoreStatus s;
  s.code = code;
  s.trouble = TroubleOf(code);
  if (s.trouble == StoreTrouble::kNone) s.trouble = StoreTrouble::kOther;
  s.message = db_.message();
  return s;
}

StoreStatus HistoryStore::Open(const std::string& path, const std::string& vfs, int busy_timeout_ms,
                               const RunInfo& run) {
  Close();
  int rc = db_.Open(path, vfs);
  if (rc != SQLITE_OK) return Fail(rc);
  db_.SetBusyTimeout(busy_timeout_ms);
  if (db_.read_only()) {
    StoreStatus s{StoreTrouble::kReadOnly, SQLITE_READONLY, "opened for reading only"};
    Close();
    return s;
  }
  const SchemaResult schema = Migrate(db_);
  if (schema.newer) {
    StoreStatus s{StoreTrouble::kNewer, SQLITE_OK,
                  "schema version " + std::to_string(schema.found) + ", this program knows " +
                      std::to_string(kSchemaVersion)};
    Close();
    return s;
  }
  if (schema.code != SQLITE_OK) {
    StoreStatus s = Fail(schema.code);
    Close();
    return s;
  }
  // A log left large by a failure (a full disk) goes into the file and is cut back to nothing,
  // so that its space is free for the rounds that wait.
  std::int64_t busy = 0;
  if (!db_.QueryInt("PRAGMA wal_checkpoint(TRUNCATE)", &busy, &rc)) {
    StoreStatus s = Fail(rc);
    Close();
    return s;
  }
  StoreStatus s = Prepare();
  if (s.ok()) s = EnsureRun(run);
  struct stat st {};
  if (s.ok() && stat(path.c_str(), &st) != 0) s = StoreStatus{StoreTrouble::kCantOpen, 0, "gone"};
  if (!s.ok()) {
    Close();
    return s;
  }
  path_ = path;
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  return s;
}

bool HistoryStore::StillAtPath() const {
  struct stat st {};
  return stat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_;
}

void HistoryStore::Close() {
  insert_round_ = Statement();
  insert_alarm_ = Statement();
  insert_port_ = Statement();
  db_.Close();
  run_id_ = 0;
}

StoreStatus HistoryStore::Prepare() {
  int rc = 0;
  insert_round_ = db_.Prepare(InsertRoundSql(), &rc);
  if (rc != SQLITE_OK) return Fail(rc);
  insert_alarm_ = db_.Prepare(
      "INSERT INTO alarms (data_id, round_id, received_ms, received_utc, record_time, state, "
      "key, label, value, limit_value, run_id) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, "
      "?11)",
      &rc);
  if (rc != SQLITE_OK) return Fail(rc);
  insert_port_ = db_.Prepare(
      "INSERT INTO port_events (data_id, received_ms, received_utc, state, path, detail, run_id) "
      "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)",
      &rc);
  if (rc != SQLITE_OK) return Fail(rc);
  return {};
}

int HistoryStore::Exec(Statement& st) {
  const int rc = st.Step();
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

StoreStatus HistoryStore::EnsureRun(const RunInfo& run) {
  int rc = 0;
  Statement find = db_.Prepare("SELECT id FROM runs WHERE started_ms = ?1 AND pid = ?2", &rc);
  if (rc != SQLITE_OK) return Fail(rc);
  find.Bind(1, run.started_ms);
  find.Bind(2, static_cast<std::int64_t>(run.pid));
  rc = find.Step();
  if (rc == SQLITE_ROW) {
    run_id_ = find.ColumnInt(0);
    find.Reset();
    return {};
  }
  if (rc != SQLITE_DONE) return Fail(rc);

  if ((rc = db_.Exec("BEGIN IMMEDIATE")) != SQLITE_OK) return Fail(rc);
  Statement add = db_.Prepare(
      "INSERT INTO runs (started_ms, started_utc, pid, host_version, sources, time_scale) "
      "VALUES (?1, ?2, ?3, ?4, ?5, ?6)",
      &rc);
  if (rc == SQLITE_OK) {
    add.Bind(1, run.started_ms);
    add.Bind(2, UtcText(run.started_ms));
    add.Bind(3, static_cast<std::int64_t>(run.pid));
    add.Bind(4, run.host_version);
    add.Bind(5, JoinLines(run.sources));
    add.Bind(6, run.time_scale);
    rc = Exec(add);
  }
  const std::int64_t id = db_.LastInsertId();
  Statement dev;
  if (rc == SQLITE_OK) {
    dev = db_.Prepare(
        "INSERT OR REPLACE INTO run_devices (run_id, data_id, name, type, cells, line, port, "
        "bus_address) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)",
        &rc);
  }
  for (std::size_t i = 0; rc == SQLITE_OK && i < run.devices.size(); ++i) {
    const auto& d = run.devices[i];
    dev.Bind(1, id);
    dev.Bind(2, static_cast<std::int64_t>(d.data_id));
    dev.Bind(3, d.name);
    dev.Bind(4, d.type);
    dev.Bind(5, static_cast<std::int64_t>(d.cells));
    dev.Bind(6, static_cast<std::int64_t>(d.line));
    dev.Bind(7, d.port);
    dev.Bind(8, static_cast<std::int64_t>(d.bus_address));
    rc = Exec(dev);
  }
  if (rc == SQLITE_OK) rc = db_.Exec("COMMIT");
  if (rc != SQLITE_OK) {
    StoreStatus s = Fail(rc);
    db_.Exec("ROLLBACK");
    return s;
  }
  run_id_ = id;
  return {};
}

StoreStatus HistoryStore::Write(const Unit* units, std::size_t count) {
  int rc = db_.Exec("BEGIN IMMEDIATE");
  if (rc != SQLITE_OK) return Fail(rc);
  StoreStatus s;
  for (std::size_t k = 0; s.ok() && k < count; ++k) {
    const Unit& unit = units[k];
    s = std::holds_alternative<RoundUnit>(unit) ? WriteRound(std::get<RoundUnit>(unit))
                                                : WritePort(std::get<PortUnit>(unit));
  }
  if (s.ok() && (rc = db_.Exec("COMMIT")) != SQLITE_OK) s = Fail(rc);
  if (!s.ok()) db_.Exec("ROLLBACK");
  return s;
}

StoreStatus HistoryStore::WriteRound(const RoundUnit& r) {
  std::optional<std::string> record_time;
  std::int64_t round_id = 0;
  if (r.has_record) {
    const RecordValues v = DecodeRecord(r.raw);
    record_time = RecordTimeText(v.stamp);
    Statement& st = insert_round_;
    int i = 1;
    st.Bind(i++, static_cast<std::int64_t>(r.data_id));
    st.Bind(i++, r.at_ms);
    st.Bind(i++, UtcText(r.at_ms));
    BindTime(st, i++, record_time);
    st.BindBlob(i++, v.stamp.data(), static_cast<int>(v.stamp.size()));
    st.Bind(i++, static_cast<std::int64_t>(r.cells));
    st.Bind(i++, static_cast<double>(v.group_voltage));
    st.Bind(i++, static_cast<double>(v.group_current));
    st.Bind(i++, static_cast<double>(v.temperature));
    // A cell outside the window has no reading: NULL, so that min() and avg() are right.
    for (int c = 0; c < kRecordCells; ++c) {
      if (r.reading[c]) {
        st.Bind(i++, static_cast<double>(v.cells[c]));
      } else {
        st.BindNull(i++);
      }
    }
    st.BindBlob(i++, r.raw.data(), static_cast<int>(r.raw.size()));
    st.Bind(i++, run_id_);
    BindSpan(st, i, r.span);
    st.Bind(i + 13, static_cast<std::int64_t>(r.number[0] - 1));  // the string's numbering
    const int rc = Exec(st);
    if (rc != SQLITE_OK) return Fail(rc);
    round_id = db_.LastInsertId();
  }
  for (const AlarmRow& a : r.alarms) {
    Statement& st = insert_alarm_;
    st.Bind(1, static_cast<std::int64_t>(a.data_id));
    if (round_id) {
      st.Bind(2, round_id);
    } else {
      st.BindNull(2);
    }
    st.Bind(3, a.at_ms);
    st.Bind(4, UtcText(a.at_ms));
    BindTime(st, 5, record_time);
    st.Bind(6, std::string(a.raised ? "raised" : "cleared"));
    st.Bind(7, a.key);
    st.Bind(8, a.label);
    st.Bind(9, static_cast<double>(a.value));
    st.Bind(10, static_cast<double>(a.limit));
    st.Bind(11, run_id_);
    const int rc = Exec(st);
    if (rc != SQLITE_OK) return Fail(rc);
  }
  return {};
}

StoreStatus HistoryStore::WritePort(const PortUnit& p) {
  Statement& st = insert_port_;
  st.Bind(1, static_cast<std::int64_t>(p.data_id));
  st.Bind(2, p.at_ms);
  st.Bind(3, UtcText(p.at_ms));
  st.Bind(4, p.state);
  st.Bind(5, p.path);
  st.Bind(6, p.detail);
  st.Bind(7, run_id_);
  const int rc = Exec(st);
  return rc == SQLITE_OK ? StoreStatus{} : Fail(rc);
}

StoreStatus HistoryStore::PruneStep(std::int64_t cutoff_ms, int rows, int* deleted) {
  *deleted = 0;
  int rc = db_.Exec("BEGIN IMMEDIATE");
  if (rc != SQLITE_OK) return Fail(rc);
  // Alarms first: an alarm is never younger than its round, so none is left pointing at a round
  // that is gone.
  static const char* const kSteps[] = {
      "DELETE FROM alarms WHERE id IN "
      "(SELECT id FROM alarms WHERE received_ms < ?1 ORDER BY received_ms LIMIT ?2)",
      "DELETE FROM port_events WHERE id IN "
      "(SELECT id FROM port_events WHERE received_ms < ?1 ORDER BY received_ms LIMIT ?2)",
      "DELETE FROM rounds WHERE id IN "
      "(SELECT id FROM rounds WHERE received_ms < ?1 ORDER BY received_ms LIMIT ?2)",
      "DELETE FROM run_devices WHERE run_id IN (SELECT id FROM runs r WHERE started_ms < ?1 "
      "AND id <> ?3 AND NOT EXISTS (SELECT 1 FROM rounds WHERE run_id = r.id) LIMIT ?2)",
      "DELETE FROM runs WHERE id IN (SELECT id FROM runs r WHERE started_ms < ?1 AND id <> ?3 "
      "AND NOT EXISTS (SELECT 1 FROM rounds WHERE run_id = r.id) LIMIT ?2)",
  };
  for (const char* sql : kSteps) {
    const int left = rows - *deleted;
    if (left <= 0) break;
    Statement st = db_.Prepare(sql, &rc);
    if (rc == SQLITE_OK) {
      st.Bind(1, cutoff_ms);
      st.Bind(2, static_cast<std::int64_t>(left));
      st.Bind(3, run_id_);
      rc = Exec(st);
    }
    if (rc != SQLITE_OK) {
      StoreStatus s = Fail(rc);
      db_.Exec("ROLLBACK");
      *deleted = 0;
      return s;
    }
    *deleted += db_.Changes();
  }
  if ((rc = db_.Exec("COMMIT")) != SQLITE_OK) {
    StoreStatus s = Fail(rc);
    db_.Exec("ROLLBACK");
    *deleted = 0;
    return s;
  }
  // Hand the freed pages back to the file system, a few at a time.
  if (*deleted > 0 && (rc = db_.Exec("PRAGMA incremental_vacuum(64)")) != SQLITE_OK)
    return Fail(rc);
  return {};
}

}  // namespace history

#pragma once

// Records, events and database reads for the history store's tests. Records are built here
// field by field with the byte-order helpers, never with the code under test.

#include <sqlite3.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "battery/byte_order.h"
#include "battery_host/outputs/history/history_output.h"

namespace history_test {

using Bytes = std::vector<unsigned char>;
using outputs::WallClock;

// 2026-03-02T09:15:07.250Z
constexpr std::int64_t kT0Ms = 1772442907250;

inline outputs::WallClock::time_point At(std::int64_t ms) {
  return outputs::WallClock::time_point(std::chrono::milliseconds(ms));
}

struct RecordFields {
  std::uint32_t id = 1;
  std::vector<float> cells;
  float group_voltage = 0.0f;
  float group_current = 0.0f;
  float temperature = 0.0f;
  std::array<std::uint8_t, 7> stamp{};
};

// year LE16, month, day, hour, minute, second
inline std::array<std::uint8_t, 7> Stamp(int year, int mon, int day, int h, int m, int s) {
  return {static_cast<std::uint8_t>(year & 0xff),
          static_cast<std::uint8_t>(year >> 8),
          static_cast<std::uint8_t>(mon),
          static_cast<std::uint8_t>(day),
          static_cast<std::uint8_t>(h),
          static_cast<std::uint8_t>(m),
          static_cast<std::uint8_t>(s)};
}

inline Bytes BuildRecord(const RecordFields& f) {
  Bytes b(152, 0);
  byte_order::WriteLe32(b.data(), f.id);
  for (std::size_t i = 0; i < f.cells.size() && i < 32; ++i) {
    byte_order::WriteLeFloat(b.data() + 4 + 4 * i, f.cells[i]);
  }
  byte_order::WriteLeFloat(b.data() + 132, f.group_voltage);
  byte_order::WriteLeFloat(b.data() + 136, f.group_current);
  byte_order::WriteLeFloat(b.data() + 141, f.temperature);
  for (int i = 0; i < 7; ++i) b[145 + i] = f.stamp[i];
  return b;
}

inline outputs::HostEvent HistoryEvent(unsigned data_id, std::int64_t at_ms, const Bytes& record) {
  outputs::HostEvent e;
  e.kind = outputs::EventKind::kHistory;
  e.data_id = data_id;
  e.at = At(at_ms);
  e.bytes = record;
  return e;
}

inline outputs::HostEvent AlarmEvent(unsigned data_id, std::int64_t at_ms, const std::string& key,
                                     const std::string& label, float value, float limit,
                                     bool raised) {
  outputs::HostEvent e;
  e.kind = outputs::EventKind::kAlarm;
  e.data_id = data_id;
  e.at = At(at_ms);
  e.rule.key = key;
  e.rule.label = label;
  e.rule.value = value;
  e.rule.limit = limit;
  e.raised = raised;
  return e;
}

inline outputs::HostEvent PortEvent(unsigned data_id, std::int64_t at_ms, const std::string& state,
                                    const std::string& path, const std::string& detail) {
  outputs::HostEvent e;
  e.kind = outputs::EventKind::kPort;
  e.data_id = data_id;
  e.at = At(at_ms);
  e.state = state;
  e.path = path;
  e.detail = detail;
  return e;
}

inline outputs::DeviceInfo Device(unsigned data_id, int cells,
                                  const std::string& type = "ondrell_20", int line = 0,
                                  const std::string& port = "sim", std::uint8_t address = 0x01) {
  outputs::DeviceInfo d;
  d.data_id = data_id;
  d.name = "string " + std::to_string(data_id);
  d.type = type;
  d.cells = cells;
  d.line = line;
  d.port = port;
  d.bus_address = address;
  return d;
}

// A record numbered n: 20 cells 12.00 + (n mod 200)/100 (cell 3 lower by 0.5; all inside the
// 12 V block's window), the temperature n.
inline Bytes NumberedRecord(int n, unsigned data_id = 1) {
  RecordFields f;
  f.id = data_id;
  for (int i = 0; i < 20; ++i) {
    f.cells.push_back(12.0f + (n % 200) / 100.0f - (i == 2 ? 0.5f : 0.0f));
  }
  f.group_voltage = 240.0f + n;
  f.group_current = -30.0f;
  f.temperature = static_cast<float>(n);
  f.stamp = Stamp(2026, 3, 2, 10, n / 60 % 60, n % 60);
  return BuildRecord(f);
}

// The notices an output gives, awaitable.
class Notices {
 public:
  outputs::NoticeFn Fn() {
    return [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line);
      cv_.notify_all();
    };
  }
  // True once `count` notices have come (default: one more than `seen`).
  bool WaitCount(std::size_t count, int timeout_ms = 10000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                        [&] { return lines_.size() >= count; });
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
};

// A fresh folder under TMPDIR, removed with its contents at the end.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/history_test.XXXXXX";
    path_ = mkdtemp(tmpl.data()) ? tmpl : std::string();
  }
  ~TempDir() {
    if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
  }
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Options for tests: short retries and timeouts, so failure cases finish quickly.
inline history::HistoryOptions TestOptions(const std::string& path) {
  history::HistoryOptions o;
  o.path = path;
  o.retry_ms = 50;
  o.busy_timeout_ms = 20;
  o.commit_window_ms = 0;
  o.host_version = "battery-host test";
  o.sources = {"sim"};
  return o;
}

// A plain connection of the test's own to look at (or lock) the database.
class Sql {
 public:
  explicit Sql(const std::string& path, int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) {
    sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
  }
  ~Sql() { sqlite3_close_v2(db_); }
  sqlite3* db() const { return db_; }
  int Exec(const std::string& sql) {
    return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
  }
  // All rows of a query, each column as text ("NULL" for NULL, blobs as lowercase hex).
  std::vector<std::vector<std::string>> Rows(const std::string& sql) {
    std::vector<std::vector<std::string>> rows;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
      rows.push_back({"error: " + std::string(sqlite3_errmsg(db_))});
      return rows;
    }
    while (sqlite3_step(st) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int i = 0; i < sqlite3_column_count(st); ++i) {
        const int type = sqlite3_column_type(st, i);
        if (type == SQLITE_NULL) {
          row.push_back("NULL");
        } else if (type == SQLITE_BLOB) {
          const auto* p = static_cast<const unsigned char*>(sqlite3_column_blob(st, i));
          static const char* hex = "0123456789abcdef";
          std::string s;
          for (int k = 0; k < sqlite3_column_bytes(st, i); ++k) {
            s += hex[p[k] >> 4];
            s += hex[p[k] & 15];
          }
          row.push_back(s);
        } else {
          row.push_back(reinterpret_cast<const char*>(sqlite3_column_text(st, i)));
        }
      }
      rows.push_back(row);
    }
    sqlite3_finalize(st);
    return rows;
  }
  // The first row's columns as doubles; NaN stands for NULL.
  std::vector<double> Reals(const std::string& sql) {
    std::vector<double> row;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW) {
      for (int i = 0; i < sqlite3_column_count(st); ++i) {
        row.push_back(sqlite3_column_type(st, i) == SQLITE_NULL ? std::nan("")
                                                                : sqlite3_column_double(st, i));
      }
    }
    sqlite3_finalize(st);
    return row;
  }
  std::string One(const std::string& sql) {
    auto rows = Rows(sql);
    return rows.empty() || rows[0].empty() ? "(none)" : rows[0][0];
  }

 private:
  sqlite3* db_ = nullptr;
};

inline std::string Hex(const Bytes& b) {
  static const char* hex = "0123456789abcdef";
  std::string s;
  for (unsigned char c : b) {
    s += hex[c >> 4];
    s += hex[c & 15];
  }
  return s;
}

// Polls a condition that no event announces (rows appearing in another process's database).
inline bool Eventually(const std::function<bool()>& done, int timeout_ms = 10000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace history_test

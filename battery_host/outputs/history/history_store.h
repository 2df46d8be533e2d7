#pragma once

// The history database as the worker thread uses it: open (and migrate), write units in one
// transaction, prune in small steps. Synchronous and single-threaded; the caller decides when to
// retry. After any failed call the caller closes the store and opens it again later, so that a
// file replaced or repaired meanwhile is seen afresh.

#include <cstdint>
#include <string>
#include <vector>

#include "battery_host/outputs/history/history_row.h"
#include "battery_host/outputs/history/schema.h"
#include "battery_host/outputs/history/sqlite_db.h"

namespace history {

// The host run that writes, kept once per file in `runs` and `run_devices`.
struct RunInfo {
  std::int64_t started_ms = 0;
  long long pid = 0;  // with started_ms, tells this run's row from others
  std::string host_version;
  std::vector<std::string> sources;
  double time_scale = 1.0;
  std::vector<outputs::DeviceInfo> devices;
};

struct StoreStatus {
  StoreTrouble trouble = StoreTrouble::kNone;
  int code = 0;         // SQLite result code
  std::string message;  // SQLite's text
  bool ok() const { return trouble == StoreTrouble::kNone; }
};

class HistoryStore {
 public:
  StoreStatus Open(const std::string& path, const std::string& vfs, int busy_timeout_ms,
                   const RunInfo& run);
  void Close();
  bool open() const { return db_.open(); }
  // False once the file at the path is no longer the one opened (removed, or replaced by
  // another): what is written would go to a file nobody can find.
  bool StillAtPath() const;

  // Rounds with their alarms and port events, all in one transaction.
  StoreStatus Write(const Unit* units, std::size_t count);
  // Deletes at most `rows` rows received before `cutoff_ms` (alarms, port events, then rounds,
  // then the runs left without rounds) in one transaction; `deleted` tells how many went.
  StoreStatus PruneStep(std::int64_t cutoff_ms, int rows, int* deleted);

 private:
  StoreStatus Fail(int code);
  StoreStatus Prepare();
  StoreStatus EnsureRun(const RunInfo& run);
  StoreStatus WriteRound(const RoundUnit& round);
  StoreStatus WritePort(const PortUnit& port);
  int Exec(Statement& st);

  Db db_;
  std::string path_;
  unsigned long long dev_ = 0, ino_ = 0;
  std::int64_t run_id_ = 0;
  Statement insert_round_;
  Statement insert_alarm_;
  Statement insert_port_;
};

}  // namespace history

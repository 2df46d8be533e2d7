#pragma once

// battery-host's history database: the rounds the devices save as history that matter (the
// others folded into the next stored row, thinning.h), the alarms their threshold batches raised
// or cleared, and the lines' port events, in SQLite (WAL).
//
// The poll thread only copies events into a queue; a thread of this output's own writes them,
// the rounds received within one second (with their alarms) in one transaction. When the database
// cannot be written (locked, read-only, full, damaged) the person is told once, the rounds wait in
// a bounded backlog in memory, and the worker retries every few seconds; once the file can be
// written again the backlog goes in with the rounds' own times. Do not wrap this output in
// AsyncOutput: it has its own thread.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "battery_host/outputs/history/thinning.h"
#include "battery_host/outputs/output.h"
#include "battery_host/support/said_once.h"

namespace history {

struct HistoryOptions {
  std::string path;                  // --history FILE
  int keep_days = 0;                 // --history-keep DAYS; 0 keeps everything
  double time_scale = 1.0;           // simulated seconds per real second (1: real time)
  std::string host_version;          // e.g. "battery-host 1.4.0"
  std::vector<std::string> sources;  // what the devices were read from, e.g. "sim", "/dev/ttyUSB0"

  // Tuning; the defaults are what the host uses.
  ThinningRules thinning;  // which rounds are rows (--history-every-round: all)
  // Rounds received within this long of each other go in one transaction (a site's devices
  // finish their rounds within the same second); 0: each at once.
  int commit_window_ms = 1000;
  int retry_ms = 3000;                // retry period while the database cannot be written
  std::size_t backlog_limit = 20000;  // rounds and port events kept in memory meanwhile
  std::size_t queue_limit = 65536;    // events between the poll thread and the worker
  int busy_timeout_ms = 1000;         // how long one write waits for another program's lock
  int prune_every_ms = 60000;         // retention check period (and once at start)
  int prune_step_rows = 300;          // rows per retention transaction
  int stop_drain_ms = 3000;           // Stop() writes what is pending for at most this long
  std::string vfs;                    // SQLite VFS name; empty: the default
  // Wall clock for the run's start time and the retention cutoff; empty: the system clock.
  std::function<outputs::WallClock::time_point()> clock;
};

class HistoryOutput : public outputs::Output {
 public:
  explicit HistoryOutput(HistoryOptions options);
  ~HistoryOutput() override;
  HistoryOutput(const HistoryOutput&) = delete;
  HistoryOutput& operator=(const HistoryOutput&) = delete;

  void Start(const std::vector<outputs::DeviceInfo>& devices,
             const outputs::NoticeFn& notice) override;
  void Take(const outputs::HostEvent& event) override;
  void Stop() override;

  // The device's save interval was changed while running (the host's control code 100): its
  // rows follow the new one from its next round on. Thread-safe.
  void SetSaveInterval(unsigned int data_id, int seconds);

  struct Counters {
    std::uint64_t rounds_written = 0;  // rows, each standing for one round or more
    std::uint64_t commits = 0;         // transactions of rounds and port events
    std::uint64_t alarms_written = 0;
    std::uint64_t port_events_written = 0;
    std::uint64_t backlog_dropped = 0;  // oldest entries dropped from a full backlog
    std::uint64_t queue_dropped = 0;    // events dropped because the worker fell behind
    std::uint64_t pruned = 0;           // rows removed by retention
    std::size_t backlog = 0;            // entries waiting now
  };
  Counters counters() const;
  // Waits until everything taken so far is written (true) or the timeout passes (false); the
  // rounds of the last second are written without waiting for others of that second. Rounds
  // folded into a later row are taken care of.
  bool WaitWritten(std::chrono::milliseconds timeout) const;

 private:
  struct Worker;
  void Work();

  HistoryOptions options_;
  std::vector<outputs::DeviceInfo> devices_;
  outputs::NoticeFn notice_;
  outputs::WallClock::time_point started_;

  mutable std::mutex mutex_;
  mutable std::condition_variable wake_;
  mutable std::condition_variable idle_;
  std::deque<outputs::HostEvent> queue_;
  bool stopping_ = false;
  bool working_ = false;
  support::SaidOnce queue_falling_behind_;
  mutable bool flush_requested_ = false;
  std::vector<std::pair<unsigned int, int>> interval_changes_;
  Counters counters_;
  std::thread worker_;
};

// The one line a person must act on before the host starts, or "" when the path will do: the
// path exists and is not a regular file (a FIFO is seen without opening it for long: the check
// opens non-blocking), its folder does not exist, or the file (its header, or the write-ahead
// log beside it) says it was written by a newer program. Anything else (locked, read-only,
// damaged) is reported while running.
std::string CheckHistoryPath(const std::string& path);

// Checks the path (above) on the caller's thread; nullptr and `error` set when it will not do.
std::unique_ptr<HistoryOutput> MakeHistoryOutput(const HistoryOptions& options, std::string* error);

}  // namespace history

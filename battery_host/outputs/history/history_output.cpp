#include "battery_host/outputs/history/history_output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <utility>

#include "battery_host/outputs/history/history_store.h"
#include "battery_host/support/bounded_queue.h"
#include "battery_host/support/said_once.h"

namespace history {

using outputs::EventKind;
using Steady = std::chrono::steady_clock;

// Rounds broken off in a row, with none completed, that make the next completed round a row.
constexpr std::uint64_t kGapRounds = 3;
// Units in one transaction at most (a backlog written after a trouble goes in steps).
constexpr std::size_t kBatchLimit = 256;

// Everything the worker thread alone touches.
struct HistoryOutput::Worker {
  HistoryOutput& out;
  const HistoryOptions& opt;
  RunInfo run;
  RoundAssembler assembler;
  HistoryStore store;
  // Units waiting to be written, with the time each was taken (a second's rounds wait for the
  // others of that second at most that long).
  struct Waiting {
    Unit unit;
    Steady::time_point taken;
  };
  std::deque<Waiting> backlog;
  std::map<unsigned int, DeviceThinner> thinners;
  std::map<unsigned int, RoundUnit> folded_last;  // the last round folded, per device
  std::map<unsigned int, outputs::DeviceStatus> last_turn;
  bool flushing = false;  // write the last second's units too (a wait for everything, a stop)
  StoreTrouble trouble = StoreTrouble::kNone;
  support::SaidOnce cannot_write;  // from a trouble's first line to "can be written again"
  support::SaidOnce overflow;      // the backlog's limit, said once per trouble
  support::SaidOnce wrong_size;    // a history record of the wrong size, said once for the run
  std::uint64_t kept_since_trouble = 0;  // entries written from memory after the trouble began
  std::uint64_t dropped_since_trouble = 0;
  Steady::time_point next_open;
  Steady::time_point next_prune;

  Worker(HistoryOutput& o, RunInfo r)
      : out(o), opt(o.options_), run(std::move(r)), assembler(out.devices_) {
    next_open = next_prune = Steady::now();
  }

  void Tell(const std::string& line, outputs::NoticeKind kind = outputs::NoticeKind::kTrouble) {
    if (out.notice_) out.notice_({"history: " + line, kind});
  }

  void Push(Unit unit) {
    backlog.push_back(Waiting{std::move(unit), Steady::now()});
    if (backlog.size() <= opt.backlog_limit) return;
    backlog.pop_front();
    ++dropped_since_trouble;
    {
      std::lock_guard<std::mutex> lock(out.mutex_);
      ++out.counters_.backlog_dropped;
    }
    if (overflow.Begin()) {
      Tell(std::to_string(opt.backlog_limit) + " entries wait in memory, the most kept; the " +
           "oldest are dropped until " + opt.path + " can be written");
    }
  }

  // Durations are the string's own: a simulated run that goes faster keeps its rounds as the
  // same run in real time would.
  std::int64_t ScaledMs(double seconds) const {
    const double scale = opt.time_scale > 0 ? opt.time_scale : 1.0;
    return static_cast<std::int64_t>(seconds * 1000.0 / scale);
  }

  DeviceThinner& ThinnerOf(unsigned int data_id) {
    auto it = thinners.find(data_id);
    if (it != thinners.end()) return it->second;
    int seconds = 28800;  // the device's default
    for (const auto& d : out.devices_) {
      if (d.data_id == data_id) seconds = d.save_interval_s;
    }
    ThinningRules rules = opt.thinning;
    rules.active_hold_ms = ScaledMs(rules.active_hold_ms / 1000.0);
    return thinners.emplace(data_id, DeviceThinner(rules, ScaledMs(seconds))).first->second;
  }

  // A round is stored (with the span it stands for) or folded into the next stored one.
  void Thin(RoundUnit unit) {
    if (!unit.has_record) {
      Push(Unit(std::move(unit)));
      return;
    }
    DeviceThinner& thinner = ThinnerOf(unit.data_id);
    if (auto span = thinner.Take(ValuesOf(unit))) {
      unit.span = *span;
      folded_last.erase(unit.data_id);
      Push(Unit(std::move(unit)));
    } else {
      folded_last[unit.data_id] = std::move(unit);
    }
  }

  // Rounds lost meanwhile make the next round a row of its own: the module stopped answering, its
  // port went away, or several rounds in a row broke off.
  void TurnEnded(const outputs::HostEvent& e) {
    auto seen = last_turn.find(e.data_id);
    if (seen == last_turn.end()) {
      last_turn[e.data_id] = e.status;
      return;
    }
    outputs::DeviceStatus& before = seen->second;
    const bool completed = e.status.rounds_completed != before.rounds_completed;
    if (e.status.stalled || !e.status.port_up ||
        (!completed && e.status.rounds_abandoned >= before.rounds_abandoned + kGapRounds)) {
      ThinnerOf(e.data_id).MarkGap();
    }
    if (completed || e.status.stalled || !e.status.port_up) before = e.status;
  }

  // At a stop: what is folded goes in as a row of the last folded round.
  void FlushFolded() {
    for (auto& [data_id, thinner] : thinners) {
      auto last = folded_last.find(data_id);
      auto span = thinner.Flush();
      if (!span || last == folded_last.end()) continue;
      last->second.span = *span;
      Push(Unit(std::move(last->second)));
    }
    folded_last.clear();
  }

  void Take(const outputs::HostEvent& e) {
    if (e.kind == outputs::EventKind::kTurnEnd) {
      TurnEnded(e);
      return;
    }
    if (e.kind == outputs::EventKind::kPort && e.state != "open") ThinnerOf(e.data_id).MarkGap();
    const std::uint64_t wrong = assembler.wrong_size();
    if (auto unit = assembler.Take(e)) {
      if (auto* round = std::get_if<RoundUnit>(&*unit)) {
        Thin(std::move(*round));
      } else {
        Push(std::move(*unit));
      }
    }
    if (assembler.wrong_size() != wrong && wrong_size.Begin()) {
      Tell("a history record of " + std::to_string(e.bytes.size()) + " bytes from data id " +
           std::to_string(e.data_id) + " is not stored (records are " +
           std::to_string(kRecordSize) + " bytes)");
    }
  }

  void Failed(const StoreStatus& s) {
    store.Close();
    next_open = Steady::now() + std::chrono::milliseconds(opt.retry_ms);
    if (s.trouble == trouble) return;
    if (cannot_write.Begin()) {
      kept_since_trouble = 0;
      dropped_since_trouble = 0;
    }
    trouble = s.trouble;
    std::string why = TroubleText(s.trouble);
    if (s.trouble == StoreTrouble::kOther || s.trouble == StoreTrouble::kIo ||
        s.trouble == StoreTrouble::kCantOpen || s.trouble == StoreTrouble::kNewer) {
      why += " (" + s.message + ")";
    }
    Tell("cannot write " + opt.path + ": " + why + "; rounds wait in memory, retrying every " +
         std::to_string((opt.retry_ms + 999) / 1000) + " s");
  }

  // The backlog is empty and the file took everything: say so once after a trouble.
  void MaybeRecovered() {
    if (!cannot_write.said() || !store.open() || !backlog.empty()) return;
    cannot_write.Over();
    overflow.Over();
    trouble = StoreTrouble::kNone;
    std::string line = opt.path + " can be written again; " + std::to_string(kept_since_trouble) +
                       " entries kept in memory written";
    if (dropped_since_trouble) line += ", " + std::to_string(dropped_since_trouble) + " dropped";
    Tell(line, outputs::NoticeKind::kOver);
  }

  bool EnsureOpen(bool force) {
    if (store.open()) return true;
    if (!force && Steady::now() < next_open) return false;
    // Checked again before every open: SQLite would wait forever opening a FIFO put there
    // since the start.
    struct stat st {};
    if (stat(opt.path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      Failed(StoreStatus{StoreTrouble::kCantOpen, 0, "not a regular file"});
      return false;
    }
    const StoreStatus s = store.Open(opt.path, opt.vfs, opt.busy_timeout_ms, run);
    if (!s.ok()) {
      Failed(s);
      return false;
    }
    return true;
  }

  // The file at the path is checked before each write: a removed database would otherwise take
  // every later round with it, unseen.
  bool StillOurs() {
    if (!store.open() || store.StillAtPath()) return true;
    Tell(opt.path + " was removed or replaced while the host ran; a new database is started there");
    store.Close();
    return EnsureOpen(true);
  }

  static std::int64_t AtOf(const Unit& u) {
    if (const auto* r = std::get_if<RoundUnit>(&u)) return r->at_ms;
    return std::get<PortUnit>(u).at_ms;
  }

  // How many units from the front make the next transaction: those received within one second
  // of the first. 0 while that second may still bring rounds of other devices.
  std::size_t NextBatch() const {
    if (backlog.empty()) return 0;
    const std::int64_t first = AtOf(backlog.front().unit);
    std::size_t n = 0;
    while (n < backlog.size() && n < kBatchLimit &&
           AtOf(backlog[n].unit) < first + opt.commit_window_ms) {
      ++n;
    }
    const bool complete =
        n < backlog.size() || n == kBatchLimit || flushing || opt.commit_window_ms <= 0 ||
        Steady::now() >= backlog.front().taken + std::chrono::milliseconds(opt.commit_window_ms);
    if (n == 0 && !backlog.empty()) n = 1;  // a unit received out of order goes alone
    return complete ? n : 0;
  }

  // Writes at most `limit` transactions; false on a failure.
  bool WriteSome(std::size_t limit) {
    if (!StillOurs()) return false;
    for (std::size_t t = 0; t < limit; ++t) {
      const std::size_t n = NextBatch();
      if (n == 0) break;
      std::vector<Unit> units;
      units.reserve(n);
      for (std::size_t k = 0; k < n; ++k) units.push_back(backlog[k].unit);
      const StoreStatus s = store.Write(units.data(), units.size());
      if (!s.ok()) {
        Failed(s);
        return false;
      }
      {
        std::lock_guard<std::mutex> lock(out.mutex_);
        ++out.counters_.commits;
        for (const Unit& u : units) {
          if (const auto* r = std::get_if<RoundUnit>(&u)) {
            out.counters_.rounds_written += r->has_record ? 1 : 0;
            out.counters_.alarms_written += r->alarms.size();
          } else {
            ++out.counters_.port_events_written;
          }
        }
      }
      if (cannot_write.said()) kept_since_trouble += n;
      backlog.erase(backlog.begin(), backlog.begin() + static_cast<std::ptrdiff_t>(n));
    }
    if (backlog.empty()) flushing = false;
    return true;
  }

  void PruneIfDue() {
    if (opt.keep_days <= 0 || !store.open() || Steady::now() < next_prune) return;
    const auto now = opt.clock ? opt.clock() : outputs::WallClock::now();
    const std::int64_t cutoff = ToMs(now) - static_cast<std::int64_t>(opt.keep_days) * 86400000;
    int deleted = 0;
    const StoreStatus s = store.PruneStep(cutoff, opt.prune_step_rows, &deleted);
    if (!s.ok()) {
      Failed(s);
      return;
    }
    {
      std::lock_guard<std::mutex> lock(out.mutex_);
      out.counters_.pruned += static_cast<std::uint64_t>(deleted);
    }
    // A full step means more is due: the next step follows after the waiting rounds.
    next_prune = deleted >= opt.prune_step_rows
                     ? Steady::now()
                     : Steady::now() + std::chrono::milliseconds(opt.prune_every_ms);
  }

  Steady::time_point NextWake() const {
    Steady::time_point t = Steady::time_point::max();
    if (!store.open()) t = next_open;
    if (opt.keep_days > 0 && next_prune < t) t = next_prune;
    if (store.open() && !backlog.empty()) {
      const auto due = backlog.front().taken + std::chrono::milliseconds(opt.commit_window_ms);
      if (due < t) t = due;
    }
    return t;
  }

  void Publish() {
    std::lock_guard<std::mutex> lock(out.mutex_);
    out.counters_.backlog = backlog.size();
  }
};

HistoryOutput::HistoryOutput(HistoryOptions options) : options_(std::move(options)) {}

HistoryOutput::~HistoryOutput() { Stop(); }

void HistoryOutput::Start(const std::vector<outputs::DeviceInfo>& devices,
                          const outputs::NoticeFn& notice) {
  devices_ = devices;
  notice_ = notice;
  started_ = options_.clock ? options_.clock() : outputs::WallClock::now();
  worker_ = std::thread([this] { Work(); });
}

void HistoryOutput::Take(const outputs::HostEvent& event) {
  if (event.kind != outputs::EventKind::kHistory && event.kind != outputs::EventKind::kAlarm &&
      event.kind != outputs::EventKind::kPort && event.kind != outputs::EventKind::kTurnEnd) {
    return;
  }
  bool tell = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    tell = support::PushOrDrop(queue_, options_.queue_limit, event, &counters_.queue_dropped,
                               &queue_falling_behind_);
  }
  if (tell && notice_) notice_("history: the writer fell behind; events are dropped");
  wake_.notify_one();
}

void HistoryOutput::Work() {
  RunInfo run;
  run.started_ms = ToMs(started_);
  run.pid = static_cast<long long>(getpid());
  run.host_version = options_.host_version;
  run.sources = options_.sources;
  run.time_scale = options_.time_scale;
  run.devices = devices_;
  Worker w(*this, std::move(run));
  std::deque<outputs::HostEvent> batch;
  bool stop = false;
  std::uint64_t caught_up = 0;
  while (!stop) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      working_ = false;
      idle_.notify_all();
      auto ready = [&] {
        return stopping_ || !queue_.empty() || flush_requested_ ||
               (w.store.open() && w.NextBatch() > 0);
      };
      const auto until = w.NextWake();
      if (until == Steady::time_point::max()) {
        wake_.wait(lock, ready);
      } else {
        wake_.wait_until(lock, until, ready);
      }
      batch.swap(queue_);
      for (const auto& [data_id, seconds] : interval_changes_) {
        w.ThinnerOf(data_id).SetSaveInterval(w.ScaledMs(seconds));
      }
      interval_changes_.clear();
      stop = stopping_;
      if (flush_requested_) w.flushing = true;
      flush_requested_ = false;
      working_ = true;
      if (queue_falling_behind_.Over()) caught_up = counters_.queue_dropped;
    }
    if (caught_up) {
      w.Tell("the writer caught up; " + std::to_string(caught_up) + " events dropped so far",
             outputs::NoticeKind::kOver);
      caught_up = 0;
    }
    for (const auto& e : batch) w.Take(e);
    batch.clear();
    if (stop) break;
    if (w.EnsureOpen(false)) {
      // A few at a time, so that new events keep moving into the backlog while catching up.
      if (w.WriteSome(16)) w.MaybeRecovered();
      w.PruneIfDue();
    }
    w.Publish();
  }

  // Stopping: what is pending goes in for a bounded time, with one more try to open.
  w.FlushFolded();
  for (auto& u : w.assembler.Leftovers()) w.Push(std::move(u));
  w.flushing = true;
  const auto deadline = Steady::now() + std::chrono::milliseconds(options_.stop_drain_ms);
  bool tried = false;
  while (!w.backlog.empty() && Steady::now() < deadline) {
    if (!w.store.open()) {
      if (tried || !w.EnsureOpen(true)) break;
    }
    tried = true;
    if (!w.WriteSome(4)) break;
  }
  w.MaybeRecovered();
  if (!w.backlog.empty()) {
    w.Tell(std::to_string(w.backlog.size()) + " entries not written at exit (" + options_.path +
           ": " + TroubleText(w.trouble == StoreTrouble::kNone ? StoreTrouble::kOther : w.trouble) +
           ")");
  }
  w.store.Close();
  w.Publish();
  std::lock_guard<std::mutex> lock(mutex_);
  working_ = false;
  idle_.notify_all();
}

void HistoryOutput::Stop() {
  if (!worker_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  worker_.join();
}

void HistoryOutput::SetSaveInterval(unsigned int data_id, int seconds) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    interval_changes_.emplace_back(data_id, seconds);
  }
  wake_.notify_one();
}

HistoryOutput::Counters HistoryOutput::counters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counters_;
}

bool HistoryOutput::WaitWritten(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  flush_requested_ = true;
  wake_.notify_all();
  return idle_.wait_for(lock, timeout,
                        [this] { return queue_.empty() && !working_ && counters_.backlog == 0; });
}

}  // namespace history

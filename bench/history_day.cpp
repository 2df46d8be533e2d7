// One simulated day of a site's history: what the history database costs per string and day.
//
// Real ondrell_20 devices on the host's framework poll simulated modules (the same module model
// bms-sim runs) once a simulated second, without a serial line in between, and hand their
// history records, alarms and turn ends to the history output with the simulated time as their
// receive time; so a day takes seconds, and the rows, the bytes and the commits are those the
// host would write in that day. Scenarios:
//   float       float charge with the simulator's own wander of cells, current and temperature
//   discharge   the same day with a one-hour discharge (a 30 A load) from 12:00
//   noisy       float charge on a noisy line (--sim-faults 0.05: every fault kind at 0.05 / 7)
// Printed per scenario: rows per string, bytes per string (main file and log after the final
// checkpoint, less an empty database), commits for the whole site (and per simulated second),
// the rows of the discharge hour against its completed rounds, entries the writer dropped, and
// whether every lowest and highest value of the day (group voltage, current, temperature, cell
// reading) is in the rows with none beyond it.
//
//   history_day [--strings N] [--scenario NAME]... [--every-round] [--seconds N] [--dir DIR]

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <json/value.h>
#include <sqlite3.h>

#include "battery_host/outputs/history/history_output.h"
#include "battery_host/outputs/string_round.h"
#include "host_framework/device_book.h"
#include "host_framework/xqr_controller.h"
#include "host_framework/xqr_listener.h"
#include "host_framework/xqr_port.h"
#include "simulator/bms_module.h"
#include "string_device/ondrell20.h"

namespace {

constexpr int kDaySeconds = 86400;
int g_seconds = kDaySeconds;  // --seconds: a shorter run, for a look
constexpr int kDischargeFrom = 12 * 3600;
constexpr int kDischargeSeconds = 3600;
// 2026-03-02 00:00:00 UTC
constexpr std::int64_t kDayStartMs = 1772409600000;

struct Scenario {
  std::string name;
  bool discharge = false;
  double faults = 0.0;
};

// Requests the device writes go to the module now answering for it.
class ModulePort : public XQRPort {
 public:
  int Write(const unsigned char* data, unsigned int len) override {
    pending.insert(pending.end(), data, data + len);
    return static_cast<int>(len);
  }
  std::vector<std::uint8_t> pending;
};

// The framework's output of one device, as the host's listener passes it on, stamped with the
// simulated time.
class DayListener : public XQRListener {
 public:
  DayListener(outputs::Output& out, const std::int64_t& now_ms) : out_(out), now_ms_(now_ms) {}
  void OnAlarmChange(const XQRVDevice& device, const rule_value& rule, bool raised) override {
    outputs::HostEvent e = Event(outputs::EventKind::kAlarm, device);
    e.rule = rule;
    e.raised = raised;
    out_.Take(e);
  }
  void OnSaveHistory(const XQRVDevice& device, const unsigned char* data, int len) override {
    outputs::HostEvent e = Event(outputs::EventKind::kHistory, device);
    e.bytes.assign(data, data + len);
    out_.Take(e);
    ++saved;
    if (len == static_cast<int>(outputs::StringRecord::kSize)) Extremes(device.DataId(), data);
  }
  // The day's lowest and highest values over every completed round, to be found in the rows.
  void Extremes(unsigned int data_id, const unsigned char* data) {
    outputs::DeviceInfo info;
    info.data_id = data_id;
    info.cells = 20;
    const outputs::StringRound round =
        outputs::MakeStringRound(info, outputs::DecodeStringRecord(data));
    const outputs::StringRecord& r = round.record;
    const float values[] = {r.group_voltage, r.group_current, r.temperature,
                            round.lowest >= 0 ? round.cells[round.lowest].stored : NAN,
                            round.highest >= 0 ? round.cells[round.highest].stored : NAN};
    for (int k = 0; k < 5; ++k) {
      if (std::isnan(values[k])) continue;
      if (!have[k] || values[k] < low[k]) low[k] = values[k];
      if (!have[k] || values[k] > high[k]) high[k] = values[k];
      have[k] = true;
    }
  }
  bool have[5] = {};
  float low[5] = {}, high[5] = {};
  outputs::HostEvent Event(outputs::EventKind kind, const XQRVDevice& device) const {
    outputs::HostEvent e;
    e.kind = kind;
    e.data_id = device.DataId();
    e.at = outputs::WallClock::time_point(std::chrono::milliseconds(now_ms_));
    return e;
  }
  std::uint64_t saved = 0;

 private:
  outputs::Output& out_;
  const std::int64_t& now_ms_;
};

simulator::Config ModuleConfig(int index, const Scenario& s, bool discharge) {
  simulator::Config c;
  c.address = 0x01;
  c.cells = 20;
  c.seed = static_cast<std::uint64_t>(index + 1);
  c.discharge = discharge;
  c.current_encoding = simulator::CurrentEncoding::kSensor;
  const double each = s.faults / 7.0;
  c.faults.noise = c.faults.split = c.faults.drop = c.faults.bad_checksum = each;
  c.faults.wrong_address = c.faults.out_of_window = c.faults.garbage = each;
  return c;
}

// One string: its device, its port and the two modules it is polled from (float charge, and the
// discharge for its hour).
struct String {
  String(int index, const Scenario& s, const std::shared_ptr<XQRController>& controller)
      : float_module(ModuleConfig(index, s, false)),
        discharge_module(ModuleConfig(index, s, true)) {
    const unsigned int data_id = static_cast<unsigned int>(index + 1);
    device.Init(controller, data_id, Json::Value(Json::objectValue));
    device.addr_ = 0x81;
    Json::Value settings;
    settings["appSetting"]["current_ratio"] = 1;
    settings["appSetting"]["save_interval"] = 480;
    device.InitSetting(settings);
    host_framework::AttachPort(device, port);
    controller->AddDevice(&device);
  }

  // One poll tick: the round's requests answered until the device waits no more.
  void Tick(bool discharging) {
    simulator::Module& module = discharging ? discharge_module : float_module;
    host_framework::PollTick(device);
    for (int exchanges = 0; exchanges < 8 && !port->pending.empty(); ++exchanges) {
      std::vector<std::uint8_t> request;
      request.swap(port->pending);
      for (const simulator::Reply& r : module.Receive(request.data(), request.size())) {
        for (const simulator::Bytes& chunk : r.chunks) {
          std::vector<unsigned char> bytes(chunk.begin(), chunk.end());
          host_framework::ReceiveBytes(device, bytes.data(),
                                       static_cast<unsigned int>(bytes.size()));
        }
      }
    }
    port->pending.clear();
  }

  Ondrell20 device;
  std::shared_ptr<ModulePort> port = std::make_shared<ModulePort>();
  simulator::Module float_module;
  simulator::Module discharge_module;
  std::uint64_t saved_before = 0;
  outputs::DeviceStatus status;
};

// A float32 as SQL text that reads back as exactly its double value.
std::string FloatSql(float v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g", static_cast<double>(v));
  return buf;
}

long long FileSize(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

long long DatabaseBytes(const std::string& path) {
  return FileSize(path) + FileSize(path + "-wal");
}

long long QueryInt(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  long long v = -1;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW) {
      v = sqlite3_column_int64(st, 0);
    }
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return v;
}

struct Result {
  long long rows = 0;
  long long bytes = 0;
  std::uint64_t commits = 0;
  long long discharge_rounds = 0;
  long long discharge_rows = 0;
  std::uint64_t dropped = 0;
  bool extremes_kept = false;  // every lowest and highest value of the day is in the rows
};

history::HistoryOptions Options(const std::string& path, bool every_round) {
  history::HistoryOptions o;
  o.path = path;
  o.host_version = "history_day";
  o.sources = {"simulator"};
  o.thinning.every_round = every_round;
  o.queue_limit = 1u << 22;  // the day is fed faster than real time: nothing may be dropped
  o.backlog_limit = 1u << 22;
  o.stop_drain_ms = 600000;  // the writer may be far behind the day at its end: all goes in
  return o;
}

Result RunDay(const Scenario& scenario, int strings, bool every_round, const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
  long long empty = 0;
  {  // the size of a database without rounds, taken off what the day adds
    history::HistoryOutput out(Options(path, every_round));
    out.Start({}, nullptr);
    out.Stop();
    empty = DatabaseBytes(path);
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
  }
  std::int64_t now_ms = kDayStartMs;
  history::HistoryOutput out(Options(path, every_round));
  DayListener listener(out, now_ms);
  auto controller = std::make_shared<XQRController>();
  controller->SetListener(&listener);
  std::vector<std::unique_ptr<String>> site;
  std::vector<outputs::DeviceInfo> infos;
  for (int i = 0; i < strings; ++i) {
    site.push_back(std::make_unique<String>(i, scenario, controller));
    outputs::DeviceInfo info;
    info.data_id = static_cast<unsigned int>(i + 1);
    info.name = "string " + std::to_string(i + 1);
    info.type = "ondrell_20";
    info.cells = 20;
    info.port = "sim";
    info.bus_address = 0x01;
    info.save_interval_s = 480 * 60;
    infos.push_back(info);
  }
  out.Start(infos, nullptr);

  Result r;
  for (int t = 0; t < g_seconds; ++t) {
    const bool discharging =
        scenario.discharge && t >= kDischargeFrom && t < kDischargeFrom + kDischargeSeconds;
    for (std::size_t i = 0; i < site.size(); ++i) {
      String& s = *site[i];
      (discharging ? s.discharge_module : s.float_module).Advance(1.0);
      // The strings of one line take their turns within the second.
      now_ms = kDayStartMs + 1000LL * t + 50 * static_cast<std::int64_t>(i);
      s.Tick(discharging);
      const std::uint64_t saved = listener.saved;
      const bool completed = saved != s.saved_before;
      s.saved_before = saved;
      ++s.status.rounds_started;
      if (completed) {
        ++s.status.rounds_completed;
        if (discharging) ++r.discharge_rounds;
      } else {
        ++s.status.rounds_abandoned;
      }
      outputs::HostEvent e = listener.Event(outputs::EventKind::kTurnEnd, s.device);
      e.status = s.status;
      out.Take(e);
    }
  }
  out.Stop();
  for (const auto& s : site) {
    std::fprintf(stderr, "history_day: string %u: %llu rounds begun, %llu completed\n",
                 s->device.DataId(), static_cast<unsigned long long>(s->status.rounds_started),
                 static_cast<unsigned long long>(s->status.rounds_completed));
  }
  const auto counters = out.counters();
  r.commits = counters.commits;
  r.dropped = counters.queue_dropped + counters.backlog_dropped;
  r.rows = QueryInt(path, "SELECT count(*) FROM rounds");
  r.bytes = DatabaseBytes(path) - empty;
  // The day's extremes are in the rows, and nothing beyond them: compared as the float32 values
  // they are (each stored REAL is a float widened to double, written back exactly).
  struct Check {
    const char* column;
    int k;  // 0 group voltage, 1 current, 2 temperature, 3 lowest cell, 4 highest cell
    bool lowest;
  };
  static const Check kChecks[] = {{"group_voltage_min", 0, true}, {"group_voltage_max", 0, false},
                                  {"group_current_min", 1, true}, {"group_current_max", 1, false},
                                  {"temperature_min", 2, true},   {"temperature_max", 2, false},
                                  {"cell_min", 3, true},          {"cell_max", 4, false}};
  r.extremes_kept = true;
  for (const Check& c : kChecks) {
    if (!listener.have[c.k]) continue;
    const std::string v = FloatSql(c.lowest ? listener.low[c.k] : listener.high[c.k]);
    const std::string col = c.column;
    r.extremes_kept &= QueryInt(path, "SELECT count(*) FROM rounds WHERE " + col + " = " + v) > 0;
    r.extremes_kept &= QueryInt(path, "SELECT count(*) FROM rounds WHERE " + col +
                                          (c.lowest ? " < " : " > ") + v) == 0;
  }
  const std::int64_t from = kDayStartMs + 1000LL * kDischargeFrom;
  const std::int64_t to = from + 1000LL * kDischargeSeconds;
  r.discharge_rows =
      QueryInt(path, "SELECT count(*) FROM rounds WHERE received_ms >= " + std::to_string(from) +
                         " AND received_ms < " + std::to_string(to));
  return r;
}

void Usage(const char* why) {
  if (why) std::fprintf(stderr, "history_day: %s\n", why);
  std::fprintf(stderr,
               "usage: history_day [--strings N] [--scenario float|discharge|noisy]... "
               "[--every-round] [--seconds N] [--dir DIR]\n"
               "One simulated day of history per scenario: rows, bytes and commits.\n");
  std::exit(why ? 2 : 0);
}

}  // namespace

int main(int argc, char** argv) {
  int strings = 4;
  bool every_round = false;
  std::string dir = "/tmp";
  std::vector<Scenario> chosen;
  const std::vector<Scenario> all = {
      {"float", false, 0.0}, {"discharge", true, 0.0}, {"noisy", false, 0.05}};
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") Usage(nullptr);
    if (a == "--version") {
      std::printf("history_day 1\n");
      return 0;
    }
    if (a == "--every-round") {
      every_round = true;
    } else if (a == "--strings" && i + 1 < argc) {
      strings = std::atoi(argv[++i]);
      if (strings < 1 || strings > 32) Usage("--strings wants 1..32");
    } else if (a == "--seconds" && i + 1 < argc) {
      g_seconds = std::atoi(argv[++i]);
      if (g_seconds < 1 || g_seconds > kDaySeconds) Usage("--seconds wants 1..86400");
    } else if (a == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (a == "--scenario" && i + 1 < argc) {
      const std::string name = argv[++i];
      bool found = false;
      for (const Scenario& s : all) {
        if (s.name == name) {
          chosen.push_back(s);
          found = true;
        }
      }
      if (!found) Usage(("no scenario " + name).c_str());
    } else {
      Usage(("unknown argument " + a).c_str());
    }
  }
  if (chosen.empty()) chosen = all;
  // The plug-in writes a line of its own to standard output every round: those go nowhere, the
  // table to the original standard output.
  FILE* table = fdopen(dup(STDOUT_FILENO), "w");
  std::fflush(stdout);
  if (table == nullptr || !std::freopen("/dev/null", "w", stdout)) {
    std::fprintf(stderr, "history_day: cannot set standard output aside\n");
    return 1;
  }
  std::fprintf(table,
               "scenario strings rows_per_string bytes_per_string commits commits_per_second "
               "discharge_rows discharge_rounds dropped extremes_kept\n");
  for (const Scenario& s : chosen) {
    std::fprintf(stderr, "history_day: %s, %d strings ...\n", s.name.c_str(), strings);
    const std::string path = dir + "/history_day." + std::to_string(getpid()) + ".sqlite";
    const Result r = RunDay(s, strings, every_round, path);
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
    std::fprintf(table, "%s %d %lld %lld %llu %.3f %lld %lld %llu %d\n", s.name.c_str(), strings,
                 r.rows / strings, r.bytes / strings, static_cast<unsigned long long>(r.commits),
                 static_cast<double>(r.commits) / kDaySeconds, r.discharge_rows, r.discharge_rounds,
                 static_cast<unsigned long long>(r.dropped), r.extremes_kept ? 1 : 0);
    std::fflush(table);
  }
  std::fclose(table);
  return 0;
}

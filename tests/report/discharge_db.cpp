// Writes a history database of a simulated discharge test, through the history store, the way
// battery-host would: each round's record made from what the simulated module answers, decoded
// as the plug-in decodes it (cells in hundredths of a volt inside 9..15 V, group voltage in
// tenths, current in signed tenths of an ampere, temperature in hundredths of a degree), the
// host's alarms of a low-voltage threshold raised before the round's history record, and the
// line lost for a few rounds in the middle.
//
//   discharge_db OUT.sqlite [--weak N] [--rounds N] [--scale X] [--devices N]
//
// The module (simulator/bms_module.h) makes block N weak (half the capacity) itself. Time is
// the generator's own: rounds one second apart from 2026-03-02 10:00:00 local (09:00:00 UTC),
// and the module's simulated time runs X times faster (default 60: an hour in a minute), as a
// simulator started with --time-scale X does; the database's run says so.

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "battery/byte_order.h"
#include "battery_host/outputs/history/history_output.h"
#include "simulator/bms_module.h"

namespace {

constexpr std::int64_t kStartUtcMs = 1772442000000;  // 2026-03-02T09:00:00Z
constexpr int kCells = 20;
constexpr float kLowLimit = 11.5f;  // the host threshold "*cells*": {"low": 11.5}

std::vector<unsigned char> Record(unsigned data_id, const simulator::Module& m, int second) {
  std::vector<unsigned char> b(152, 0);
  byte_order::WriteLe32(b.data(), data_id);
  const simulator::Readings r = m.CellReadings();
  for (int i = 0; i < kCells; ++i) {
    float v = static_cast<float>(r[i]) / 100.0f;
    if (v < 9.0f || v > 15.0f) v = 0.0f;
    byte_order::WriteLeFloat(b.data() + 4 + 4 * i, v);
  }
  byte_order::WriteLeFloat(b.data() + 132, static_cast<float>(m.GroupVoltageRaw()) / 10.0f);
  const auto current = static_cast<std::int16_t>(m.CurrentRaw());
  byte_order::WriteLeFloat(b.data() + 136, static_cast<float>(current) / 10.0f);
  byte_order::WriteLeFloat(b.data() + 141, static_cast<float>(m.TemperatureRaw()) / 100.0f);
  // 2026-03-02 10:00:00 + second, local time of the site
  const int h = 10 + second / 3600, min = second / 60 % 60, s = second % 60;
  const unsigned char stamp[7] = {0xEA,
                                  0x07,
                                  3,
                                  2,
                                  static_cast<unsigned char>(h),
                                  static_cast<unsigned char>(min),
                                  static_cast<unsigned char>(s)};
  std::memcpy(b.data() + 145, stamp, 7);
  return b;
}

outputs::WallClock::time_point At(std::int64_t ms) {
  return outputs::WallClock::time_point(std::chrono::milliseconds(ms));
}

void Usage(const std::string& why) {
  std::fprintf(stderr,
               "discharge_db: %s\nusage: discharge_db OUT.sqlite [--weak N] [--rounds N] "
               "[--scale X] [--devices N]\n",
               why.c_str());
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) Usage("no output file");
  std::string path = argv[1];
  int weak = 7, rounds = 120, devices = 1;
  double scale = 60;
  for (int i = 2; i < argc; i += 2) {
    if (i + 1 >= argc) Usage(std::string(argv[i]) + " wants a value");
    const std::string opt = argv[i];
    const char* val = argv[i + 1];
    if (opt == "--weak")
      weak = std::atoi(val);
    else if (opt == "--rounds")
      rounds = std::atoi(val);
    else if (opt == "--scale")
      scale = std::atof(val);
    else if (opt == "--devices")
      devices = std::atoi(val);
    else
      Usage("unknown option " + opt);
  }

  history::HistoryOptions options;
  options.path = path;
  options.time_scale = scale;
  options.host_version = "discharge_db (test generator)";
  options.sources = {"sim"};
  options.clock = [] { return At(kStartUtcMs); };
  std::string error;
  auto out = history::MakeHistoryOutput(options, &error);
  if (!out) {
    std::fprintf(stderr, "discharge_db: %s\n", error.c_str());
    return 2;
  }
  std::vector<outputs::DeviceInfo> infos;
  std::vector<simulator::Module> modules;
  for (int d = 0; d < devices; ++d) {
    outputs::DeviceInfo info;
    info.data_id = static_cast<unsigned>(d + 1);
    info.name = "string " + std::to_string(d + 1);
    info.type = "ondrell_20";
    info.cells = kCells;
    info.port = "sim";
    info.bus_address = static_cast<std::uint8_t>(d + 1);
    infos.push_back(info);
    simulator::Config c;
    c.address = info.bus_address;
    c.cells = kCells;
    c.discharge = true;
    c.weak_cell = d == 0 ? weak : 0;  // the second string, if any, is healthy
    c.seed = static_cast<std::uint64_t>(d + 1);
    modules.emplace_back(c);
  }
  std::vector<std::string> notices;
  out->Start(infos, [&](const std::string& line) { notices.push_back(line); });

  std::vector<std::vector<bool>> low(devices, std::vector<bool>(kCells, false));
  for (int n = 0; n < rounds; ++n) {
    const std::int64_t at = kStartUtcMs + 1000LL * n;
    for (int d = 0; d < devices; ++d) {
      const unsigned id = infos[d].data_id;
      if (n > 0) modules[d].Advance(scale);
      // The line is down for rounds 60..63: no rounds, the port events instead.
      if (n == 60) {
        outputs::HostEvent e;
        e.kind = outputs::EventKind::kPort;
        e.data_id = id;
        e.at = At(at);
        e.state = "lost";
        e.path = "sim";
        e.detail = "hang-up";
        out->Take(e);
      }
      if (n >= 60 && n < 64) continue;
      if (n == 64) {
        outputs::HostEvent e;
        e.kind = outputs::EventKind::kPort;
        e.data_id = id;
        e.at = At(at - 1);
        e.state = "reopened";
        e.path = "sim";
        out->Take(e);
      }
      const auto record = Record(id, modules[d], n);
      for (int i = 0; i < kCells; ++i) {
        const float v = byte_order::ReadLeFloat(record.data() + 4 + 4 * i);
        const bool is_low = v != 0.0f && v < kLowLimit;
        if (is_low == low[d][i]) continue;
        low[d][i] = is_low;
        outputs::HostEvent e;
        e.kind = outputs::EventKind::kAlarm;
        e.data_id = id;
        e.at = At(at);
        e.rule.key = "battery_" + std::to_string(i) + "_value";
        e.rule.label = "第" + std::to_string(i + 1) + "节电池";
        e.rule.value = v;
        e.rule.limit = kLowLimit;
        e.raised = is_low;
        out->Take(e);
      }
      outputs::HostEvent h;
      h.kind = outputs::EventKind::kHistory;
      h.data_id = id;
      h.at = At(at);
      h.bytes = record;
      out->Take(h);
    }
  }
  // Stop() gives pending rounds a few seconds only, as a host's exit does; a long generated
  // test waits for all of them.
  out->WaitWritten(std::chrono::minutes(5));
  out->Stop();
  for (const auto& line : notices) std::fprintf(stderr, "discharge_db: %s\n", line.c_str());
  const auto c = out->counters();
  std::printf("%s: %llu rounds, %llu alarms, %llu port events\n", path.c_str(),
              static_cast<unsigned long long>(c.rounds_written),
              static_cast<unsigned long long>(c.alarms_written),
              static_cast<unsigned long long>(c.port_events_written));
  return notices.empty() && c.backlog == 0 ? 0 : 1;
}

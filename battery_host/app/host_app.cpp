#include "battery_host/app/host_app.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "battery_host/app/device_setup.h"
#include "battery_host/app/notice_hub.h"
#include "battery_host/app/output_paths.h"
#include "battery_host/app/plugin_library.h"
#include "battery_host/bus/device_port.h"
#include "battery_host/bus/line.h"
#include "battery_host/bus/poll_loop.h"
#include "battery_host/bus/sim_child.h"
#include "battery_host/config/input_file.h"
#include "battery_host/config/site.h"
#include "battery_host/outputs/async_output.h"
#include "battery_host/outputs/device_listener.h"
#include "battery_host/outputs/events_file.h"
#include "battery_host/outputs/fanout.h"
#include "battery_host/outputs/record_cache.h"
#include "battery_host/outputs/string_record.h"
#include "battery_host/outputs/view/terminal_writer.h"
#include "battery_host/outputs/view/view_output.h"
#include "host_framework/xqr_controller.h"

#ifdef BATTERY_HOST_WITH_MQTT
#include "battery_host/outputs/mqtt/mqtt_output.h"
#endif
#ifdef BATTERY_HOST_WITH_HISTORY
#include "battery_host/outputs/history/history_output.h"
#endif

namespace {

bool g_starting = true;

int Fail(int code, const std::string& message) {
  // One line whatever the message quotes (a key or file name with a line break in it).
  std::fprintf(stderr, "battery-host: %s\n", input_file::Printable(message).c_str());
  std::fflush(stderr);
  return code;
}

// An output path may not exist yet; if it does, it must be a regular file.
bool CheckOutputFile(const std::string& path, const char* what, std::string* error) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return true;
  if (S_ISREG(st.st_mode)) return true;
  *error = std::string(what) + " " + path + " is " + input_file::KindOfNonRegular(st.st_mode) +
           ", not a regular file";
  return false;
}

// The plug-in writes its diagnostic lines to standard output. They go to the log file (or
// nowhere) so that they cannot tear the view; the view keeps the original standard output.
bool SplitStandardOutput(const std::string& log, int* view_fd, std::string* error) {
  std::fflush(stdout);
  const std::string target = log.empty() ? "/dev/null" : log;
  if (!log.empty() && !CheckOutputFile(log, "log", error)) return false;
  const int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot open log " + target + ": " + std::strerror(errno);
    return false;
  }
  *view_fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (*view_fd < 0) {
    *error = std::string("cannot keep standard output for the view: ") + std::strerror(errno);
    close(fd);
    return false;
  }
  dup2(fd, STDOUT_FILENO);
  close(fd);
  return true;
}

std::string CountText(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// What stays alive for the run; destroyed in reverse order: outputs and lines before the
// devices, the devices before the library that holds their code.
struct Run {
  PluginLibrary library;
  std::shared_ptr<XQRController> controller = std::make_shared<XQRController>();
  std::vector<std::unique_ptr<SimulatorChild>> simulators;
  std::vector<std::unique_ptr<XQRSPDevice>> devices;
  std::vector<std::unique_ptr<Line>> lines;
  std::unique_ptr<TerminalWriter> errors;
  std::unique_ptr<ViewOutput> view;
  std::vector<std::unique_ptr<outputs::Output>> outputs;
  Fanout fanout;
  std::unique_ptr<DeviceListener> listener;
  NoticeHub notices;
  int view_fd = -1;

  ~Run() {
    controller->SetListener(nullptr);
    for (const auto& d : devices) controller->RemoveDevice(d->DataId());
    lines.clear();
    devices.clear();
    library.Unload();
    for (auto& s : simulators) s->Stop();
    view.reset();
    if (view_fd >= 0) close(view_fd);
  }
};

struct Restore {
  XQRSPDevice* device;
  std::string bytes;
};

}  // namespace

bool HostStarting() { return g_starting; }

int RunHost(const HostOptions& o) {
  g_starting = true;
  std::string error;

  // --- What the person gave: site, settings, limits, peers ------------------------------------
  Site site;
  if (!o.site.empty() ? !LoadSiteFile(o.site, &site, &error) : !SiteFromOptions(o, &site, &error)) {
    return Fail(kExitConfig, error);
  }
  const std::string plugin_path = o.plugin.empty() ? DefaultPluginPath() : o.plugin;

  // --- Paths of the outputs, and the cached records ---------------------------------------------
  std::vector<NamedPath> inputs;
  if (!site.path.empty()) inputs.push_back({"site file", site.path});
  inputs.push_back({"plug-in", plugin_path});
  std::vector<NamedPath> written;
  if (!o.events.empty()) {
    if (!CheckOutputFile(o.events, "events file", &error)) return Fail(kExitConfig, error);
    written.push_back({"events file", o.events});
  }
  if (!o.history.empty()) {
    // SQLite keeps two files of its own beside the database.
    for (const char* suffix : {"", "-wal", "-shm"}) {
      written.push_back({"history database", o.history + suffix});
    }
  }
  if (!o.log.empty()) written.push_back({"log", o.log});
  std::map<unsigned int, std::string> cache_targets;
  std::map<unsigned int, std::string> cached;
  for (const LineConfig& line : site.lines) {
    for (const DeviceConfig& d : line.devices) {
      if (d.settings_doc && d.settings_doc->path != site.path) {
        inputs.push_back({"settings", d.settings_doc->path});
      }
      if (d.cache.empty()) continue;
      std::string target;
      if (!record_cache::ResolveTarget(d.cache, &target, &error)) return Fail(kExitConfig, error);
      cache_targets[d.data_id] = target;
      written.push_back({"cache of device " + std::to_string(d.data_id), target});
    }
  }
  if (!CheckOutputPaths(inputs, written, &error)) return Fail(kExitConfig, error);
  // Read only once it is sure to be a cache: a settings or events file named as one would
  // otherwise be warned about as a cache of the wrong size just before it is refused.
  for (const auto& [data_id, target] : cache_targets) {
    std::string bytes;
    switch (record_cache::ReadFile(target, StringRecord::kSize, &bytes, &error)) {
      case record_cache::Read::kRecord: cached[data_id] = bytes; break;
      case record_cache::Read::kMissing: break;
      case record_cache::Read::kWrongSize:
        std::fprintf(stderr, "battery-host: %s; starting without it\n", error.c_str());
        break;
      case record_cache::Read::kRefused: return Fail(kExitConfig, error);
    }
  }

  // Outputs that need their own checks (a broker's URL, its credentials): made now, started
  // with the others once the ports are open.
  std::vector<std::unique_ptr<outputs::Output>> checked_outputs;
  if (!o.history.empty()) {
#ifdef BATTERY_HOST_WITH_HISTORY
    history::HistoryOptions ho;
    ho.path = o.history;
    ho.keep_days = static_cast<int>(o.history_keep_days);
    ho.thinning.every_round = o.history_every_round;
    ho.thinning.group_deadband_v = o.history_deadband.first;
    ho.thinning.cell_deadband_v = o.history_deadband.second;
    ho.host_version = std::string("battery-host ") + BATTERY_HOST_VERSION;
    for (const LineConfig& line : site.lines) {
      ho.sources.push_back(line.simulated() ? "simulator" : line.port);
      // One scale per run: the records' time stamps come from the real clock, so the report
      // must know that the simulated discharge ran faster.
      if (line.simulated() && line.sim_time_scale != 1.0) ho.time_scale = line.sim_time_scale;
    }
    std::unique_ptr<outputs::Output> out = history::MakeHistoryOutput(ho, &error);
    if (!out) return Fail(kExitConfig, error);
    checked_outputs.push_back(std::move(out));
#else
    return Fail(kExitConfig, "--history: this build of battery-host has no history database");
#endif
  }
  if (!o.mqtt.empty()) {
#ifdef BATTERY_HOST_WITH_MQTT
    mqtt::MqttOptions mo;
    mo.url = o.mqtt;
    mo.credentials_file = o.mqtt_credentials;
    mo.ca_file = o.mqtt_ca;
    mo.prefix = o.mqtt_prefix;
    mo.site = o.mqtt_site;
    mo.host_version = BATTERY_HOST_VERSION;
    mo.discovery_prefix = o.mqtt_discovery_prefix;
    std::unique_ptr<outputs::Output> out = mqtt::MakeMqttOutput(mo, &error);
    if (!out) return Fail(kExitConfig, error);
    checked_outputs.push_back(std::move(out));
#else
    return Fail(kExitConfig, "--mqtt: this build of battery-host has no MQTT (no libmosquitto)");
#endif
  }

  Run run;
  if (!run.library.Load(plugin_path, &error)) return Fail(kExitConfig, error);
  if (!SplitStandardOutput(o.log, &run.view_fd, &error)) return Fail(kExitConfig, error);

  // --- Devices and lines, configured before any port is taken ----------------------------------
  run.listener = std::make_unique<DeviceListener>(run.fanout);
  run.controller->SetListener(run.listener.get());
  const outputs::NoticeFn notice = [&run](const std::string& m) { run.notices.Post(m); };
  std::vector<outputs::DeviceInfo> infos;
  std::map<unsigned int, std::string> sources;
  std::vector<Restore> restores;
  for (std::size_t li = 0; li < site.lines.size(); ++li) {
    const LineConfig& lc = site.lines[li];
    Line::Settings ls;
    ls.index = static_cast<int>(li);
    ls.port_path = lc.port;
    ls.port_label = lc.port;
    ls.interval_ms = lc.interval_ms;
    ls.reply_timeout_ms = lc.reply_timeout_ms;
    ls.guard_ms = lc.guard_ms;
    auto line = std::make_unique<Line>(ls, run.fanout, notice);
    for (const DeviceConfig& dc : lc.devices) {
      std::unique_ptr<XQRSPDevice> device = run.library.CreateDevice();
      if (!device) return Fail(kExitConfig, "the plug-in's provider made no device");
      auto port = std::make_shared<DevicePort>(*line, dc.data_id);
      if (!ConfigureDevice(*device, dc, run.controller, port, &error)) {
        return Fail(kExitConfig, error);
      }
      outputs::DeviceInfo info;
      info.data_id = dc.data_id;
      info.name = dc.Label();
      info.type = device->DeviceType();
      info.cells = info.type == "ondrell_20" ? 20 : 32;
      info.line = static_cast<int>(li);
      info.port = lc.port;
      info.bus_address = dc.BusAddress();
      info.group_voltage_peers = dc.peers.group_voltage;
      info.current_peer = dc.peers.current_peer;
      info.current_field = dc.peers.current_field;
      // How the device reads and numbers its cells, for the outputs to show a round its way.
      info.battery_start = dc.link.battery_start;
      info.battery_type = dc.link.battery_type;
      info.save_interval_s = dc.link.save_interval;
      infos.push_back(info);
      auto c = cached.find(dc.data_id);
      if (c != cached.end()) restores.push_back({device.get(), c->second});
      line->AddDevice(device.get());
      run.devices.push_back(std::move(device));
    }
    if (!line->SettleSpeed(&error)) return Fail(kExitConfig, error);
    run.lines.push_back(std::move(line));
  }
  // Alarm keys and peer values against the cells of the devices the plug-in made.
  std::map<unsigned int, int> cells_of;
  for (const outputs::DeviceInfo& info : infos) cells_of[info.data_id] = info.cells;
  if (!CheckSignalNames(site, [&cells_of](unsigned int id) { return cells_of[id]; }, &error)) {
    return Fail(kExitConfig, error);
  }

  // --- Simulators and ports ----------------------------------------------------------------------
  std::vector<PollLoop::Simulator> simulator_pids;
  std::string where;
  for (std::size_t li = 0; li < site.lines.size(); ++li) {
    const LineConfig& lc = site.lines[li];
    Line& line = *run.lines[li];
    std::string label = "port " + lc.port;
    if (lc.simulated()) {
      auto sim = std::make_unique<SimulatorChild>();
      if (!sim->Start(lc, &error)) return Fail(kExitConfig, error);
      label = "simulator on " + sim->slave_path();
      line.SetPort(sim->slave_path(), label);
      simulator_pids.push_back({sim->pid(), label});
      run.simulators.push_back(std::move(sim));
    }
    if (!line.OpenPort(&error)) return Fail(kExitConfig, error);
    for (const DeviceConfig& dc : lc.devices) sources[dc.data_id] = label;
    where += (where.empty() ? "" : "; ") + label;
  }

  // --- Outputs, opened now that every check has passed ------------------------------------------
  if (!o.events.empty()) {
    std::unique_ptr<EventsFile> events = EventsFile::Open(o.events, o.events_new, &error);
    if (!events) return Fail(kExitConfig, error);
    run.outputs.push_back(
        std::make_unique<outputs::AsyncOutput>("events file " + o.events, std::move(events)));
  }
  if (!cache_targets.empty()) {
    run.outputs.push_back(std::make_unique<outputs::AsyncOutput>(
        "record cache", std::make_unique<CacheOutput>(cache_targets)));
  }
  for (auto& out : checked_outputs) run.outputs.push_back(std::move(out));
  run.view = std::make_unique<ViewOutput>(run.view_fd, !o.plain && isatty(run.view_fd) == 1,
                                          sources);
  for (auto& out : run.outputs) run.fanout.Add(out.get());
  run.fanout.Add(run.view.get());
  run.errors = std::make_unique<TerminalWriter>(STDERR_FILENO, TerminalWriter::Mode::kLines);
  auto show = [&run](const std::string& m) {
    run.errors->Put("battery-host: " + m + "\n");
    run.view->SetNotice(m);
  };
  run.fanout.Start(infos, notice);
  for (auto& line : run.lines) line->AnnounceOpen();

  const std::size_t device_count = run.devices.size();
  if (device_count == 1) {
    show("polling the " + where + " every " + std::to_string(site.lines[0].interval_ms) +
         " ms; plug-in output to " + (o.log.empty() ? "/dev/null" : o.log));
  } else {
    show("polling " + CountText(device_count, "device", "devices") + " on " +
         CountText(run.lines.size(), "line", "lines") + " (" + where + "); plug-in output to " +
         (o.log.empty() ? "/dev/null" : o.log));
  }

  for (const Restore& r : restores) {
    if (r.device->LoadFromCache(r.bytes)) {
      outputs::HostEvent e;
      e.kind = outputs::EventKind::kRestore;
      e.data_id = r.device->DataId();
      e.at = outputs::WallClock::now();
      e.bytes.assign(r.bytes.begin(), r.bytes.end());
      run.fanout.Take(e);
    } else {
      show("device " + std::to_string(r.device->DataId()) + " did not take the cached record");
    }
  }

  // --- The run --------------------------------------------------------------------------------
  std::vector<Line*> lines;
  for (auto& line : run.lines) lines.push_back(line.get());
  LoopLimits limits;
  limits.rounds = o.rounds;
  limits.duration_s = o.duration_s;
  PollLoop loop(lines, run.notices, show, {run.errors.get(), &run.view->writer()},
                simulator_pids, limits);
  int code = 0;
  if (!loop.Start(&error)) {
    show(error);
    code = kExitRuntime;
  } else {
    g_starting = false;
    std::string message;
    const LoopEnd end = loop.Run(&message);
    for (const std::string& m : run.notices.Take()) show(m);
    switch (end) {
      case LoopEnd::kRoundsDone:
      case LoopEnd::kDurationDone: break;
      case LoopEnd::kSignal: show(message); break;
      case LoopEnd::kSimulatorExited:
        for (auto& s : run.simulators) {
          if (s->pid() == loop.exited_simulator()) s->Forget();
        }
        show(message);
        code = kExitRuntime;
        break;
      case LoopEnd::kRoundsTimedOut:
      case LoopEnd::kError:
        show(message);
        code = kExitRuntime;
        break;
    }
  }
  // The outputs hand over what they hold (bounded), then everything is taken down in order.
  run.fanout.Stop();
  for (const std::string& m : run.notices.Take()) show(m);
  run.errors->Drain(500);
  return code;
}

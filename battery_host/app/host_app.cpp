#include "battery_host/app/host_app.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "battery_host/app/descriptors.h"
#include "battery_host/app/device_setup.h"
#include "battery_host/app/notice_hub.h"
#include "battery_host/app/journal_stream.h"
#include "battery_host/support/output_paths.h"
#include "battery_host/app/plugin_library.h"
#include "battery_host/app/plugin_output.h"
#include "battery_host/app/service_notify.h"
#include "battery_host/app/setting_typos.h"
#include "battery_host/bus/device_port.h"
#include "battery_host/bus/line.h"
#include "battery_host/bus/poll_loop.h"
#include "battery_host/bus/pollable.h"
#include "battery_host/bus/sim_child.h"
#include "battery_host/config/default_paths.h"
#include "battery_host/support/input_file.h"
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

namespace app {

namespace {

int Fail(int code, const std::string& message) {
  // One line whatever the message quotes (a key or file name with a line break in it).
  std::fprintf(stderr, "%sbattery-host: %s\n", StderrPrefix(outputs::NoticeKind::kFailure).c_str(),
               support::Printable(message).c_str());
  std::fflush(stderr);
  return code;
}

// An output path may not exist yet; if it does, it must be a regular file.
bool CheckOutputFile(const std::string& path, const char* what, std::string* error) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return true;
  if (S_ISREG(st.st_mode)) return true;
  *error = std::string(what) + " " + path + " is " + support::KindOfNonRegular(st.st_mode) +
           ", not a regular file";
  return false;
}

std::string CountText(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// What the person gave, checked before anything is opened for writing or any port is taken.
struct Plan {
  config::Site site;
  std::string plugin_path;
  std::map<unsigned int, std::string> cache_targets;  // by data id
  std::map<unsigned int, std::string> cached;         // records read from them
  // Outputs that need their own checks (a broker's URL, its credentials, a database's version):
  // made while planning, started with the others once the ports are open.
  std::vector<std::unique_ptr<outputs::Output>> checked_outputs;
};

// What stays alive for the run; destroyed in reverse order: outputs and lines before the
// devices, the devices before the library that holds their code.
struct Run {
  PluginOutput plugin_output;
  PluginLibrary library;
  std::shared_ptr<XQRController> controller = std::make_shared<XQRController>();
  std::vector<std::unique_ptr<bus::SimulatorChild>> simulators;
  std::vector<std::unique_ptr<XQRSPDevice>> devices;
  std::vector<std::unique_ptr<bus::Line>> lines;
  std::unique_ptr<HostLines> errors;
  std::unique_ptr<view::ViewOutput> view;
  std::vector<std::unique_ptr<outputs::Output>> outputs;
  outputs::Fanout fanout;
  std::unique_ptr<outputs::DeviceListener> listener;
  NoticeHub notices;
  // Made while assembling, used when the outputs are opened and the run begins.
  std::vector<outputs::DeviceInfo> infos;
  std::map<unsigned int, std::string> sources;  // how people know each device's line
  std::vector<bus::PollLoop::Simulator> simulator_pids;
  std::string where;  // the lines, for the first line said

  ~Run() {
    controller->SetListener(nullptr);
    for (const auto& d : devices) controller->RemoveDevice(d->DataId());
    lines.clear();
    devices.clear();
    library.Unload();
    for (auto& s : simulators) s->Stop();
    view.reset();
  }

  void Show(const outputs::Notice& notice) {
    errors->Say(notice);
    view->SetNotice(notice.text);
  }
};

// The files the host reads and writes: none may be another, each output must be writable.
bool CheckFiles(const config::HostOptions& o, Plan* plan, std::string* error) {
  std::vector<support::NamedPath> inputs;
  if (!plan->site.path.empty()) inputs.push_back({"site file", plan->site.path});
  inputs.push_back({"plug-in", plan->plugin_path});
  std::vector<support::NamedPath> written;
  if (!o.events.empty()) {
    if (!CheckOutputFile(o.events, "events file", error)) return false;
    written.push_back({"events file", o.events});
  }
  if (!o.history.empty()) {
    // SQLite keeps two files of its own beside the database.
    for (const char* suffix : {"", "-wal", "-shm"}) {
      written.push_back({"history database", o.history + suffix});
    }
  }
  if (!o.log.empty()) {
    if (!CheckOutputFile(o.log, "log", error)) return false;
    written.push_back({"log", o.log});
  }
  for (const config::LineConfig& line : plan->site.lines) {
    for (const config::DeviceConfig& d : line.devices) {
      if (d.settings_doc && d.settings_doc->path != plan->site.path) {
        inputs.push_back({"settings", d.settings_doc->path});
      }
      if (d.cache.empty()) continue;
      std::string target;
      if (!outputs::ResolveCacheTarget(d.cache, &target, error)) return false;
      plan->cache_targets[d.data_id] = target;
      written.push_back({"cache of device " + std::to_string(d.data_id), target});
    }
  }
  if (!support::CheckOutputPaths(inputs, written, error)) return false;
  for (const support::NamedPath& file : written) {
    // A cache is written beside and renamed; a database makes files of its own beside it.
    const bool replaced = file.what != "events file" && file.what != "log";
    if (!support::CheckWritable(file, replaced, error)) return false;
  }
  return true;
}

// Read only once it is sure to be a cache: a settings or events file named as one would
// otherwise be warned about as a cache of the wrong size just before it is refused.
bool ReadCaches(Plan* plan, std::string* error) {
  for (const auto& [data_id, target] : plan->cache_targets) {
    std::string bytes;
    switch (outputs::ReadCacheFile(target, outputs::StringRecord::kSize, &bytes, error)) {
      case outputs::CacheRead::kRecord:
        plan->cached[data_id] = bytes;
        break;
      case outputs::CacheRead::kMissing:
        break;
      case outputs::CacheRead::kWrongSize:
        std::fprintf(stderr, "%sbattery-host: %s; starting without it\n",
                     StderrPrefix(outputs::NoticeKind::kTrouble).c_str(), error->c_str());
        break;
      case outputs::CacheRead::kRefused:
        return false;
    }
  }
  return true;
}

bool MakeHistory(const config::HostOptions& o, Plan* plan, std::string* error) {
#ifdef BATTERY_HOST_WITH_HISTORY
  history::HistoryOptions ho;
  ho.path = o.history;
  ho.keep_days = static_cast<int>(o.history_keep_days);
  ho.thinning.every_round = o.history_every_round;
  ho.thinning.group_deadband_v = o.history_deadband.first;
  ho.thinning.cell_deadband_v = o.history_deadband.second;
  ho.host_version = std::string("battery-host ") + BATTERY_HOST_VERSION;
  for (const config::LineConfig& line : plan->site.lines) {
    ho.sources.push_back(line.simulated() ? "simulator" : line.port);
    // One scale per run: the records' time stamps come from the real clock, so the report
    // must know that the simulated discharge ran faster.
    if (line.simulated() && line.sim_time_scale != 1.0) ho.time_scale = line.sim_time_scale;
  }
  std::unique_ptr<outputs::Output> out = history::MakeHistoryOutput(ho, error);
  if (!out) return false;
  plan->checked_outputs.push_back(std::move(out));
  return true;
#else
  (void)o;
  (void)plan;
  *error = "--history: this build of battery-host has no history database";
  return false;
#endif
}

bool MakeMqtt(const config::HostOptions& o, Plan* plan, std::string* error) {
#ifdef BATTERY_HOST_WITH_MQTT
  mqtt::MqttOptions mo;
  mo.url = o.mqtt;
  mo.credentials_file = o.mqtt_credentials;
  mo.ca_file = o.mqtt_ca;
  mo.prefix = o.mqtt_prefix;
  // The command line wins over the site file: the unit's or a one-off command can name the
  // site without editing the file.
  mo.site = o.mqtt_site.empty() ? plan->site.mqtt_site : o.mqtt_site;
  mo.host_version = BATTERY_HOST_VERSION;
  mo.discovery_prefix = o.mqtt_discovery_prefix;
  std::unique_ptr<outputs::Output> out = mqtt::MakeMqttOutput(mo, error);
  if (!out) return false;
  plan->checked_outputs.push_back(std::move(out));
  return true;
#else
  (void)o;
  (void)plan;
  *error = "--mqtt: this build of battery-host has no MQTT (no libmosquitto)";
  return false;
#endif
}

// Step 1: the site, its files and the descriptors it needs, the cached records, the outputs
// that check themselves.
bool PlanRun(const config::HostOptions& o, Plan* plan, std::string* error) {
  if (!o.site.empty() ? !config::LoadSiteFile(o.site, &plan->site, error)
                      : !config::SiteFromOptions(o, &plan->site, error)) {
    return false;
  }
  plan->plugin_path = o.plugin.empty() ? config::DefaultPluginPath() : o.plugin;
  if (!CheckFiles(o, plan, error) || !EnsureDescriptors(o, plan->site, error) ||
      !ReadCaches(plan, error)) {
    return false;
  }
  if (!o.history.empty() && !MakeHistory(o, plan, error)) return false;
  return o.mqtt.empty() || MakeMqtt(o, plan, error);
}

// The devices of one line, made by the plug-in and configured in the controller's order.
bool AssembleLine(std::size_t li, const config::LineConfig& lc, Run* run, bus::Line* line,
                  std::string* error) {
  for (const config::DeviceConfig& dc : lc.devices) {
    for (const std::string& w : UnknownAppSettingWarnings(dc.settings, dc.settings_source)) {
      std::fprintf(stderr, "%sbattery-host: %s\n",
                   StderrPrefix(outputs::NoticeKind::kTrouble).c_str(),
                   support::Printable(w).c_str());
    }
    std::unique_ptr<XQRSPDevice> device = run->library.CreateDevice();
    if (!device) {
      *error = "the plug-in's provider made no device";
      return false;
    }
    auto port = std::make_shared<bus::DevicePort>(*line, dc.data_id);
    if (!ConfigureDevice(*device, dc, run->controller, port, error)) return false;
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
    run->infos.push_back(info);
    line->AddDevice(device.get());
    run->devices.push_back(std::move(device));
  }
  return line->SettleSpeed(error);
}

// Step 2: the plug-in, its devices and the lines they talk on, configured before any port is
// taken; then the checks that need the devices the plug-in made.
bool Assemble(Plan& plan, Run* run, std::string* error) {
  if (!run->library.Load(plan.plugin_path, error) || !run->plugin_output.Hold(error)) {
    return false;
  }
  run->listener = std::make_unique<outputs::DeviceListener>(run->fanout);
  run->controller->SetListener(run->listener.get());
  const outputs::NoticeFn notice = [run](const outputs::Notice& n) { run->notices.Post(n); };
  for (std::size_t li = 0; li < plan.site.lines.size(); ++li) {
    const config::LineConfig& lc = plan.site.lines[li];
    bus::Line::Settings ls;
    ls.index = static_cast<int>(li);
    ls.port_path = lc.port;
    ls.port_label = lc.port;
    ls.interval_ms = lc.interval_ms;
    ls.reply_timeout_ms = lc.reply_timeout_ms;
    ls.guard_ms = lc.guard_ms;
    run->lines.push_back(std::make_unique<bus::Line>(ls, run->fanout, notice));
    if (!AssembleLine(li, lc, run, run->lines.back().get(), error)) return false;
  }
  // Alarm keys and peer values against the cells of the devices the plug-in made.
  std::map<unsigned int, int> cells_of;
  for (const outputs::DeviceInfo& info : run->infos) cells_of[info.data_id] = info.cells;
  return config::CheckSignalNames(
      plan.site, [&cells_of](unsigned int id) { return cells_of[id]; }, error);
}

// Step 3: the simulators and the ports.
bool TakeLines(const config::Site& site, Run* run, std::string* error) {
  for (std::size_t li = 0; li < site.lines.size(); ++li) {
    const config::LineConfig& lc = site.lines[li];
    bus::Line& line = *run->lines[li];
    std::string label = "port " + lc.port;
    if (lc.simulated()) {
      auto sim = std::make_unique<bus::SimulatorChild>();
      if (!sim->Start(lc, error)) return false;
      label = "simulator on " + sim->slave_path();
      line.SetPort(sim->slave_path(), label);
      run->simulator_pids.push_back({sim->pid(), label});
      run->simulators.push_back(std::move(sim));
    }
    if (!line.OpenPort(error)) return false;
    for (const config::DeviceConfig& dc : lc.devices) run->sources[dc.data_id] = label;
    run->where += (run->where.empty() ? "" : "; ") + label;
  }
  return true;
}

// Step 4: the outputs, opened now that every check has passed (the events file first: it may
// still be refused, held by another host), then the plug-in's log.
bool OpenOutputs(const config::HostOptions& o, Plan& plan, Run* run, std::string* error) {
  if (!o.events.empty()) {
    std::unique_ptr<outputs::EventsFile> events =
        outputs::EventsFile::Open(o.events, o.events_new, error);
    if (!events) return false;
    run->outputs.push_back(
        std::make_unique<outputs::AsyncOutput>("events file " + o.events, std::move(events)));
  }
  if (!run->plugin_output.Settle(o.log, error)) return false;
  if (!plan.cache_targets.empty()) {
    run->outputs.push_back(std::make_unique<outputs::AsyncOutput>(
        "record cache", std::make_unique<outputs::CacheOutput>(plan.cache_targets)));
  }
  for (auto& out : plan.checked_outputs) run->outputs.push_back(std::move(out));
  const int view_fd = run->plugin_output.view_fd();
  run->view = std::make_unique<view::ViewOutput>(view_fd, !o.plain && isatty(view_fd) == 1,
                                                 run->sources, JournalStream(view_fd));
  for (auto& out : run->outputs) run->fanout.Add(out.get());
  run->fanout.Add(run->view.get());
  run->errors = std::make_unique<HostLines>(STDERR_FILENO);
  run->fanout.Start(run->infos, [run](const outputs::Notice& n) { run->notices.Post(n); });
  for (auto& line : run->lines) line->AnnounceOpen();
  return true;
}

void SayStarted(const config::HostOptions& o, const config::Site& site, Run* run) {
  const std::string log = o.log.empty() ? "/dev/null" : o.log;
  const std::size_t device_count = run->devices.size();
  if (device_count == 1) {
    run->Show({"polling the " + run->where + " every " + std::to_string(site.lines[0].interval_ms) +
                   " ms; plug-in output to " + log,
               outputs::NoticeKind::kStartStop});
  } else {
    run->Show({"polling " + CountText(device_count, "device", "devices") + " on " +
                   CountText(run->lines.size(), "line", "lines") + " (" + run->where +
                   "); plug-in output to " + log,
               outputs::NoticeKind::kStartStop});
  }
}

// The cached records, handed to their devices as the controller does after configuring them.
void RestoreCaches(const Plan& plan, Run* run) {
  for (const auto& device : run->devices) {
    auto c = plan.cached.find(device->DataId());
    if (c == plan.cached.end()) continue;
    if (device->LoadFromCache(c->second)) {
      outputs::HostEvent e;
      e.kind = outputs::EventKind::kRestore;
      e.data_id = device->DataId();
      e.at = outputs::WallClock::now();
      e.bytes.assign(c->second.begin(), c->second.end());
      run->fanout.Take(e);
    } else {
      run->Show("device " + std::to_string(device->DataId()) + " did not take the cached record");
    }
  }
}

// The outputs' messages, shown on the loop's thread.
class NoticeDrain : public bus::Pollable {
 public:
  explicit NoticeDrain(Run* run) : run_(run) {}
  pollfd Wanted() const override { return {run_->notices.fd(), POLLIN, 0}; }
  void OnReady() override {
    for (const outputs::Notice& n : run_->notices.Take()) run_->Show(n);
  }

 private:
  Run* run_;
};

// A terminal that could not take everything at once, written on when it can take more.
class WriterFlush : public bus::Pollable {
 public:
  explicit WriterFlush(view::TerminalWriter* writer) : writer_(writer) {}
  pollfd Wanted() const override {
    return {writer_->wants_write() ? writer_->fd() : -1, POLLOUT, 0};
  }
  void OnReady() override { writer_->Flush(); }

 private:
  view::TerminalWriter* writer_;
};

// Step 5: the run, until it ends; then the outputs hand over what they hold (bounded) and
// everything is taken down in order.
int Poll(const config::HostOptions& o, Run* run) {
  std::vector<bus::Line*> lines;
  for (auto& line : run->lines) lines.push_back(line.get());
  bus::LoopLimits limits;
  limits.rounds = o.rounds;
  limits.duration_s = o.duration_s;
  NoticeDrain notices(run);
  WriterFlush errors(&run->errors->writer());
  WriterFlush view(&run->view->writer());
  WatchdogPing watchdog(HostNotifier());  // systemd's, when it has one
  bus::PollLoop loop(lines, {&notices, &errors, &view, &watchdog}, run->simulator_pids, limits);
  int code = 0;
  std::string message;
  if (!loop.Start(&message)) {
    run->Show({message, outputs::NoticeKind::kFailure});
    code = kExitRuntime;
  } else {
    HostNotifier().Ready("polling " + std::to_string(lines.size()) + " line(s)");
    const bus::LoopEnd end = loop.Run(&message);
    HostNotifier().Stopping();
    for (const outputs::Notice& n : run->notices.Take()) run->Show(n);
    if (end == bus::LoopEnd::kSimulatorExited) {
      for (auto& s : run->simulators) {
        if (s->pid() == loop.exited_simulator()) s->Forget();
      }
    }
    const bool failed = end == bus::LoopEnd::kSimulatorExited ||
                        end == bus::LoopEnd::kRoundsTimedOut || end == bus::LoopEnd::kError;
    if (end != bus::LoopEnd::kRoundsDone && end != bus::LoopEnd::kDurationDone) {
      run->Show(
          {message, failed ? outputs::NoticeKind::kFailure : outputs::NoticeKind::kStartStop});
    }
    if (failed) code = kExitRuntime;
  }
  run->fanout.Stop();
  for (const outputs::Notice& n : run->notices.Take()) run->Show(n);
  run->errors->writer().Drain(500);
  return code;
}

}  // namespace

int RunHost(const config::HostOptions& o) {
  std::string error;
  Plan plan;
  Run run;
  try {
    if (!PlanRun(o, &plan, &error) || !Assemble(plan, &run, &error) ||
        !TakeLines(plan.site, &run, &error) || !OpenOutputs(o, plan, &run, &error)) {
      return Fail(kExitConfig, error);
    }
  } catch (const std::exception& e) {
    return Fail(kExitConfig, std::string("cannot start: ") + e.what());
  }
  try {
    SayStarted(o, plan.site, &run);
    RestoreCaches(plan, &run);
    return Poll(o, &run);
  } catch (const std::exception& e) {
    return Fail(kExitRuntime, std::string("stopped by an unexpected error: ") + e.what());
  }
}

}  // namespace app

// battery-host: the reference host for the ondrell_20 plug-in. It does what the UPS controller's
// monitoring framework does for one battery string: loads the plug-in, creates and configures the
// device, restores its last record, then drives its poll tick and feeds it the serial line's
// bytes, showing every round's record and the alarms the host's threshold evaluation raises.

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include <json/value.h>

#include "battery_host/cache_file.h"
#include "battery_host/event_log.h"
#include "battery_host/host_listener.h"
#include "battery_host/host_loop.h"
#include "battery_host/host_port.h"
#include "battery_host/host_settings.h"
#include "battery_host/options.h"
#include "battery_host/plugin_library.h"
#include "battery_host/serial_port.h"
#include "battery_host/sim_child.h"
#include "battery_host/string_record.h"
#include "host/xqr_controller.h"
#include "host/xqr_spdevice.h"

namespace {

constexpr int kExitConfig = 2;   // the person running the host can fix something
constexpr int kExitRuntime = 1;  // the run itself did not succeed

int Fail(int code, const std::string& message) {
  std::fprintf(stderr, "battery-host: %s\n", message.c_str());
  return code;
}

// The plug-in writes its diagnostic lines to standard output. They go to the log file (or
// nowhere) so that they cannot tear the view; the view keeps the original standard output.
bool SplitStandardOutput(const std::string& log, int* view_fd, std::string* error) {
  std::fflush(stdout);
  *view_fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  const std::string target = log.empty() ? "/dev/null" : log;
  const int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (*view_fd < 0 || fd < 0) {
    *error = "cannot open log " + target;
    return false;
  }
  dup2(fd, STDOUT_FILENO);
  close(fd);
  return true;
}

// The device as the host configures it: its own Init (data id, controller), the bus address from
// the command line (the host keeps it with bit 7 set; InitSetting inverts that bit), the port,
// the host's alarm limits, then the device's InitSetting with the whole settings object.
bool ConfigureDevice(XQRSPDevice& device, const HostOptions& o, const Json::Value& settings,
                     const std::map<std::string, HostLimit>& limits,
                     const std::shared_ptr<XQRController>& controller,
                     const std::shared_ptr<HostPort>& port, std::string* error) {
  device.Init(controller, o.data_id, settings);
  device.addr_ = static_cast<std::uint8_t>(o.address);
  device.AttachPort(port);
  controller->AddDevice(&device);
  std::map<std::string, AlarmBand> bands;
  for (const auto& [key, limit] : limits) {
    bands[key] = limit.band;
    device.threshold_levels_[key] = limit.level;
    if (limit.band.has_high) device.threshold_values_[key] = limit.band.high;
  }
  controller->SetAlarmBands(o.data_id, std::move(bands));
  try {
    device.InitSetting(settings);
  } catch (const std::exception& e) {
    *error = std::string("the device refused its settings: ") + e.what();
    return false;
  }
  return true;
}

int RunHost(const HostOptions& o) {
  const std::string settings_path = o.settings.empty() ? DefaultSettingsPath() : o.settings;
  Json::Value settings;
  std::string error;
  if (!LoadSettingsFile(settings_path, &settings, &error)) return Fail(kExitConfig, error);
  std::map<std::string, HostLimit> limits;
  if (!ParseHostThresholds(settings, 32, &limits, &error)) {
    return Fail(kExitConfig, "invalid settings " + settings_path + ": " + error);
  }

  PluginLibrary library;
  if (!library.Load(o.plugin.empty() ? DefaultPluginPath() : o.plugin, &error)) {
    return Fail(kExitConfig, error);
  }
  EventLog events;
  if (!o.events.empty() && !events.Open(o.events, &error)) return Fail(kExitConfig, error);

  std::string cached;
  if (!o.cache.empty()) {
    switch (ReadCacheFile(o.cache, StringRecord::kSize, &cached, &error)) {
      case CacheRead::kRecord:
      case CacheRead::kMissing: break;
      case CacheRead::kWrongSize:
        std::fprintf(stderr, "battery-host: %s; starting without it\n", error.c_str());
        break;
      case CacheRead::kError: return Fail(kExitConfig, error);
    }
  }

  SimulatorChild simulator;
  SerialPort port;
  std::string source;
  if (!o.port.empty()) {
    if (!port.Open(o.port, &error)) return Fail(kExitConfig, error);
    source = "port " + o.port;
  } else {
    SimulatorSettings sim;
    sim.bus_address = static_cast<std::uint8_t>((o.address + 0x80) & 0xFF);
    sim.discharge = o.sim_discharge;
    sim.seed = o.sim_seed;
    sim.faults = o.sim_faults;
    if (!simulator.Start(sim, &error)) return Fail(kExitConfig, error);
    if (!port.Open(simulator.slave_path(), &error)) return Fail(kExitConfig, error);
    source = "simulator on " + simulator.slave_path();
  }
  events.Port("open", port.path(), source);

  int view_fd = -1;
  if (!SplitStandardOutput(o.log, &view_fd, &error)) return Fail(kExitConfig, error);
  ViewOutput view(view_fd, !o.plain && isatty(view_fd) == 1);
  std::fprintf(stderr, "battery-host: polling the %s every %u ms; plug-in output to %s\n",
               source.c_str(), o.interval_ms, o.log.empty() ? "/dev/null" : o.log.c_str());

  auto controller = std::make_shared<XQRController>();
  auto host_port = std::make_shared<HostPort>(port, events);
  std::unique_ptr<XQRSPDevice> device = library.CreateDevice();
  if (!device) return Fail(kExitConfig, "the plug-in's provider made no device");
  const int cells = device->DeviceType() == "ondrell_20" ? 20 : 32;
  HostListener listener(events, view, o.cache, cells, source);
  controller->SetListener(&listener);

  int code = 0;
  if (!ConfigureDevice(*device, o, settings, limits, controller, host_port, &error)) {
    code = Fail(kExitConfig, error);
  } else {
    if (!cached.empty()) {
      if (device->LoadFromCache(cached)) {
        listener.ShowRestored(reinterpret_cast<const unsigned char*>(cached.data()));
      } else {
        listener.Notice("the device did not take the cached record");
      }
    }
    LoopSettings ls;
    ls.interval_ms = o.interval_ms;
    ls.rounds = o.rounds;
    ls.simulator = simulator.pid();
    HostLoop loop(*device, port, *host_port, events, listener, ls);
    if (!loop.Start(&error)) {
      code = Fail(kExitRuntime, error);
    } else {
      std::string message;
      switch (loop.Run(&message)) {
        case LoopEnd::kRoundsDone: break;
        case LoopEnd::kSignal: std::fprintf(stderr, "battery-host: %s\n", message.c_str()); break;
        case LoopEnd::kSimulatorExited:
          simulator.Forget();
          code = Fail(kExitRuntime, message);
          break;
        case LoopEnd::kRoundsTimedOut:
        case LoopEnd::kError: code = Fail(kExitRuntime, message); break;
      }
    }
  }
  if (!events.Healthy()) code = Fail(kExitRuntime, "writing the events file failed");
  // The device goes before the library that holds its code.
  controller->RemoveDevice(o.data_id);
  controller->SetListener(nullptr);
  device.reset();
  library.Unload();
  port.Close();
  simulator.Stop();
  close(view_fd);
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);  // a closed view or log must not kill the host
  std::string error;
  const std::optional<HostOptions> options = ParseHostOptions(argc, argv, &error);
  if (!options) {
    if (error.empty()) {
      std::fputs(HostUsage(), stdout);
      return 0;
    }
    std::fprintf(stderr, "battery-host: %s\n%s", error.c_str(), HostUsage());
    return kExitConfig;
  }
  return RunHost(*options);
}

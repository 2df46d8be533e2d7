#include "battery_host/config/site.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <initializer_list>
#include <sstream>
#include <set>

#include "battery_host/config/default_paths.h"
#include "battery_host/config/options.h"
#include "battery_host/config/signal_names.h"
#include "battery_host/config/site_name.h"
#include "battery_host/support/output_paths.h"

namespace config {

namespace {

namespace fs = std::filesystem;

// A path of the site file is relative to the site file's folder.
std::string Resolve(const std::string& base_dir, const std::string& path) {
  if (path.empty() || fs::path(path).is_absolute()) return path;
  return (fs::path(base_dir) / path).string();
}

// Reads values of the site file, each checked for type and range before it is converted, and
// refuses anything else with the value's line and column.
class SiteReader {
 public:
  SiteReader(const JsonDocument& doc, std::string* error) : doc_(doc), error_(error) {}

  bool Fail(const Json::Value& at, const std::string& message) {
    *error_ = doc_.Error(at, message);
    return false;
  }

  bool Object(const Json::Value& v, const std::string& name) {
    return v.isObject() || Fail(v, name + " must be an object");
  }

  bool KnownKeys(const Json::Value& object, const std::string& name,
                 std::initializer_list<const char*> known) {
    for (auto it = object.begin(); it != object.end(); ++it) {
      bool found = false;
      std::string list;
      for (const char* k : known) {
        found = found || it.name() == k;
        list += (list.empty() ? "" : ", ") + std::string(k);
      }
      if (!found) {
        return Fail(*it, name + ": unknown key \"" + it.name() + "\" (known: " + list + ")");
      }
    }
    return true;
  }

  // Whole numbers only, in [min, max]: 129 and 129.0 are fine, -1, 1.5, "129" and 2^64 are not.
  bool Unsigned(const Json::Value& v, const std::string& name, unsigned long long min,
                unsigned long long max, unsigned long long* out) {
    if (!v.isUInt64() || v.asUInt64() < min || v.asUInt64() > max) {
      return Fail(v, name + " must be a whole number " + std::to_string(min) + " to " +
                         std::to_string(max));
    }
    *out = v.asUInt64();
    return true;
  }

  template <typename T>
  bool UnsignedAs(const Json::Value& v, const std::string& name, unsigned long long min,
                  unsigned long long max, T* out) {
    unsigned long long n = 0;
    if (!Unsigned(v, name, min, max, &n)) return false;
    *out = static_cast<T>(n);
    return true;
  }

  bool Number(const Json::Value& v, const std::string& name, double min, double max, double* out) {
    if (!v.isNumeric() || !(v.asDouble() >= min && v.asDouble() <= max)) {
      std::ostringstream range;
      range << min << " to " << max;
      return Fail(v, name + " must be a number " + range.str());
    }
    *out = v.asDouble();
    return true;
  }

  bool Bool(const Json::Value& v, const std::string& name, bool* out) {
    if (!v.isBool()) return Fail(v, name + " must be true or false");
    *out = v.asBool();
    return true;
  }

  bool Text(const Json::Value& v, const std::string& name, std::string* out) {
    if (!v.isString() || v.asString().empty()) return Fail(v, name + " must be a non-empty text");
    *out = v.asString();
    return true;
  }

  bool Sim(const Json::Value& v, const std::string& name, SimModuleConfig* sim) {
    if (!Object(v, name) || !KnownKeys(v, name,
                                       {"seed", "faults", "discharge", "silent", "weak_cell",
                                        "weak_capacity", "cells"})) {
      return false;
    }
    if (v.isMember("seed") && !UnsignedAs(v["seed"], name + ".seed", 0, ~0ull, &sim->seed)) {
      return false;
    }
    if (v.isMember("faults") && !Number(v["faults"], name + ".faults", 0.0, 1.0, &sim->faults)) {
      return false;
    }
    if (v.isMember("discharge") && !Bool(v["discharge"], name + ".discharge", &sim->discharge)) {
      return false;
    }
    if (v.isMember("silent") && !Bool(v["silent"], name + ".silent", &sim->silent)) return false;
    if (v.isMember("weak_cell") &&
        !UnsignedAs(v["weak_cell"], name + ".weak_cell", 0, 32, &sim->weak_cell)) {
      return false;
    }
    if (v.isMember("weak_capacity") &&
        !Number(v["weak_capacity"], name + ".weak_capacity", 0.05, 1.0, &sim->weak_capacity)) {
      return false;
    }
    if (v.isMember("cells") && !UnsignedAs(v["cells"], name + ".cells", 0, 32, &sim->cells)) {
      return false;
    }
    return true;
  }

 private:
  const JsonDocument& doc_;
  std::string* error_;
};

// The largest string a device can be, until the plug-in has made it.
constexpr int kMostCells = 32;

bool ReadThresholdsInto(const Json::Value& thresholds, const std::shared_ptr<JsonDocument>& doc,
                        DeviceConfig* device, std::string* error) {
  device->thresholds = thresholds;
  device->thresholds_doc = doc;
  // "*cells*" is expanded for the largest string; keys beyond a device's cells stay unused.
  return ParseHostThresholds(thresholds, *doc, kMostCells, &device->limits, error);
}

// A circle in the peers: following `next` from a device comes back to it. Returns the devices
// of the first circle found, in order, or nothing.
std::vector<unsigned int> FindCircle(
    const Site& site, const std::function<std::vector<unsigned int>(const DeviceConfig&)>& next) {
  std::map<unsigned int, int> state;  // 1: on the current path, 2: done
  std::vector<unsigned int> path;
  std::function<bool(unsigned int)> visit = [&](unsigned int id) {
    const DeviceConfig* d = site.FindDevice(id);
    if (d == nullptr || state[id] == 2) return false;
    if (state[id] == 1) {
      path.erase(path.begin(), std::find(path.begin(), path.end(), id));
      return true;
    }
    state[id] = 1;
    path.push_back(id);
    for (unsigned int peer : next(*d)) {
      if (visit(peer)) return true;
    }
    path.pop_back();
    state[id] = 2;
    return false;
  };
  for (const LineConfig& line : site.lines) {
    for (const DeviceConfig& d : line.devices) {
      if (visit(d.data_id)) return path;
    }
  }
  return {};
}

std::string CircleText(const std::vector<unsigned int>& circle, const std::string& verb) {
  std::string text;
  for (std::size_t i = 0; i < circle.size(); ++i) {
    const unsigned int next = circle[(i + 1) % circle.size()];
    text += (i == 0 ? "device " : ", device ") + std::to_string(circle[i]) + " " + verb +
            " device " + std::to_string(next) + "'s";
  }
  return text;
}

bool ReadDevice(const Json::Value& v, const std::string& name,
                const std::shared_ptr<JsonDocument>& site_doc, SiteReader& r,
                const std::string& base_dir, DeviceConfig* d, std::string* error) {
  if (!r.Object(v, name) ||
      !r.KnownKeys(v, name,
                   {"data_id", "address", "settings", "hostThresholds", "cache", "name", "sim"})) {
    return false;
  }
  if (!v.isMember("data_id")) return r.Fail(v, name + ": \"data_id\" is missing");
  if (!r.UnsignedAs(v["data_id"], name + ".data_id", 0, 0xFFFFFFFFull, &d->data_id)) return false;
  if (!v.isMember("address")) return r.Fail(v, name + ": \"address\" is missing");
  if (!r.UnsignedAs(v["address"], name + ".address", 0, 255, &d->address)) return false;
  if (v.isMember("name") && !r.Text(v["name"], name + ".name", &d->name)) return false;
  if (v.isMember("cache")) {
    if (!r.Text(v["cache"], name + ".cache", &d->cache)) return false;
    d->cache = Resolve(base_dir, d->cache);
  }
  if (v.isMember("sim") && !r.Sim(v["sim"], name + ".sim", &d->sim)) return false;

  if (!v.isMember("settings")) return r.Fail(v, name + ": \"settings\" is missing");
  const Json::Value& settings = v["settings"];
  if (settings.isString()) {
    if (!LoadDeviceSettings(Resolve(base_dir, settings.asString()), d, error)) return false;
  } else if (settings.isObject()) {
    d->settings = settings;
    d->settings_doc = site_doc;
    d->settings_source = "site file " + site_doc->path;
    if (!ReadThresholdsInto(settings["hostThresholds"], site_doc, d, error)) return false;
    d->link = ReadLinkSettings(d->settings);
    d->peers = PeersOf(d->link);
  } else {
    return r.Fail(settings, name + ".settings must be a file name or the settings object");
  }
  // The site's own limits for the device replace those of its settings.
  if (v.isMember("hostThresholds") &&
      !ReadThresholdsInto(v["hostThresholds"], site_doc, d, error)) {
    return false;
  }
  return true;
}

bool ReadMqttSite(const Json::Value& v, SiteReader& r, std::string* mqtt_site) {
  std::string why;
  if (!v.isString()) return r.Fail(v, "mqtt_site must be a text");
  if (!CheckSiteName(v.asString(), "mqtt_site", &why)) return r.Fail(v, why);
  *mqtt_site = v.asString();
  return true;
}

// A line's timing, each optional with the line's default.
bool ReadLineTiming(const Json::Value& l, const std::string& name, SiteReader& r,
                    LineConfig* line) {
  if (l.isMember("interval_ms") &&
      !r.UnsignedAs(l["interval_ms"], name + ".interval_ms", 10, 3600000, &line->interval_ms)) {
    return false;
  }
  if (l.isMember("reply_timeout_ms") &&
      !r.UnsignedAs(l["reply_timeout_ms"], name + ".reply_timeout_ms", 1, 60000,
                    &line->reply_timeout_ms)) {
    return false;
  }
  if (l.isMember("guard_ms") &&
      !r.UnsignedAs(l["guard_ms"], name + ".guard_ms", 0, 10000, &line->guard_ms)) {
    return false;
  }
  return true;
}

// How a simulated line runs: its clock's speed and the gap between a reply's chunks.
bool ReadLineSim(const Json::Value& sim, const std::string& name, SiteReader& r, LineConfig* line) {
  if (!r.Object(sim, name) || !r.KnownKeys(sim, name, {"time_scale", "chunk_gap_ms"})) {
    return false;
  }
  if (sim.isMember("time_scale") &&
      !r.Number(sim["time_scale"], name + ".time_scale", 0.0, 1e6, &line->sim_time_scale)) {
    return false;
  }
  if (sim.isMember("chunk_gap_ms") && !r.UnsignedAs(sim["chunk_gap_ms"], name + ".chunk_gap_ms", 0,
                                                    10000, &line->sim_chunk_gap_ms)) {
    return false;
  }
  return true;
}

bool ReadLine(const Json::Value& l, const std::string& name,
              const std::shared_ptr<JsonDocument>& site_doc, SiteReader& r,
              const std::string& base_dir, LineConfig* line, std::string* error) {
  if (!r.Object(l, name) ||
      !r.KnownKeys(l, name,
                   {"port", "interval_ms", "reply_timeout_ms", "guard_ms", "devices", "sim"})) {
    return false;
  }
  if (!l.isMember("port")) return r.Fail(l, name + ": \"port\" is missing");
  if (!r.Text(l["port"], name + ".port", &line->port)) return false;
  if (!line->simulated()) line->port = Resolve(base_dir, line->port);
  if (!ReadLineTiming(l, name, r, line)) return false;
  if (l.isMember("sim") && !ReadLineSim(l["sim"], name + ".sim", r, line)) return false;
  const Json::Value& devices = l["devices"];
  if (!devices.isArray() || devices.empty()) {
    return r.Fail(devices.isNull() ? l : devices,
                  name + ".devices must be an array of at least one device");
  }
  for (Json::ArrayIndex k = 0; k < devices.size(); ++k) {
    DeviceConfig d;
    if (!ReadDevice(devices[k], name + ".devices[" + std::to_string(k) + "]", site_doc, r, base_dir,
                    &d, error)) {
      return false;
    }
    line->devices.push_back(std::move(d));
  }
  return true;
}

}  // namespace

const DeviceConfig* Site::FindDevice(unsigned int data_id) const {
  for (const LineConfig& line : lines) {
    for (const DeviceConfig& d : line.devices) {
      if (d.data_id == data_id) return &d;
    }
  }
  return nullptr;
}

bool LoadDeviceSettings(const std::string& path, DeviceConfig* device, std::string* error) {
  auto doc = std::make_shared<JsonDocument>();
  if (ReadJsonObjectFile(path, "settings", doc.get(), error) != support::FileRead::kOk) {
    return false;
  }
  device->settings = doc->root;
  device->settings_source = "settings " + path;
  device->settings_doc = doc;
  if (!ReadThresholdsInto(doc->root["hostThresholds"], doc, device, error)) return false;
  device->link = ReadLinkSettings(device->settings);
  device->peers = PeersOf(device->link);
  return true;
}

bool LoadSiteFile(const std::string& path, Site* site, std::string* error) {
  auto doc = std::make_shared<JsonDocument>();
  if (ReadJsonObjectFile(path, "site file", doc.get(), error) != support::FileRead::kOk) {
    return false;
  }
  return ReadSite(doc, site, error);
}

bool ReadSite(const std::shared_ptr<JsonDocument>& doc, Site* site, std::string* error) {
  const std::string& path = doc->path;
  SiteReader r(*doc, error);
  const std::string base_dir = support::FolderOf(path);
  Site s;
  s.path = path;
  const Json::Value& root = doc->root;
  if (!r.KnownKeys(root, "the site", {"lines", "mqtt_site"})) return false;
  if (root.isMember("mqtt_site") && !ReadMqttSite(root["mqtt_site"], r, &s.mqtt_site)) {
    return false;
  }
  const Json::Value& lines = root["lines"];
  if (!lines.isArray() || lines.empty()) {
    return r.Fail(lines, "\"lines\" must be an array of at least one line");
  }
  for (Json::ArrayIndex i = 0; i < lines.size(); ++i) {
    LineConfig line;
    if (!ReadLine(lines[i], "lines[" + std::to_string(i) + "]", doc, r, base_dir, &line, error)) {
      return false;
    }
    s.lines.push_back(std::move(line));
  }
  if (!CheckSite(s, error)) {
    *error = support::Printable("invalid site file " + path + ": " + *error);
    return false;
  }
  if (!CheckSignalNames(
          s, [](unsigned int) { return kMostCells; }, error))
    return false;
  *site = std::move(s);
  return true;
}

bool SiteFromOptions(const HostOptions& o, Site* site, std::string* error) {
  DeviceConfig d;
  d.data_id = o.data_id;
  d.address = o.address;
  d.cache = o.cache;
  d.sim.seed = o.sim_seed;
  d.sim.faults = o.sim_faults;
  d.sim.discharge = o.sim_discharge;
  d.sim.weak_cell = o.sim_weak_cell;
  d.sim.weak_capacity = o.sim_weak_capacity;
  d.sim.load_step = o.sim_load_step;
  if (!LoadDeviceSettings(o.settings.empty() ? DefaultSettingsPath() : o.settings, &d, error)) {
    return false;
  }
  LineConfig line;
  line.port = o.port.empty() ? "sim" : o.port;
  line.interval_ms = o.interval_ms;
  line.reply_timeout_ms = o.reply_timeout_ms;
  line.guard_ms = o.guard_ms;
  line.sim_time_scale = o.sim_time_scale;
  line.devices.push_back(std::move(d));
  Site s;
  s.lines.push_back(std::move(line));
  if (!CheckSite(s, error)) return false;
  *site = std::move(s);
  return true;
}

// The port a line names, as the system knows it: /dev/../dev/ttyUSB0 and a link to it are
// /dev/ttyUSB0. A path that does not resolve stays as written (opening it will say why).
std::string CanonicalPort(const std::string& port) {
  std::error_code ec;
  const fs::path real = fs::canonical(port, ec);
  return ec ? port : real.string();
}

bool CheckSite(const Site& site, std::string* error) {
  std::map<std::string, std::size_t> ports;  // canonical path -> line
  for (std::size_t i = 0; i < site.lines.size(); ++i) {
    if (site.lines[i].simulated()) continue;
    const std::string port = CanonicalPort(site.lines[i].port);
    auto [it, fresh] = ports.emplace(port, i);
    if (!fresh) {
      *error = "lines[" + std::to_string(it->second) + "] and lines[" + std::to_string(i) +
               "] both use port " + port + "; the devices of one port belong on one line";
      return false;
    }
  }
  std::set<unsigned int> ids;
  for (std::size_t li = 0; li < site.lines.size(); ++li) {
    const LineConfig& line = site.lines[li];
    std::map<unsigned int, unsigned int> addresses;  // address -> data id
    for (const DeviceConfig& d : line.devices) {
      if (!ids.insert(d.data_id).second) {
        *error = "data id " + std::to_string(d.data_id) + " is given to two devices";
        return false;
      }
      auto [it, fresh] = addresses.emplace(d.address, d.data_id);
      if (!fresh) {
        *error = "devices " + std::to_string(it->second) + " and " + std::to_string(d.data_id) +
                 " both have address " + std::to_string(d.address) + " on lines[" +
                 std::to_string(li) + "] (" + line.port + ")";
        return false;
      }
    }
  }
  for (const LineConfig& line : site.lines) {
    for (const DeviceConfig& d : line.devices) {
      std::vector<std::pair<unsigned int, std::string>> wanted;
      for (unsigned int id : d.peers.group_voltage) wanted.emplace_back(id, "group_voltage");
      if (d.peers.current_peer != 0) wanted.emplace_back(d.peers.current_peer, "r_data_id");
      for (const auto& [id, key] : wanted) {
        if (id == d.data_id) {
          *error = "device " + std::to_string(d.data_id) + " names itself in \"" + key + "\" of " +
                   d.settings_source;
          return false;
        }
        if (ids.count(id) == 0) {
          *error = "device " + std::to_string(d.data_id) + " takes \"" + key + "\" from data id " +
                   std::to_string(id) + ", which no device of the site has (" + d.settings_source +
                   ")";
          return false;
        }
      }
    }
  }
  const std::vector<unsigned int> adding =
      FindCircle(site, [](const DeviceConfig& d) { return d.peers.group_voltage; });
  if (!adding.empty()) {
    *error = "group voltages added in a circle (" + CircleText(adding, "adds") +
             "): each round the sum would grow without end";
    return false;
  }
  // Only a peer's own current passes a current on; its other values come from its module.
  const std::vector<unsigned int> taking = FindCircle(site, [](const DeviceConfig& d) {
    return d.peers.current_peer != 0 && d.peers.current_field == "group_current"
               ? std::vector<unsigned int>{d.peers.current_peer}
               : std::vector<unsigned int>{};
  });
  if (!taking.empty()) {
    *error = "currents taken in a circle (" + CircleText(taking, "takes") +
             "): none of them would ever come from a module";
    return false;
  }
  return true;
}

bool CheckSignalNames(const Site& site, const std::function<int(unsigned int data_id)>& cells_of,
                      std::string* error) {
  for (const LineConfig& line : site.lines) {
    for (const DeviceConfig& d : line.devices) {
      std::map<std::string, HostLimit> limits;
      if (d.thresholds_doc && !ParseHostThresholds(d.thresholds, *d.thresholds_doc,
                                                   cells_of(d.data_id), &limits, error)) {
        return false;
      }
      if (d.peers.current_peer == 0) continue;
      const int cells = cells_of(d.peers.current_peer);
      if (ServesSignal(d.peers.current_field, cells)) continue;
      *error = support::Printable(
          (site.path.empty() ? std::string() : "invalid site file " + site.path + ": ") +
          "device " + std::to_string(d.data_id) + " takes its current from \"" +
          d.peers.current_field + "\" of device " + std::to_string(d.peers.current_peer) +
          ", which that device does not have; the closest is \"" +
          ClosestSignalName(d.peers.current_field, SignalNames(cells), cells) + "\" (" +
          d.settings_source + ")");
      return false;
    }
  }
  return true;
}

}  // namespace config

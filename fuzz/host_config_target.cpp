// battery-host's own reading of what a person gives it: the text of a settings file or a site
// file, as typed (deep nesting, trailing text, duplicate keys, numbers beyond any type, wrong
// types everywhere). The same text is read the three ways the host reads such files:
//   - config::ParseJsonObject, the bounded parse of every settings and site file;
//   - ParseHostThresholds over its "hostThresholds" (and over the whole object, as if it were
//     one), and the peers the device will ask for;
//   - ReadSite, as a site file in the folder of the shipped examples, so that the settings files
//     it names by their shipped names are read too.
// Nothing may escape as an exception; a refusal is one line (no control character) naming the file;
// what is accepted obeys the ranges the host documents.
//
// Input: the file's text, nothing else (the shipped example files are seeds as they are).

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <set>
#include <string>

#include "battery_host/config/device_peers.h"
#include "battery_host/config/host_thresholds.h"
#include "battery_host/config/json_file.h"
#include "battery_host/config/site.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& detail, int line) {
  std::fprintf(stderr, "host_config_target.cpp:%d: invariant violated: %s (%s)\n", line, what,
               detail.c_str());
  std::fflush(stderr);
  std::abort();
}

#define HOST_CHECK(cond, detail)                  \
  do {                                            \
    if (!(cond)) Fail(#cond, (detail), __LINE__); \
  } while (0)

const std::string kSitePath = BATTERY_HOST_EXAMPLES "/fuzz-site.json";

// Not empty, and no control character at all: no line break, nor a NUL or an escape sequence
// copied from a key name onto the person's terminal.
bool OneLine(const std::string& text) {
  if (text.empty()) return false;
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

bool StartsWith(const std::string& text, const std::string& start) {
  return text.compare(0, start.size(), start) == 0;
}

int Depth(const Json::Value& v) {
  if (!v.isArray() && !v.isObject()) return 0;
  int deepest = 0;
  for (const Json::Value& child : v) {
    const int d = Depth(child);
    if (d > deepest) deepest = d;
  }
  return deepest + 1;
}

void CheckLimits(const std::map<std::string, config::HostLimit>& limits) {
  for (const auto& [key, limit] : limits) {
    HOST_CHECK(limit.level >= 1, key);
    if (limit.band.has_low) HOST_CHECK(std::fabs(limit.band.low) <= FLT_MAX, key);
    if (limit.band.has_high) HOST_CHECK(std::fabs(limit.band.high) <= FLT_MAX, key);
  }
}

void Thresholds(const Json::Value& thresholds, const config::JsonDocument& doc) {
  std::map<std::string, config::HostLimit> limits;
  std::string error;
  if (config::ParseHostThresholds(thresholds, doc, 32, &limits, &error)) {
    CheckLimits(limits);
    if (thresholds.isNull()) HOST_CHECK(limits.empty(), "null thresholds gave limits");
  } else {
    HOST_CHECK(OneLine(error), error);
    HOST_CHECK(StartsWith(error, "invalid settings " + doc.path + ": "), error);
  }
}

void CheckSite(const config::Site& site) {
  HOST_CHECK(!site.lines.empty(), "a site without lines");
  std::set<unsigned int> ids;
  for (const config::LineConfig& line : site.lines) {
    HOST_CHECK(!line.devices.empty(), "a line without devices");
    HOST_CHECK(line.interval_ms >= 10 && line.interval_ms <= 3600000, line.port);
    HOST_CHECK(line.reply_timeout_ms >= 1 && line.reply_timeout_ms <= 60000, line.port);
    HOST_CHECK(!line.port.empty(), "an empty port");
    std::set<unsigned int> addresses;
    for (const config::DeviceConfig& d : line.devices) {
      HOST_CHECK(ids.insert(d.data_id).second, "data id twice");
      HOST_CHECK(d.address <= 255, std::to_string(d.address));
      HOST_CHECK(addresses.insert(d.address).second, "address twice on a line");
      HOST_CHECK(d.settings.isObject(), "settings that are not an object");
      HOST_CHECK(d.settings_doc != nullptr, "settings without their document");
      HOST_CHECK(d.sim.cells >= 0 && d.sim.cells <= 32, std::to_string(d.sim.cells));
      HOST_CHECK(d.sim.weak_cell <= 32, std::to_string(d.sim.weak_cell));
      HOST_CHECK(d.sim.faults >= 0.0 && d.sim.faults <= 1.0, std::to_string(d.sim.faults));
      CheckLimits(d.limits);
    }
  }
}

void ReadAsSite(const std::string& text, const Json::Value& root) {
  auto doc = std::make_shared<config::JsonDocument>();
  doc->what = "site file";
  doc->path = kSitePath;
  doc->text = text;
  doc->root = root;
  config::Site site;
  std::string error;
  if (config::ReadSite(doc, &site, &error)) {
    HOST_CHECK(site.path == kSitePath, site.path);
    CheckSite(site);
    return;
  }
  HOST_CHECK(OneLine(error), error);
  // The site file itself, or a settings file it names.
  HOST_CHECK(StartsWith(error, "invalid site file " + kSitePath + ": ") ||
                 StartsWith(error, "invalid settings ") || StartsWith(error, "settings ") ||
                 StartsWith(error, "cannot read settings "),
             error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    Json::Value parsed;
    std::string error;
    if (!config::ParseJsonObject(text, &parsed, &error)) {
      HOST_CHECK(OneLine(error), error);
      return 0;
    }
    // Read through a const reference, as the host does: operator[] of a mutable value would
    // add the members it looks up.
    const Json::Value& root = parsed;
    HOST_CHECK(root.isObject(), "a root that is not an object");
    HOST_CHECK(Depth(root) <= config::kJsonMaxDepth, std::to_string(Depth(root)));

    config::JsonDocument doc;
    doc.what = "settings";
    doc.path = "fuzz-settings.json";
    doc.text = text;
    doc.root = root;
    Thresholds(root["hostThresholds"], doc);
    Thresholds(root, doc);
    const config::DevicePeers peers = config::ReadDevicePeers(root);
    std::set<unsigned int> seen(peers.group_voltage.begin(), peers.group_voltage.end());
    HOST_CHECK(seen.size() == peers.group_voltage.size(), "a peer listed twice");

    ReadAsSite(text, root);
  } catch (const std::exception& e) {
    Fail("an exception escaped", e.what(), __LINE__);
  } catch (...) {
    Fail("an exception escaped", "not a std::exception", __LINE__);
  }
  return 0;
}

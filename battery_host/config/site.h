#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <json/value.h>

#include "battery_host/config/device_peers.h"
#include "battery_host/config/host_thresholds.h"
#include "battery_host/config/json_file.h"

namespace config {

struct HostOptions;

// The controller the host runs: its serial lines and, on each, the battery devices that answer
// there at their own bus addresses. A site file describes it:
//
//   {"lines": [
//     {"port": "sim", "interval_ms": 1000, "reply_timeout_ms": 100, "guard_ms": 20,
//      "sim": {"time_scale": 1},                          simulator options of the line
//      "devices": [
//        {"data_id": 1, "address": 129, "settings": "string-a.json",   or the object inline
//         "name": "string A", "cache": "string-a.cache", "hostThresholds": {...},
//         "sim": {"seed": 1, "faults": 0, "discharge": false, "silent": false,
//                 "weak_cell": 0, "weak_capacity": 0.5, "cells": 20}}]}],
//    "mqtt_site": "north"}                                the site's name on a broker
//
// Paths in it are relative to the site file's folder. The single-device command line is a site
// of one line with one device.

// How the simulator plays one device's module (lines whose port is "sim").
struct SimModuleConfig {
  std::uint64_t seed = 1;
  double faults = 0.0;  // chance per reply, spread over the fault kinds
  bool discharge = false;
  bool silent = false;
  unsigned int weak_cell = 0;  // block number from 1; 0: none
  double weak_capacity = 0.5;
  double load_step = 0.0;  // amperes more for a minute every 10 minutes of a discharge
  int cells = 20;
};

struct DeviceConfig {
  unsigned int data_id = 1;
  unsigned int address = 129;   // host form; the device inverts bit 7
  std::string name;             // for people; empty: "string <data id>"
  Json::Value settings;         // the settings object handed to InitSetting
  std::string settings_source;  // the settings file, or "site file F" for inline settings
  std::shared_ptr<JsonDocument> settings_doc;  // for messages that point into it
  std::map<std::string, HostLimit> limits;
  // Where the limits came from, to check their keys again once the device's cells are known.
  Json::Value thresholds;
  std::shared_ptr<JsonDocument> thresholds_doc;
  std::string cache;  // empty: none
  SimModuleConfig sim;
  link_settings::Values link;  // the link settings, as the device reads them
  DevicePeers peers;           // what `link` says of other devices

  std::uint8_t BusAddress() const { return static_cast<std::uint8_t>((address + 0x80) & 0xFF); }
  std::string Label() const { return name.empty() ? "string " + std::to_string(data_id) : name; }
};

struct LineConfig {
  std::string port = "sim";  // serial device, or "sim"
  unsigned int interval_ms = 1000;
  unsigned int reply_timeout_ms = 100;
  // Quiet needed on the line before a request goes out: longer than the latency timer of a USB
  // adapter (16 ms), through which a reply heard twice arrives in pieces, plus 3.5 characters.
  unsigned int guard_ms = 20;
  double sim_time_scale = 1.0;
  unsigned int sim_chunk_gap_ms = 20;
  std::vector<DeviceConfig> devices;

  bool simulated() const { return port == "sim"; }
};

struct Site {
  std::string path;  // the site file; empty when built from the command line
  std::vector<LineConfig> lines;
  // The site's name on an MQTT broker (its topics and Home Assistant ids); empty: none.
  // --mqtt-site, when given, is the one used.
  std::string mqtt_site;

  const DeviceConfig* FindDevice(unsigned int data_id) const;
};

// Reads and checks a site file. Every refusal is one line naming the file (and, where it points
// into the file, its line and column).
bool LoadSiteFile(const std::string& path, Site* site, std::string* error);
// The same for a site file already read and parsed (doc->path names it; its folder is where the
// relative paths in it start).
bool ReadSite(const std::shared_ptr<JsonDocument>& doc, Site* site, std::string* error);

// The site of the single-device command line.
bool SiteFromOptions(const HostOptions& options, Site* site, std::string* error);

// Checks across devices: data ids unique, bus addresses unique per line, every peer id a device
// of the site (and not the device itself), no circle of peers (group voltages that add each
// other's would grow every round; currents taken from each other would never come from a
// module).
bool CheckSite(const Site& site, std::string* error);

// Names that must be signals of a device of so many cells: the host alarm keys of every device
// and the value each device takes as its current from a peer. Until the plug-in has made the
// devices, `cells_of` gives the largest string. Refusals are whole messages naming the file.
bool CheckSignalNames(const Site& site, const std::function<int(unsigned int data_id)>& cells_of,
                      std::string* error);

// Reads a device's settings file and its host thresholds (from `thresholds` if not null, else
// from the settings' own "hostThresholds").
bool LoadDeviceSettings(const std::string& path, DeviceConfig* device, std::string* error);

}  // namespace config

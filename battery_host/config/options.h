#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace config {

// The command line of battery-host. Every option has a default, so that running the program with
// no arguments polls the built-in module simulator with the shipped example settings. Either
// --site names a whole controller (lines and their devices), or the single-device options below
// describe a site of one line with one device.
struct HostOptions {
  std::string site;  // site file; empty: one device from the options below

  // One device on one line (not with --site).
  std::string settings;        // empty: the example settings shipped with the sources
  std::string port;            // empty: the module simulator on a pseudo-terminal
  unsigned int address = 129;  // host form: bit 7 set, the device inverts it
  unsigned int data_id = 1;
  unsigned int interval_ms = 1000;
  unsigned int reply_timeout_ms = 100;
  unsigned int guard_ms = 20;  // quiet on the line before a request
  std::string cache;           // last history record, empty: none
  bool sim_discharge = false;
  std::uint64_t sim_seed = 1;
  double sim_faults = 0.0;  // rate applied to every fault kind
  double sim_time_scale = 1.0;
  unsigned int sim_weak_cell = 0;
  double sim_weak_capacity = 0.5;
  double sim_load_step = 0.0;  // extra amperes of the discharge's load steps, 0: none

  // The whole host.
  std::string plugin;  // empty: ondrell_20.so beside the executable
  unsigned int rounds =
      0;  // 0: run until a signal; else stop once every device completed this many
  double duration_s = 0.0;  // 0: no limit; else stop after this many seconds
  std::string events;       // JSON Lines file, empty: none
  bool events_new = false;  // start the events file anew instead of appending
  std::string log;          // where the plug-in's own stdout lines go, empty: discarded
  bool plain = false;       // one line per round even on a terminal

  // History database and its retention.
  std::string history;
  unsigned int history_keep_days = 0;
  bool history_every_round = false;  // keep every round as a row (a lab bench)
  // A change worth a row: volts on the group, volts on a cell, held against the last row
  std::pair<double, double> history_deadband{0.01, 0.05};

  // MQTT.
  std::string mqtt;  // mqtt://host:port or mqtts://host:port; empty: no MQTT
  std::string mqtt_credentials;
  std::string mqtt_ca;
  std::string mqtt_prefix = "battery-host";
  std::string mqtt_site;  // one more topic level and part of the ids; empty: none
  std::string mqtt_discovery_prefix = "homeassistant";
};

enum class ParseResult { kRun, kHelp, kError };

// Parses argv. kHelp: *text holds the help (or, for --version, the version line) to print on
// standard output. kError: *text holds one line naming the option and what is wrong with it.
ParseResult ParseHostOptions(int argc, const char* const* argv, HostOptions* options,
                             std::string* text);

}  // namespace config

#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The command line of battery-host. Every option has a default, so that running the program with
// no arguments polls the built-in module simulator with the shipped example settings.
struct HostOptions {
  std::string plugin;    // empty: ondrell_20.so beside the executable
  std::string settings;  // empty: the example settings shipped with the sources
  std::string port;      // empty: the module simulator on a pseudo-terminal
  unsigned int address = 129;  // host form: bit 7 set, the device inverts it
  unsigned int data_id = 1;
  unsigned int interval_ms = 1000;
  unsigned int rounds = 0;  // 0: run until SIGINT/SIGTERM
  std::string events;       // JSON Lines file, empty: none
  std::string cache;        // last history record, empty: none
  std::string log;          // where the plug-in's own stdout lines go, empty: discarded
  bool plain = false;       // one line per round even on a terminal

  // Simulator settings, used only without --port.
  bool sim_discharge = false;
  std::uint64_t sim_seed = 1;
  double sim_faults = 0.0;  // rate applied to every fault kind
};

// Parses argv; on a bad command line returns nothing and sets *error to a one-line message.
// "--help" also returns nothing, with *error empty.
std::optional<HostOptions> ParseHostOptions(int argc, const char* const* argv, std::string* error);

const char* HostUsage();

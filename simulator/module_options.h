#pragma once

// Text to module settings, for the bms-sim command line and the run-time commands: whole
// numbers, rates, and a module's settings as key=value items. One table of keys serves both the
// global options (--cells 16) and the items of --module ITEMS (cells=16), so the two can never
// disagree on a name, a range or a meaning.

#include <optional>
#include <string>
#include <vector>

#include "simulator/bms_module.h"

namespace simulator {

// A whole number 0..max in decimal or 0x.. hexadecimal ("010" is ten); none for anything else,
// signs and blanks included.
std::optional<unsigned long long> ParseWhole(const std::string& text, unsigned long long max);
// A number lo..hi as strtod reads it; none for anything else (NaN included).
std::optional<double> ParseNumber(const std::string& text, double lo, double hi);

struct SettingKey {
  const char* name;        // "weak-cell"
  const char* value_name;  // "N", "R", ...; "" for a switch, which takes no value
  const char* help;        // meaning and default, for --help
};
// Every key, in the order --help lists them: address, cells, seed, discharge,
// discharge-current, capacity, load-step, current-sensor,
// weak-cell, weak-capacity, silent, the fault rates noise, split, drop, bad-checksum,
// wrong-address, out-of-window, garbage, silence, and silence-requests.
const std::vector<SettingKey>& ModuleKeys();

// Sets one key. A switch takes no value (value null) or true/false, 1/0. Returns "" or the
// complaint without the key's name, e.g. "wants a number 0..1, not \"1.5\"", or "is not a
// setting of a module" for an unknown key.
std::string ApplySetting(const std::string& key, const char* value, Config* config);

// Applies "address=2,seed=5,discharge,weak-cell=7" on top of *config, which holds the
// defaults. Returns "" or what is wrong with the first bad item, naming it
// ("noise wants a number 0..1, not \"1.5\""); *config may then be partly changed.
std::string ApplyModuleItems(const std::string& items, Config* config);

// What no single value shows: "" or e.g. "weak-cell 25 is beyond its 20 cells".
std::string CheckConfig(const Config& config);

}  // namespace simulator

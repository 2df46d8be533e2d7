#pragma once

#include <string>
#include <vector>

namespace config {

// The names a battery device knows its values by, so that a name the person wrote (a host alarm
// key, the value a device takes from a peer) is checked at start instead of matching nothing
// every round. A string of `cells` cells knows:
//   group_voltage, group_current, temperature, battery_<i>_value for 0 <= i < cells
// Its value lookup also finds a cell key inside a longer name (leading zeros allowed, the first
// occurrence counts); alarm keys must be the exact keys of its threshold requests.

// The exact keys, in the order above.
std::vector<std::string> SignalNames(int cells);

// Whether the device's value lookup answers `name`.
bool ServesSignal(const std::string& name, int cells);

// Of `keys`, the one a person most likely meant by `name`: for a cell beyond the string its last
// cell; else the shortest key that holds `name` ("temp"); else the fewest edits away (the first
// such in `keys`).
std::string ClosestSignalName(const std::string& name, const std::vector<std::string>& keys,
                              int cells);

}  // namespace config

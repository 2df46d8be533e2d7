#include "battery_host/config/signal_names.h"

#include <algorithm>
#include <climits>

#include "battery_host/support/closest_name.h"

namespace config {

namespace {

// The cell index of the first "battery_<digits>_value" in `name`, found as the device's lookup
// finds it (leftmost); -1 for none, INT_MAX for one beyond an int. Written out rather than as a
// regular expression, whose matcher recurses once per digit of a long name.
long CellIndex(const std::string& name) {
  static const std::string head = "battery_";
  static const std::string tail = "_value";
  for (std::size_t at = name.find(head); at != std::string::npos; at = name.find(head, at + 1)) {
    std::size_t end = at + head.size();
    long long index = 0;  // held at INT_MAX, so that it never overflows
    while (end < name.size() && name[end] >= '0' && name[end] <= '9') {
      index = std::min<long long>(INT_MAX, index * 10 + (name[end] - '0'));
      ++end;
    }
    if (end > at + head.size() && name.compare(end, tail.size(), tail) == 0) {
      return static_cast<long>(index);
    }
  }
  return -1;
}

}  // namespace

std::vector<std::string> SignalNames(int cells) {
  std::vector<std::string> keys = {"group_voltage", "group_current", "temperature"};
  for (int i = 0; i < cells; ++i) keys.push_back("battery_" + std::to_string(i) + "_value");
  return keys;
}

bool ServesSignal(const std::string& name, int cells) {
  if (name == "group_voltage" || name == "group_current" || name == "temperature") return true;
  const long index = CellIndex(name);
  return index >= 0 && index < cells;
}

std::string ClosestSignalName(const std::string& name, const std::vector<std::string>& keys,
                              int cells) {
  if (cells > 0 && CellIndex(name) >= cells)
    return "battery_" + std::to_string(cells - 1) + "_value";
  std::string best;
  // A part of a key ("temp", "voltage") means that key; the shortest such.
  for (const std::string& k : keys) {
    if (!name.empty() && k.find(name) != std::string::npos &&
        (best.empty() || k.size() < best.size())) {
      best = k;
    }
  }
  if (!best.empty()) return best;
  return support::FewestEdits(name, keys);
}

}  // namespace config

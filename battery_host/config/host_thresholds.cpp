#include "battery_host/config/host_thresholds.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "battery_host/config/signal_names.h"

namespace config {

namespace {

// A limit is compared with single-precision values: it must be a number that a float holds.
bool ReadLimit(const Json::Value& v, const std::string& name, const JsonDocument& doc, float* out,
               std::string* error) {
  if (!v.isNumeric() || !(std::fabs(v.asDouble()) <= FLT_MAX)) {
    *error = doc.Error(v, name + " must be a number (single-precision range)");
    return false;
  }
  *out = static_cast<float>(v.asDouble());
  return true;
}

}  // namespace

bool ParseHostThresholds(const Json::Value& all, const JsonDocument& doc, int cells,
                         std::map<std::string, HostLimit>* limits, std::string* error) {
  limits->clear();
  if (all.isNull()) return true;
  if (!all.isObject()) {
    *error = doc.Error(all, "hostThresholds must be an object");
    return false;
  }
  HostLimit cell_default;
  bool has_cell_default = false;
  std::vector<std::string> keys = SignalNames(cells);
  keys.insert(keys.begin(), "*cells*");
  for (auto it = all.begin(); it != all.end(); ++it) {
    const std::string key = it.name();
    const std::string name = "hostThresholds." + key;
    const Json::Value& entry = *it;
    // A key that is no signal of the device would switch its alarm off without a word.
    if (std::find(keys.begin(), keys.end(), key) == keys.end()) {
      const bool cell = ServesSignal(key, 1 << 30) && key.rfind("battery_", 0) == 0;
      *error = doc.Error(entry, "hostThresholds: unknown key \"" + key + "\"" +
                                    (cell ? " (the device has " + std::to_string(cells) +
                                                " cells, battery_0_value to battery_" +
                                                std::to_string(cells - 1) + "_value)"
                                          : std::string()) +
                                    "; the closest signal key is \"" +
                                    ClosestSignalName(key, keys, cells) + "\"");
      return false;
    }
    if (!entry.isObject()) {
      *error = doc.Error(entry, name + " must be an object");
      return false;
    }
    HostLimit limit;
    for (auto member = entry.begin(); member != entry.end(); ++member) {
      const std::string m = member.name();
      if (m == "low") {
        if (!ReadLimit(*member, name + ".low", doc, &limit.band.low, error)) return false;
        limit.band.has_low = true;
      } else if (m == "high") {
        if (!ReadLimit(*member, name + ".high", doc, &limit.band.high, error)) return false;
        limit.band.has_high = true;
      } else if (m == "level") {
        // isInt() holds only for integers that fit an int: 2147483648.0 and 2^64-1 do not.
        if (!member->isInt() || member->asInt() < 1) {
          *error = doc.Error(*member, name + ".level must be a whole number 1 to 2147483647");
          return false;
        }
        limit.level = member->asInt();
      } else if (m == "delay") {
        if (!member->isInt() || member->asInt() < 1) {
          *error = doc.Error(*member, name + ".delay must be a whole number 1 to 2147483647");
          return false;
        }
        limit.band.delay = member->asInt();
      } else {
        *error = doc.Error(*member,
                           name + ": unknown key \"" + m + "\" (known: low, high, level, delay)");
        return false;
      }
    }
    if (key == "*cells*") {
      cell_default = limit;
      has_cell_default = true;
    } else {
      (*limits)[key] = limit;
    }
  }
  if (has_cell_default) {
    for (int i = 0; i < cells; ++i) {
      limits->emplace("battery_" + std::to_string(i) + "_value", cell_default);
    }
  }
  return true;
}

}  // namespace config

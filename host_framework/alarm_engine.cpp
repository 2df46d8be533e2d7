#include "host_framework/alarm_engine.h"

#include "host/xqr_vdevice.h"
#include "host_framework/alarm_band.h"

namespace host_framework {

bool AnalogReportDue(AlarmMemory& memory, const std::string& name, float value) {
  auto it = memory.reported.find(name);
  const bool due = it == memory.reported.end() || it->second != value;
  if (due) memory.reported[name] = value;
  return due;
}

// The limits of a key, in order of precedence:
//  - level 0 in threshold_levels_ switches the key off: the device's own alarm settings insert
//    level 0 and value 0 for every signal they name, and such a key has no limit configured;
//  - a value outside the device's window for the key (its cells): an alarm at the window's
//    bound, whatever the limits;
//  - an alarm band the host configured for this device and key (low and/or high);
//  - the device's threshold_values_ entry, an upper limit: alarm while the value is above it.
rule_value JudgeAlarm(const XQRVDevice& device, const AlarmBand* band, const std::string& key,
                      const std::string& label, float value, int index) {
  rule_value rule;
  rule.key = key;
  rule.label = label;
  rule.value = value;
  rule.index = index;
  auto level = device.threshold_levels_.find(key);
  if (level != device.threshold_levels_.end()) rule.level = level->second;
  const bool switched_off = level != device.threshold_levels_.end() && level->second == 0;
  auto limit = device.threshold_values_.find(key);
  if (switched_off) {
    if (limit != device.threshold_values_.end()) rule.limit = limit->second;
  } else if (band != nullptr && band->OutOfWindow(value)) {
    rule.alarm = true;
    rule.limit = value < band->window_low ? band->window_low : band->window_high;
  } else if (band != nullptr && (band->has_low || band->has_high || !band->has_window)) {
    const int side = band->Side(value);
    rule.alarm = side != 0;
    rule.limit = side < 0 || !band->has_high ? band->low : band->high;
  } else if (limit != device.threshold_values_.end()) {
    rule.limit = limit->second;
    rule.alarm = value > limit->second;
  }
  return rule;
}

}  // namespace host_framework

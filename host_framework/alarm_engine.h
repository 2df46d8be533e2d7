#pragma once

#include <map>
#include <string>
#include <vector>

#include "host/rule_value.h"

class XQRVDevice;
struct AlarmBand;

// The controller's alarm engine: which analog reports are due, how one value is judged against
// its limits, and which alarms were raised or cleared by a batch. The device only asks for these
// through XQRVDevice's services; what the engine remembers between rounds is kept per device in
// an AlarmMemory (see device_book.h), never in the device object.
struct AlarmMemory {
  std::map<std::string, float> reported;  // last analog value reported, per name
  std::map<std::string, bool> raised;     // alarm state after the last batch, per key
};

namespace alarm_engine {

// An analog report is due the first time a name is seen and whenever its value moved since the
// last report; a due value is remembered.
bool ReportDue(AlarmMemory& memory, const std::string& name, float value);

// The rule of one value: its level and limit, and whether it alarms. `band` is the host's
// configured band for the key, if any.
rule_value Judge(const XQRVDevice& device, const AlarmBand* band, const std::string& key,
                 const std::string& label, float value, int index);

// A batch: calls `changed(rule)` for every rule whose alarm state differs from the previous
// batch and remembers the new states. True when any changed (a report is due).
template <typename Changed>
bool Batch(AlarmMemory& memory, const std::vector<rule_value>& queue, Changed changed) {
  bool due = false;
  for (const rule_value& rule : queue) {
    auto it = memory.raised.find(rule.key);
    const bool before = it != memory.raised.end() && it->second;
    memory.raised[rule.key] = rule.alarm;
    if (before != rule.alarm) {
      due = true;
      changed(rule);
    }
  }
  return due;
}

}  // namespace alarm_engine

#pragma once

#include <map>
#include <string>
#include <vector>

#include "host/rule_value.h"

class XQRVDevice;

namespace host_framework {

struct AlarmBand;

// The controller's alarm engine: which analog reports are due, how one value is judged against
// its limits, and which alarms were raised or cleared by a batch. The device only asks for these
// through XQRVDevice's services; what the engine remembers between rounds is kept per device in
// an AlarmMemory (see device_book.h), never in the device object.
struct AlarmMemory {
  std::map<std::string, float> reported;  // last analog value reported, per name
  std::map<std::string, bool> raised;     // alarm state after the last batch, per key
  std::map<std::string, int> streak;      // batches in a row that judged against `raised`
};

// An analog report is due the first time a name is seen and whenever its value moved since the
// last report; a due value is remembered.
bool AnalogReportDue(AlarmMemory& memory, const std::string& name, float value);

// The rule of one value: its level and limit, and whether it alarms. `band` is the host's
// configured band for the key, if any.
rule_value JudgeAlarm(const XQRVDevice& device, const AlarmBand* band, const std::string& key,
                      const std::string& label, float value, int index);

// A batch: calls `changed(rule)` for every rule whose alarm state changes and remembers the new
// states. A state changes once the rule has judged against it in `delay_of(key)` batches in a
// row (1: at once). True when any changed (a report is due).
template <typename DelayOf, typename Changed>
bool BatchAlarms(AlarmMemory& memory, const std::vector<rule_value>& queue, DelayOf delay_of,
                 Changed changed) {
  bool due = false;
  for (const rule_value& rule : queue) {
    bool& raised = memory.raised[rule.key];
    int& streak = memory.streak[rule.key];
    if (rule.alarm == raised) {
      streak = 0;
      continue;
    }
    if (++streak < delay_of(rule.key)) continue;
    streak = 0;
    raised = rule.alarm;
    due = true;
    changed(rule);
  }
  return due;
}

}  // namespace host_framework

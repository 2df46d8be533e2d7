#pragma once

#include <map>
#include <string>

#include "battery_host/string_record.h"

// An alarm the host's threshold evaluation holds raised, as the view lists it.
struct ActiveAlarm {
  std::string label;  // the device's readable name, e.g. "第3节电池"
  float value = 0.0f;
  float limit = 0.0f;
};

// What one picture of the string shows: the round's history record and the raised alarms.
struct ViewState {
  StringRecord record;
  int cells = 20;        // cells of the string that the view shows
  unsigned rounds = 0;   // completed rounds so far
  std::string source;    // where the module is: port path or "simulator on /dev/pts/N"
  bool port_up = true;
  std::map<std::string, ActiveAlarm> alarms;  // by signal key
  std::string notice;  // the host's latest message (port lost, cache not written, ...)
};

// The full view for a terminal: cells in a grid with the lowest and highest marked, the spread,
// the string values, the record's time and the alarms. Lines end with "\n".
std::string RenderView(const ViewState& state, bool color);

// One line per round for logs and pipes.
std::string RenderLine(const ViewState& state);

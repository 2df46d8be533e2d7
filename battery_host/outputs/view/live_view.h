#pragma once

#include <map>
#include <string>
#include <vector>

#include "battery_host/outputs/output.h"
#include "battery_host/outputs/string_record.h"

namespace view {

// An alarm the host's threshold evaluation holds raised, as the view lists it.
struct ActiveAlarm {
  std::string label;  // the device's readable name, e.g. "第3节电池"
  float value = 0.0f;
  float limit = 0.0f;
};

// What the view knows of one string: its last record, the raised alarms, its turn counters.
struct DeviceView {
  outputs::DeviceInfo info;
  std::string name;              // how people know it: "string 1", or the site's name for it
  std::string source;            // its line: "port /dev/ttyUSB0", "simulator on /dev/pts/3"
  outputs::StringRecord record;  // the last history (or restored) record
  bool restored = false;         // the record came from the cache and no round has replaced it yet
  outputs::DeviceStatus status;
  bool silent = false;                        // its module's last turn ended without a reply
  std::map<std::string, ActiveAlarm> alarms;  // by signal key
};

// The whole picture: a compact block per string, then the host's latest message.
struct ViewState {
  std::vector<DeviceView> devices;
  std::string notice;
};

// For a terminal of `columns` x `rows`: per string its cells in rows, numbered as the device
// numbers them, with the lowest and highest reading marked and a cell outside the window shown
// as "out", the spread over the readings, the string values (saying which come from a peer or are
// the cell sum), the counters and the alarms. When that does not fit, a compact form: one line
// per string, then the alarms as far as there is room. Lines end with "\n".
std::string RenderView(const ViewState& state, bool color, int columns = 80, int rows = 24);
std::string RenderBlock(const DeviceView& device, bool color);
std::string RenderCompactLine(const DeviceView& device);

// One line per round for logs and pipes.
std::string RenderLine(const DeviceView& device);
// The lines said at once when a module stops answering and when it answers again.
std::string SilentLine(const DeviceView& device);
std::string AnswersAgainLine(const DeviceView& device);

// Columns a text takes on a terminal: East Asian wide characters take two, escape sequences none.
int DisplayWidth(const std::string& text);

}  // namespace view

#include "battery_host/outputs/view/live_view.h"

#include <cstdio>

namespace {

// Readings the module could not deliver are stored as 0.0; they are not the lowest cell.
struct Extremes {
  int low = -1;
  int high = -1;
};

Extremes FindExtremes(const DeviceView& d) {
  Extremes e;
  for (int i = 0; i < d.info.cells && i < 32; ++i) {
    const float v = d.record.cells[i];
    if (!(v > 0.0f)) continue;
    if (e.low < 0 || v < d.record.cells[e.low]) e.low = i;
    if (e.high < 0 || v > d.record.cells[e.high]) e.high = i;
  }
  return e;
}

std::string Format(const char* fmt, double a) {
  char buf[64];
  std::snprintf(buf, sizeof buf, fmt, a);
  return buf;
}

std::string SpreadText(const DeviceView& d, const Extremes& e) {
  if (e.low < 0) return "no valid cell";
  const float low = d.record.cells[e.low];
  const float high = d.record.cells[e.high];
  char buf[128];
  std::snprintf(buf, sizeof buf, "lowest #%d %.3f V, highest #%d %.3f V, spread %.0f mV",
                e.low + 1, static_cast<double>(low), e.high + 1, static_cast<double>(high),
                (static_cast<double>(high) - static_cast<double>(low)) * 1000.0);
  return buf;
}

std::string AlarmText(const std::string& key, const ActiveAlarm& a) {
  const char* side = a.value < a.limit ? " < " : " > ";
  return a.label + " (" + key + ") " + Format("%.3f", a.value) + side + Format("%g", a.limit);
}

std::string IdList(const std::vector<unsigned int>& ids) {
  std::string s;
  for (unsigned int id : ids) s += (s.empty() ? "" : ", ") + std::to_string(id);
  return s;
}

// The string values, and where a value comes from another device of the controller.
std::string ValuesText(const DeviceView& d) {
  const StringRecord& r = d.record;
  std::string s = Format("group %.2f V", static_cast<double>(r.group_voltage));
  if (!d.info.group_voltage_peers.empty()) {
    s += " (with " + IdList(d.info.group_voltage_peers) + ")";
  }
  s += Format("   current %.2f A", static_cast<double>(r.group_current));
  if (d.info.current_peer != 0) {
    s += " (from " + std::to_string(d.info.current_peer) + " " + d.info.current_field + ")";
  }
  s += Format("   temperature %.2f C", static_cast<double>(r.temperature));
  return s;
}

std::string CountersText(const DeviceView& d) {
  std::string s = "round " + std::to_string(d.status.rounds_completed) + ", " +
                  std::to_string(d.status.rounds_abandoned) + " abandoned";
  if (!d.status.port_up) s += "  [PORT LOST, reopening]";
  if (d.status.stalled) s += "  [module not answering]";
  if (d.restored) s += "  [from the cache]";
  return s;
}

std::string AlarmsText(const DeviceView& d, const char* separator) {
  if (d.alarms.empty()) return "none";
  std::string s;
  for (const auto& [key, alarm] : d.alarms) {
    if (!s.empty()) s += separator;
    s += AlarmText(key, alarm);
  }
  return s;
}

}  // namespace

std::string RenderBlock(const DeviceView& d, bool color) {
  const char* low_on = color ? "\x1b[1;34m" : "";
  const char* high_on = color ? "\x1b[1;31m" : "";
  const char* off = color ? "\x1b[0m" : "";
  const Extremes e = FindExtremes(d);
  char address[8];
  std::snprintf(address, sizeof address, "0x%02X", d.info.bus_address);
  std::string out = d.name + " (data id " + std::to_string(d.info.data_id) + ", " + address +
                    " on " + d.source + ")   " + CountersText(d) + "   record " +
                    StampText(d.record.stamp) + "\n";
  constexpr int kPerRow = 10;
  for (int i = 0; i < d.info.cells && i < 32; ++i) {
    if (i % kPerRow == 0) out += Format("  %-3.0f", i + 1.0);
    const float v = d.record.cells[i];
    char cell[16];
    if (v > 0.0f) {
      std::snprintf(cell, sizeof cell, "%6.3f", static_cast<double>(v));
    } else {
      std::snprintf(cell, sizeof cell, "  --  ");
    }
    if (i == e.low) {
      out += std::string(" v") + low_on + cell + off;
    } else if (i == e.high) {
      out += std::string(" ^") + high_on + cell + off;
    } else {
      out += std::string("  ") + cell;
    }
    if ((i + 1) % kPerRow == 0 || i + 1 == d.info.cells) out += "\n";
  }
  out += "  " + SpreadText(d, e) + "\n";
  out += "  " + ValuesText(d) + "\n";
  out += "  alarms: " + AlarmsText(d, "\n          ") + "\n";
  return out;
}

std::string RenderView(const ViewState& s, bool color) {
  std::string out;
  for (const DeviceView& d : s.devices) out += RenderBlock(d, color) + "\n";
  if (!s.notice.empty()) out += "note: " + s.notice + "\n";
  return out;
}

std::string RenderLine(const DeviceView& d) {
  const Extremes e = FindExtremes(d);
  return d.name + ": " + CountersText(d) + " " + StampText(d.record.stamp) + " " +
         ValuesText(d) + "; " + SpreadText(d, e) + "; alarms: " + AlarmsText(d, ", ") + "\n";
}

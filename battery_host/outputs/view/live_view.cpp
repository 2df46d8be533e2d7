#include "battery_host/outputs/view/live_view.h"

#include <cstdio>

#include "battery_host/outputs/float_text.h"
#include "battery_host/outputs/string_round.h"

namespace view {

namespace {

using outputs::StringRound;

outputs::StringRound RoundOf(const DeviceView& d) {
  return outputs::MakeStringRound(d.info, d.record);
}

std::string Volts(float v) { return outputs::FloatText(v) + " V"; }

std::string OutList(const outputs::StringRound& r) {
  std::string s;
  for (const outputs::RoundCell& c : r.cells) {
    if (!c.reading) s += (s.empty() ? "#" : ", #") + std::to_string(c.number);
  }
  return s;
}

// Lowest, highest and spread over the readings.
std::string SpreadText(const outputs::StringRound& r) {
  if (r.lowest < 0) return "no reading in the window " + outputs::WindowText(r.window);
  const outputs::RoundCell& low = r.cells[r.lowest];
  const outputs::RoundCell& high = r.cells[r.highest];
  return "lowest #" + std::to_string(low.number) + " " + Volts(low.stored) + ", highest #" +
         std::to_string(high.number) + " " + Volts(high.stored) + ", spread " +
         std::to_string(r.spread_mv) + " mV";
}

// The cells outside the window, which are not in the lowest, highest and spread.
std::string OutText(const outputs::StringRound& r) {
  return std::to_string(r.out_of_window) + " out of window " + outputs::WindowText(r.window) +
         ": " + OutList(r);
}

std::string IdList(const std::vector<unsigned int>& ids) {
  std::string s;
  for (unsigned int id : ids) s += (s.empty() ? "" : ", ") + std::to_string(id);
  return s;
}

// The string values, and where a value comes from another device or is the cell sum.
std::string ValuesText(const DeviceView& d, const outputs::StringRound& r) {
  std::string s = "group " + Volts(r.record.group_voltage);
  if (r.group_is_cell_sum) {
    s += " (sum of the cells)";
  } else if (r.group_with_peers) {
    s += " (with " + IdList(d.info.group_voltage_peers) + ")";
  }
  s += "   current " + outputs::FloatText(r.record.group_current) + " A";
  if (d.info.current_peer != 0) {
    s += " (from " + std::to_string(d.info.current_peer) + " " + d.info.current_field + ")";
  }
  s += "   temperature " + outputs::FloatText(r.record.temperature) + " C";
  return s;
}

std::string FlagsText(const DeviceView& d) {
  std::string s;
  if (!d.status.port_up) s += "  [PORT LOST, reopening]";
  if (d.status.stalled) {
    s += "  [module not answering]";
  } else if (d.silent) {
    s += "  [no reply in its last turn]";
  }
  if (d.restored) s += "  [from the cache]";
  return s;
}

std::string CountersText(const DeviceView& d) {
  return "round " + std::to_string(d.status.rounds_completed) + ", " +
         std::to_string(d.status.rounds_abandoned) + " abandoned" + FlagsText(d);
}

std::string AlarmsText(const DeviceView& d, const char* separator) {
  if (d.alarms.empty()) return "none";
  std::string s;
  for (const auto& [key, alarm] : d.alarms) {
    if (!s.empty()) s += separator;
    s += outputs::AlarmText(d.info, key, alarm.label, alarm.value, alarm.limit);
  }
  return s;
}

// Cut to `columns` on the terminal, whole characters only.
std::string Fit(const std::string& line, int columns) {
  if (DisplayWidth(line) <= columns) return line;
  std::string out;
  for (std::size_t i = 0; i < line.size();) {
    std::size_t n = 1;
    while (i + n < line.size() && (static_cast<unsigned char>(line[i + n]) & 0xC0) == 0x80) ++n;
    const std::string ch = line.substr(i, n);
    if (DisplayWidth(out + ch) > columns) break;
    out += ch;
    i += n;
  }
  return out;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return lines;
}

}  // namespace

int DisplayWidth(const std::string& text) {
  int width = 0;
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == 0x1b) {  // ESC [ ... final byte
      i += 2;
      while (i < text.size() && !(text[i] >= 0x40 && text[i] <= 0x7e)) ++i;
      ++i;
      continue;
    }
    unsigned cp = c;
    std::size_t n = 1;
    if (c >= 0xF0) {
      cp = c & 0x07, n = 4;
    } else if (c >= 0xE0) {
      cp = c & 0x0F, n = 3;
    } else if (c >= 0xC0) {
      cp = c & 0x1F, n = 2;
    }
    for (std::size_t k = 1; k < n && i + k < text.size(); ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    i += n;
    const bool wide = (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
                      (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
                      (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
                      (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x20000 && cp <= 0x3FFFD);
    width += wide ? 2 : 1;
  }
  return width;
}

std::string RenderBlock(const DeviceView& d, bool color) {
  const char* low_on = color ? "\x1b[1;34m" : "";
  const char* high_on = color ? "\x1b[1;31m" : "";
  const char* out_on = color ? "\x1b[1;33m" : "";
  const char* off = color ? "\x1b[0m" : "";
  const outputs::StringRound r = RoundOf(d);
  char address[8];
  std::snprintf(address, sizeof address, "0x%02X", d.info.bus_address);
  std::string out = d.name + "   " + CountersText(d) + "   " + outputs::StampText(d.record.stamp) +
                    "\n  data id " + std::to_string(d.info.data_id) + ", " + address + " on " +
                    d.source + "\n";
  // Ten cells a row, each a marker and six columns: 4 + 10 x 7 = 74 columns.
  constexpr std::size_t kPerRow = 10;
  for (std::size_t k = 0; k < r.cells.size(); ++k) {
    const outputs::RoundCell& c = r.cells[k];
    char head[16];
    if (k % kPerRow == 0) {
      std::snprintf(head, sizeof head, "%4d", c.number);
      out += head;
    }
    // The marker sits against its value: "v13.25" for the lowest, "^13.75" for the highest.
    const std::string value = c.reading ? outputs::FloatText(c.stored) : "out";
    std::string marker;
    const char* on = "";
    if (!c.reading) {
      on = out_on;
    } else if (static_cast<int>(k) == r.lowest) {
      marker = "v";
      on = low_on;
    } else if (static_cast<int>(k) == r.highest) {
      marker = "^";
      on = high_on;
    }
    const std::size_t used = marker.size() + value.size();
    out += std::string(used < 7 ? 7 - used : 1, ' ') + marker + on + value + off;
    if ((k + 1) % kPerRow == 0 || k + 1 == r.cells.size()) out += "\n";
  }
  out += "  " + SpreadText(r) + "\n";
  if (r.out_of_window > 0) out += "  " + OutText(r) + "\n";
  out += "  " + ValuesText(d, r) + "\n";
  out += "  alarms: " + AlarmsText(d, "\n          ") + "\n";
  return out;
}

// Name, trouble first (what is cut at a narrow terminal is the end), then the extremes and the
// string values: "Rack A, string 1  1 alarm  13 #21 .. 13.95 #40, 1 out  255.5 V -2.5 A 25.3 C".
std::string RenderCompactLine(const DeviceView& d) {
  const outputs::StringRound r = RoundOf(d);
  std::string s = d.name + FlagsText(d);
  if (!d.alarms.empty()) {
    s += "  " + std::to_string(d.alarms.size()) + (d.alarms.size() == 1 ? " alarm" : " alarms");
  }
  s += "  ";
  if (r.lowest >= 0) {
    s += outputs::FloatText(r.cells[r.lowest].stored) + " #" +
         std::to_string(r.cells[r.lowest].number) + " .. " +
         outputs::FloatText(r.cells[r.highest].stored) + " #" +
         std::to_string(r.cells[r.highest].number);
  } else {
    s += "no reading";
  }
  if (r.out_of_window > 0) s += ", " + std::to_string(r.out_of_window) + " out";
  s += "  " + Volts(r.record.group_voltage) + (r.group_is_cell_sum ? " (sum)" : "") + " " +
       outputs::FloatText(r.record.group_current) + " A " +
       outputs::FloatText(r.record.temperature) + " C";
  return s;
}

std::string RenderView(const ViewState& s, bool color, int columns, int rows) {
  std::string full;
  for (const DeviceView& d : s.devices) full += RenderBlock(d, color) + "\n";
  if (!s.notice.empty()) full += "note: " + s.notice + "\n";
  const std::vector<std::string> lines = Lines(full);
  bool fits = static_cast<int>(lines.size()) < rows;
  for (const std::string& line : lines) fits = fits && DisplayWidth(line) <= columns;
  if (fits) return full;

  // Compact: a line per string, then the alarms while there is room, the note last.
  std::vector<std::string> out;
  for (const DeviceView& d : s.devices) out.push_back(RenderCompactLine(d));
  std::vector<std::string> alarms;
  for (const DeviceView& d : s.devices) {
    for (const auto& [key, a] : d.alarms) {
      alarms.push_back(d.name + ": " + outputs::AlarmText(d.info, key, a.label, a.value, a.limit));
    }
  }
  const int room = rows - 1 - static_cast<int>(out.size()) - (s.notice.empty() ? 0 : 1);
  for (int i = 0; i < static_cast<int>(alarms.size()) && i < room; ++i) {
    if (i + 1 == room && i + 1 < static_cast<int>(alarms.size())) {
      out.push_back("... " + std::to_string(alarms.size() - i) + " more alarms");
      break;
    }
    out.push_back(alarms[i]);
  }
  if (!s.notice.empty()) out.push_back("note: " + s.notice);
  std::string text;
  for (int i = 0; i < static_cast<int>(out.size()) && i < rows - 1; ++i) {
    text += Fit(out[i], columns) + "\n";
  }
  return text;
}

std::string RenderLine(const DeviceView& d) {
  const outputs::StringRound r = RoundOf(d);
  return d.name + ": " + CountersText(d) + " " + outputs::StampText(d.record.stamp) + " " +
         ValuesText(d, r) + "; " + SpreadText(r) +
         (r.out_of_window > 0 ? ", " + OutText(r) : std::string()) +
         "; alarms: " + AlarmsText(d, ", ") + "\n";
}

std::string SilentLine(const DeviceView& d) {
  return d.name + ": module not answering (no reply in its turn)\n";
}

std::string AnswersAgainLine(const DeviceView& d) { return d.name + ": module answers again\n"; }

}  // namespace view

#include "battery_host/live_view.h"

#include <cstdio>

namespace {

// Readings the module could not deliver are stored as 0.0; they are not the lowest cell.
struct Extremes {
  int low = -1;
  int high = -1;
};

Extremes FindExtremes(const ViewState& s) {
  Extremes e;
  for (int i = 0; i < s.cells; ++i) {
    const float v = s.record.cells[i];
    if (!(v > 0.0f)) continue;
    if (e.low < 0 || v < s.record.cells[e.low]) e.low = i;
    if (e.high < 0 || v > s.record.cells[e.high]) e.high = i;
  }
  return e;
}

std::string Format(const char* fmt, double a) {
  char buf[64];
  std::snprintf(buf, sizeof buf, fmt, a);
  return buf;
}

std::string SpreadText(const ViewState& s, const Extremes& e) {
  if (e.low < 0) return "no valid cell";
  const float low = s.record.cells[e.low];
  const float high = s.record.cells[e.high];
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

std::string ValuesText(const StringRecord& r) {
  char buf[160];
  std::snprintf(buf, sizeof buf, "group %.2f V   current %.2f A   temperature %.2f C",
                static_cast<double>(r.group_voltage), static_cast<double>(r.group_current),
                static_cast<double>(r.temperature));
  return buf;
}

}  // namespace

std::string RenderView(const ViewState& s, bool color) {
  const char* low_on = color ? "\x1b[1;34m" : "";
  const char* high_on = color ? "\x1b[1;31m" : "";
  const char* off = color ? "\x1b[0m" : "";
  const Extremes e = FindExtremes(s);
  std::string out;
  out += "battery string, data id " + std::to_string(s.record.id) + ", " + s.source +
         (s.port_up ? "" : "  [PORT LOST, reopening]") + "\n";
  out += "round " + std::to_string(s.rounds) + "   record time " + StampText(s.record.stamp) +
         "\n";
  out += "cells (V), v lowest, ^ highest:\n";
  constexpr int kPerRow = 5;
  for (int i = 0; i < s.cells; ++i) {
    const float v = s.record.cells[i];
    char cell[48];
    if (v > 0.0f) {
      std::snprintf(cell, sizeof cell, "%6.3f", static_cast<double>(v));
    } else {
      std::snprintf(cell, sizeof cell, "  --  ");
    }
    char num[16];
    std::snprintf(num, sizeof num, "#%-2d", i + 1);
    out += "  ";
    out += num;
    if (i == e.low) {
      out += std::string(" v") + low_on + cell + off;
    } else if (i == e.high) {
      out += std::string(" ^") + high_on + cell + off;
    } else {
      out += std::string("  ") + cell;
    }
    if ((i + 1) % kPerRow == 0 || i + 1 == s.cells) out += "\n";
  }
  out += SpreadText(s, e) + "\n";
  out += ValuesText(s.record) + "\n";
  if (s.alarms.empty()) {
    out += "alarms: none\n";
  } else {
    out += "alarms (" + std::to_string(s.alarms.size()) + "):\n";
    for (const auto& [key, alarm] : s.alarms) out += "  " + AlarmText(key, alarm) + "\n";
  }
  if (!s.notice.empty()) out += "note: " + s.notice + "\n";
  return out;
}

std::string RenderLine(const ViewState& s) {
  const Extremes e = FindExtremes(s);
  std::string out = "round " + std::to_string(s.rounds) + " " + StampText(s.record.stamp) + " " +
                    ValuesText(s.record) + "; " + SpreadText(s, e) + "; alarms: ";
  if (s.alarms.empty()) {
    out += "none";
  } else {
    bool first = true;
    for (const auto& [key, alarm] : s.alarms) {
      if (!first) out += ", ";
      out += AlarmText(key, alarm);
      first = false;
    }
  }
  return out + "\n";
}

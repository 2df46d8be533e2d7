#include "battery_host/outputs/string_round.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "battery_host/outputs/float_text.h"

namespace outputs {

CellWindow CellWindowFor(int battery_type) {
  if (battery_type == 6) return CellWindow{4.5f, 7.5f};
  return CellWindow{9.0f, 15.0f};
}

namespace {

// A bound with at least one decimal, so that it reads as a voltage: "9.0", "7.5".
std::string BoundText(float v) {
  std::string s = FloatText(v);
  if (s.find_first_of(".e") == std::string::npos) s += ".0";
  return s;
}

}  // namespace

std::string WindowText(const CellWindow& w) {
  return BoundText(w.low) + "\u2013" + BoundText(w.high) + " V";
}

std::string CellKey(int position) { return "battery_" + std::to_string(position) + "_value"; }

std::string CellLabel(int number) { return "第" + std::to_string(number) + "节电池"; }

int CellPositionOfKey(const std::string& key) {
  static const std::string kHead = "battery_";
  static const std::string kTail = "_value";
  if (key.size() <= kHead.size() + kTail.size() || key.compare(0, kHead.size(), kHead) != 0 ||
      key.compare(key.size() - kTail.size(), kTail.size(), kTail) != 0) {
    return -1;
  }
  const std::string digits = key.substr(kHead.size(), key.size() - kHead.size() - kTail.size());
  if (digits.size() > 2 || digits.find_first_not_of("0123456789") != std::string::npos) return -1;
  const int position = std::atoi(digits.c_str());
  if (std::to_string(position) != digits || position >= StringRecord::kCells) return -1;
  return position;
}

StringRound MakeStringRound(const DeviceInfo& device, const StringRecord& record) {
  StringRound r;
  r.data_id = device.data_id;
  r.name = device.name;
  r.window = CellWindowFor(device.battery_type);
  r.record = record;
  r.group_with_peers = !device.group_voltage_peers.empty();
  const int n = device.cells < 0 ? 0 : std::min(device.cells, StringRecord::kCells);
  float sum = 0.0f;
  for (int i = 0; i < n; ++i) {
    RoundCell c;
    c.position = i;
    c.number = device.battery_start + i + 1;
    c.stored = record.cells[i];
    c.reading = r.window.Holds(c.stored);
    sum += record.cells[i];
    r.cells.push_back(c);
    if (!c.reading) {
      ++r.out_of_window;
      continue;
    }
    ++r.readings;
    const int k = static_cast<int>(r.cells.size()) - 1;
    if (r.lowest < 0 || c.stored < r.cells[r.lowest].stored) r.lowest = k;
    if (r.highest < 0 || c.stored > r.cells[r.highest].stored) r.highest = k;
  }
  if (r.lowest >= 0) {
    const double spread = static_cast<double>(r.cells[r.highest].stored) -
                          static_cast<double>(r.cells[r.lowest].stored);
    r.spread_mv = static_cast<int>(std::lround(spread * 1000.0));
  }
  r.group_is_cell_sum = sum == record.group_voltage;
  return r;
}

std::string OutOfWindowText(const std::string& label, const std::string& key,
                            const CellWindow& window) {
  return label + " (" + key + ") outside " + WindowText(window);
}

std::string AlarmText(const DeviceInfo& device, const std::string& key, const std::string& label,
                      float value, float limit) {
  const CellWindow window = CellWindowFor(device.battery_type);
  if (CellPositionOfKey(key) >= 0 && !window.Holds(value)) {
    return OutOfWindowText(label, key, window);
  }
  return label + " (" + key + ") " + FloatText(value) + (value < limit ? " < " : " > ") +
         FloatText(limit);
}

}  // namespace outputs

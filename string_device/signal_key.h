#pragma once

#include <array>
#include <string>

// Signal keys name one value of the device, for value queries, threshold requests and alarm
// settings: "group_voltage", "group_current", "temperature" and "battery_<i>_value" for the
// zero-based cell i. Threshold requests carry a readable label with each key.

// Finds the leftmost "battery_<digits>_value" in a name (anywhere in it, case-sensitive) and
// converts the digits, leading zeros allowed. Returns false when there is no occurrence or the
// number does not fit in an int. Same answer as searching with the regular expression
// battery_(\d+)_value, without building one per query.
bool FindCellIndex(const std::string& name, int* index);

namespace signal_key {

constexpr int kMaxCells = 32;

// The texts that never change, built once per process: the host's CheckThreshold takes them as
// std::string, and a poll round must not build them again every time.
struct FixedTexts {
  std::string group_voltage_key = "group_voltage";
  std::string group_voltage_label = "整组电压";
  std::string group_current_key = "group_current";
  std::string group_current_label = "电流";
  std::string temperature_key = "temperature";
  std::string temperature_label = "温度";
  std::array<std::string, kMaxCells> cell_keys;  // "battery_<i>_value", plain decimal i
};

const FixedTexts& Fixed();

// "battery_" + i in plain decimal + "_value".
std::string CellKey(int i);

// "第" + number in plain decimal (minus sign when negative) + "节电池".
std::string CellLabel(long long number);

}  // namespace signal_key

// Once per completed round: group-voltage fallback, change detection against the previous record,
// record update, threshold requests.
#include <cmath>
#include <string>

#include <boost/lexical_cast.hpp>

#include "battery/byte_order.h"
#include "string_device/battery32.h"

namespace {

// A change of at least 10 mV in the group or 50 mV in a cell is worth a report. The difference
// is formed in single precision and compared in double, as on the controller.
constexpr double kGroupChangeLimit = 0.01;
constexpr double kCellChangeLimit = 0.05;

// A group voltage below this is a module that does not measure it; the cells tell instead.
constexpr float kGroupVoltageFloor = 40.0f;

}  // namespace

void Battery32::RunCheckThreshold() {
  retry_count_ = 0;

  // Also when the group voltage is NaN (NaN scale, offset or peer value).
  if (!(group_voltage_ >= kGroupVoltageFloor)) {
    float sum = 0.0f;
    for (int i = 0; i < cell_count_; ++i) sum = sum + cells_[i];
    group_voltage_ = sum;
  }

  const float group_diff = std::fabs(record::GroupVoltage(data_) - group_voltage_);
  if (static_cast<double>(group_diff) >= kGroupChangeLimit) {
    report_flag_ = true;
  } else {
    for (int i = 0; i < cell_count_; ++i) {
      const float cell_diff = std::fabs(record::Cell(data_, i) - cells_[i]);
      if (static_cast<double>(cell_diff) >= kCellChangeLimit) {
        report_flag_ = true;
        break;
      }
    }
  }

  for (int i = 0; i < 32; ++i) byte_order::WriteLeFloat(data_.cells[i], cells_[i]);
  byte_order::WriteLeFloat(data_.group_voltage, group_voltage_);
  byte_order::WriteLeFloat(data_.group_current, group_current_);
  byte_order::WriteLeFloat(data_.temperature, temperature_);
  data_.reserved = 0;
  byte_order::WriteLe32(data_.id, DataId());

  if (group_voltage_valid_) CheckThreshold("group_voltage", "整组电压", group_voltage_, 1);
  CheckThreshold("group_current", "电流", group_current_, 1);
  CheckThreshold("temperature", "温度", temperature_, 1);

  auto check_cell = [this](int i) {
    float value = record::Cell(data_, i);
    // 64-bit: any battery_start_ gives a plain decimal label without overflow.
    const long long number = static_cast<long long>(battery_start_) + i + 1;
    CheckThreshold("battery_" + boost::lexical_cast<std::string>(i) + "_value",
                   "第" + boost::lexical_cast<std::string>(number) + "节电池", value, i + 1);
  };
  if (active_batteries_.empty()) {
    for (int i = 0; i < cell_count_; ++i) check_cell(i);
  } else {
    for (int i : active_batteries_) {
      if (i >= 0 && i < cell_count_) check_cell(i);
    }
  }
}

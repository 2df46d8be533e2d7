// Once per completed round: group-voltage fallback, change detection against the previous record,
// record update, threshold requests.
#include <cmath>
#include "battery/byte_order.h"
#include "string_device/battery32.h"
#include "string_device/signal_key.h"

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

  // The keys exist since the first device was made; the labels are built here by the first round
  // after battery_start_ or the cell count changed, and are reused by every round after it.
  PrepareCellLabels();
  const signal_key::FixedTexts& texts = signal_key::Fixed();
  if (group_voltage_valid_) {
    CheckThreshold(texts.group_voltage_key, texts.group_voltage_label, group_voltage_, 1);
  }
  CheckThreshold(texts.group_current_key, texts.group_current_label, group_current_, 1);
  CheckThreshold(texts.temperature_key, texts.temperature_label, temperature_, 1);

  auto check_cell = [this, &texts](int i) {
    float value = record::Cell(data_, i);
    CheckThreshold(texts.cell_keys[i], cell_labels_[i], value, i + 1);
  };
  if (active_batteries_.empty()) {
    for (int i = 0; i < cell_count_; ++i) check_cell(i);
  } else {
    for (int i : active_batteries_) {
      if (i >= 0 && i < cell_count_) check_cell(i);
    }
  }
}

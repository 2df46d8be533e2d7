#pragma once

#include <string>
#include <vector>

#include "battery/battery.h"
#include "string_device/battery32_data.h"
#include "string_device/uni_data_device.h"

// Record code under which the host files battery string records.
constexpr int kBatteryStringRecordCode = 5013;

using BatteryStringDevice = UniDataDevice<Battery32_Data_t, Battery, kBatteryStringRecordCode>;

// A string of up to 32 cells watched by one monitoring module.
class Battery32 : public BatteryStringDevice {
 public:
  Battery32();
  ~Battery32() override;

  // Cell keys from the last completed round; the group values through Battery.
  float Get_Value(unsigned int data_id, const std::string& name) const override;

  using BatteryStringDevice::LoadFromCache;
  // Takes a stored record as the last round's state without running a round.
  bool LoadFromCache(const unsigned char* data, int length) override;

  int ProcessBatteryVoltage() override;
  void RunCheckThreshold() override;

 protected:
  // Shared by the 32- and 20-cell decoders: n readings decoded; `drop_whole_buffer` empties the
  // receive buffer once a frame is complete, otherwise only the frame's 67 bytes are consumed;
  // `report` writes the diagnostic lines.
  int ProcessCellFrame(int n, bool drop_whole_buffer, bool report);

  // Makes cell_labels_ match battery_start_ and cell_count_ again if either changed since they
  // were built (or they were never built); does nothing, and allocates nothing, otherwise.
  void PrepareCellLabels();

  // One diagnostic line of the 32-cell decoder: "Battery32 " + data id + what.
  void WriteDeviceLine(const char* what) const;

  float cells_[32] = {};
  int cell_count_ = 32;

 private:
  // Label of cell i's threshold request: "第" + (battery_start_ + i + 1) + "节电池". Built by
  // the first round that needs them after battery_start_ or the cell count changed, so that
  // every other round builds no text.
  std::vector<std::string> cell_labels_;
  int labels_start_ = 0;
};

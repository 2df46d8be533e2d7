#pragma once

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

  float cells_[32] = {};
  int cell_count_ = 32;
};

#pragma once

// The string devices with their protected state opened up, for the tests, the fuzz targets and
// anything else that checks a device from outside. Needs no test framework.

#include "string_device/battery32.h"
#include "string_device/ondrell20.h"

namespace test {

// Opens up the string devices' protected state.
template <typename Device>
class Open : public Device {
 public:
  using Device::active_batteries_;
  using Device::alarm_ids_;
  using Device::b_mode_;
  using Device::battery_adjust_;
  using Device::battery_start_;
  using Device::battery_type_;
  using Device::cell_count_;
  using Device::cells_;
  using Device::data_;
  using Device::dir_;
  using Device::group_a_;
  using Device::group_b_;
  using Device::group_current_;
  using Device::group_voltage_;
  using Device::group_voltage_ids_;
  using Device::group_voltage_valid_;
  using Device::poll_step_;
  using Device::retry_count_;
  using Device::signal_names_;
  using Device::t0_;
  using Device::t31_;
  using Device::temperature_;
  using Device::version_;

  const unsigned char* RecordBytes() const {
    return reinterpret_cast<const unsigned char*>(&this->data_);
  }
};

using OpenBattery32 = Open<Battery32>;
using OpenOndrell20 = Open<Ondrell20>;

}  // namespace test

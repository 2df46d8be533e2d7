// How the host configures, controls and queries the link: settings, control codes, group values.
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "battery/battery.h"
#include "battery/link_settings.h"

int Battery::InitSetting(const Json::Value& settings) {
  // The host keeps the module's address with bit 7 set; on the bus it is sent without. Every call
  // inverts it again.
  addr_ = static_cast<std::uint8_t>(addr_ ^ 0x80u);
  link_settings::Read(settings,
                      link_settings::Targets{&battery_type_, &current_ratio_, &group_a_, &group_b_,
                                             &battery_adjust_, &version_, &dir_, &r_data_id_,
                                             &r_current_field_, &save_interval_, &battery_start_,
                                             &active_batteries_, &group_voltage_ids_, &t0_, &t31_});
  return 1;
}

int Battery::DeviceIoControl(int code, const unsigned char* in, int in_len, unsigned char* out,
                             int out_capacity, int& out_len) {
  (void)out;
  (void)out_capacity;
  (void)out_len;
  if (code == kControlSaveInterval) {
    if (in == nullptr || in_len < 2) return -1;
    // Minutes as a 16-bit number in the host's own byte order.
    std::uint16_t minutes = 0;
    std::memcpy(&minutes, in, sizeof minutes);
    save_interval_ = link_settings::ControlSaveInterval(minutes);
  }
  return 0;
}

float Battery::Get_Value(unsigned int data_id, const std::string& name) const {
  (void)data_id;
  if (name == "group_voltage") return group_voltage_;
  if (name == "group_current") return group_current_;
  if (name == "temperature") return temperature_;
  throw std::out_of_range("不支持变量");
}

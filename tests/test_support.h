#pragma once

// What the tests see of a device: a host with a recording port and listener (host_recorder.h),
// and subclasses that open up the protected state.

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "battery/battery.h"
#include "host_framework/device_book.h"
#include "host_framework/xqr_controller.h"
#include "string_device/battery32.h"
#include "string_device/ondrell20.h"
#include "tests/host_recorder.h"
#include "tests/open_device.h"

namespace test {

// Settings written as JSON text in the tests.
inline Json::Value ParseJson(const std::string& text) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value value;
  std::string errors;
  if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) {
    ADD_FAILURE() << "bad JSON in test: " << text << ": " << errors;
  }
  return value;
}

// A controller with a recording listener; devices attached to it get a recording port.
class Host {
 public:
  Host() : controller(std::make_shared<XQRController>()) { controller->SetListener(&listener); }

  // The host keeps the address with bit 7 set; InitSetting turns 0x81 into 0x01 on the bus.
  void Attach(XQRSPDevice& device, unsigned int data_id, unsigned int host_address = 0x81) {
    Json::Value init(Json::objectValue);
    init["address"] = host_address;
    device.Init(controller, data_id, init);
    host_framework::AttachPort(device, port);
    controller->AddDevice(&device);
  }

  std::shared_ptr<XQRController> controller;
  RecordingListener listener;
  std::shared_ptr<RecordingPort> port = std::make_shared<RecordingPort>();
};

// Opens up Battery's protected state; ProcessBatteryVoltage is a stand-in that accepts any
// complete 67-byte frame and moves on to the group voltage.
class TestBattery : public Battery {
 public:
  int ProcessBatteryVoltage() override {
    ++cell_frames;
    if (msg_len_ < 67) return 1;
    CallGroupVoltage();
    return 1;
  }
  bool LoadFromCache(const unsigned char*, int) override { return false; }
  void RoundDone() override { ++rounds_done; }

  using Battery::active_batteries_;
  using Battery::battery_adjust_;
  using Battery::battery_start_;
  using Battery::battery_type_;
  using Battery::CallVoltage;
  using Battery::current_ratio_;
  using Battery::dir_;
  using Battery::GetMMCheckSum;
  using Battery::group_a_;
  using Battery::group_b_;
  using Battery::group_current_;
  using Battery::group_voltage_;
  using Battery::group_voltage_ids_;
  using Battery::group_voltage_valid_;
  using Battery::poll_step_;
  using Battery::r_current_field_;
  using Battery::r_data_id_;
  using Battery::retry_count_;
  using Battery::save_interval_;
  using Battery::t0_;
  using Battery::t31_;
  using Battery::temperature_;
  using Battery::version_;

  int cell_frames = 0;
  int rounds_done = 0;
};

inline unsigned char* Ptr(Bytes& b) { return b.data(); }

// Little-endian float at an offset of a byte record.
inline float FloatAt(const Bytes& b, std::size_t offset) {
  std::uint32_t bits = static_cast<std::uint32_t>(b[offset]) |
                       (static_cast<std::uint32_t>(b[offset + 1]) << 8) |
                       (static_cast<std::uint32_t>(b[offset + 2]) << 16) |
                       (static_cast<std::uint32_t>(b[offset + 3]) << 24);
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

inline std::uint32_t U32At(const Bytes& b, std::size_t offset) {
  return static_cast<std::uint32_t>(b[offset]) | (static_cast<std::uint32_t>(b[offset + 1]) << 8) |
         (static_cast<std::uint32_t>(b[offset + 2]) << 16) |
         (static_cast<std::uint32_t>(b[offset + 3]) << 24);
}

}  // namespace test

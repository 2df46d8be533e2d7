#pragma once

// One configured Ondrell20 against the do-nothing framework, with the module's replies built
// once, and the operations that the benchmarks and the budget program measure.

#include <memory>
#include <regex>
#include <stdexcept>
#include <string>

#include <json/value.h>

#include "host_framework/xqr_controller.h"
#include "string_device/ondrell20.h"
#include "tests/host_recorder.h"

namespace bench {

constexpr unsigned int kDataId = 5001;

// What a site typically configures for a 20-cell string: 12 V blocks, scale 1, no peers, no
// current sensor, history every 8 hours.
inline Json::Value TypicalSettings() {
  Json::Value app(Json::objectValue);
  app["battery_type"] = 12;
  app["current_ratio"] = 0;
  app["group_a"] = 1.0;
  app["group_b"] = 0.0;
  app["battery_adjust"] = 0.0;
  app["version"] = 1;
  app["dir"] = 0;
  app["save_interval"] = 480;
  app["battery_start"] = 0;
  app["t0"] = 0.0;
  app["t31"] = 0.0;
  app["b_mode"] = 1;
  Json::Value settings(Json::objectValue);
  settings["appSetting"] = app;
  return settings;
}

// Lets the benchmark put the device straight into "group voltage awaited", so that one reply can
// be measured on its own.
class BenchDevice : public Ondrell20 {
 public:
  void AwaitGroupVoltage() {
    poll_step_ = kGroupVoltage;
    msg_len_ = 0;
  }
  void AwaitCells() {
    poll_step_ = kCellVoltages;
    msg_len_ = 0;
  }
};

struct Rig {
  // Configured and, unless `first_round` is false, through one round: data ready and fresh, and
  // the cell labels built.
  explicit Rig(bool first_round = true) {
    device.Init(controller, kDataId, Json::Value(Json::objectValue));
    device.InitSetting(settings);
    if (first_round) Round();
  }

  // One complete poll round as the host delivers it: the tick, the 67-byte cell reply in one
  // chunk, then the three short replies; the last one runs RoundDone.
  void Round() {
    device.RefreshStatus();
    device.process(cells.data(), static_cast<unsigned>(cells.size()));
    device.process(group.data(), static_cast<unsigned>(group.size()));
    device.process(current.data(), static_cast<unsigned>(current.size()));
    device.process(temperature.data(), static_cast<unsigned>(temperature.size()));
  }

  // The group-voltage reply: accepted, decoded, the current request sent; the round goes on.
  int GroupReply() {
    device.AwaitGroupVoltage();
    return device.process(group.data(), static_cast<unsigned>(group.size()));
  }

  // The first 32 bytes of the cell reply: held, the frame still incomplete.
  int CellChunk() {
    device.AwaitCells();
    return device.process(cells.data(), 32);
  }

  float Get(const std::string& name) { return device.Get_Value(kDataId, name); }

  // Unsupported names are refused with an exception; the caller pays for it.
  float GetRefused(const std::string& name) {
    try {
      return device.Get_Value(kDataId, name);
    } catch (const std::out_of_range&) {
      return -1.0f;
    }
  }

  int Configure() { return device.InitSetting(settings); }

  // The host hands the device new settings, the typical ones with another numbering of the
  // cells. InitSetting inverts bit 7 of the address the host keeps, so the host sets it first.
  int ConfigureBatteryStart(int battery_start) {
    Json::Value changed = settings;
    changed["appSetting"]["battery_start"] = battery_start;
    device.addr_ = 0x81;
    return device.InitSetting(changed);
  }

  std::shared_ptr<XQRController> controller = std::make_shared<XQRController>();
  Json::Value settings = TypicalSettings();
  BenchDevice device;
  test::Bytes cells = test::CellFrame(0x01, test::Readings(1234));
  test::Bytes group = test::ShortReply(0x01, 2468);        // 246.8 V
  test::Bytes current = test::ShortReply(0x01, 250);       // 25.0 A
  test::Bytes temperature = test::ShortReply(0x01, 2530);  // 25.3 degrees
};

// Reference: a lookup that builds its regular expression for every query.
inline bool RegexPerQuery(const std::string& name) {
  std::smatch m;
  const std::regex pattern("battery_(\\d+)_value");
  return std::regex_search(name, m, pattern);
}

}  // namespace bench

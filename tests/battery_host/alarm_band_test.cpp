// The host framework's threshold evaluation with the host's alarm bands: which limit applies to a
// key, which side was crossed, and the raised/cleared changes between batches.

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "host_framework/xqr_controller.h"
#include "host_framework/xqr_listener.h"
#include "host/xqr_vdevice.h"

namespace {

class PlainDevice : public XQRVDevice {
 public:
  using XQRVDevice::LoadFromCache;
  bool LoadFromCache(const unsigned char*, int) override { return false; }
};

struct Change {
  std::string key;
  bool raised;
  float limit;
};

class ChangeListener : public XQRListener {
 public:
  void OnAlarmChange(const XQRVDevice&, const rule_value& rule, bool raised) override {
    changes.push_back({rule.key, raised, rule.limit});
  }
  std::vector<Change> changes;
};

struct Rig {
  Rig() {
    controller->SetListener(&listener);
    device.Init(controller, 1, Json::Value());
  }
  rule_value Check(const std::string& key, float value) {
    device.CheckThreshold(key, "", value, 1);
    return device.rule_values_.back();
  }
  std::shared_ptr<XQRController> controller = std::make_shared<XQRController>();
  ChangeListener listener;
  PlainDevice device;
};

host_framework::AlarmBand Band(bool has_low, float low, bool has_high, float high) {
  host_framework::AlarmBand b;
  b.has_low = has_low;
  b.low = low;
  b.has_high = has_high;
  b.high = high;
  return b;
}

TEST(AlarmBands, BothSidesAreInclusiveLimits) {
  struct Case {
    float value;
    bool alarm;
    float limit;
  };
  const Case cases[] = {
      {11.99f, true, 12.0f},
      {12.0f, false, 14.4f},
      {14.4f, false, 14.4f},
      {14.41f, true, 14.4f},
  };
  Rig rig;
  rig.controller->SetAlarmBands(1, {{"battery_0_value", Band(true, 12.0f, true, 14.4f)}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    const rule_value r = rig.Check("battery_0_value", c.value);
    EXPECT_EQ(r.alarm, c.alarm);
    EXPECT_EQ(r.limit, c.limit);
  }
}

TEST(AlarmBands, OneSidedBands) {
  Rig rig;
  rig.controller->SetAlarmBands(1, {{"temperature", Band(false, 0, true, 40.0f)},
                                    {"group_current", Band(true, -50.0f, false, 0)}});
  EXPECT_FALSE(rig.Check("temperature", -10.0f).alarm);
  EXPECT_TRUE(rig.Check("temperature", 40.5f).alarm);
  EXPECT_TRUE(rig.Check("group_current", -50.5f).alarm);
  const rule_value quiet = rig.Check("group_current", 300.0f);
  EXPECT_FALSE(quiet.alarm);
  EXPECT_EQ(quiet.limit, -50.0f);
}

TEST(AlarmBands, PrecedenceOfLevelZeroBandAndDeviceValue) {
  Rig rig;
  rig.controller->SetAlarmBands(1, {{"temperature", Band(false, 0, true, 40.0f)}});
  rig.controller->SetAlarmBands(2, {{"group_current", Band(false, 0, true, 1.0f)}});
  // The band wins over the device's own value for the same key.
  rig.device.threshold_values_["temperature"] = 10.0f;
  EXPECT_FALSE(rig.Check("temperature", 30.0f).alarm);
  // Another device's band does not apply; without anything configured nothing alarms.
  EXPECT_FALSE(rig.Check("group_current", 5.0f).alarm);
  // The device's value alone keeps its meaning: alarm while above it.
  rig.device.threshold_values_["group_voltage"] = 20.0f;
  EXPECT_TRUE(rig.Check("group_voltage", 20.5f).alarm);
  EXPECT_FALSE(rig.Check("group_voltage", 20.0f).alarm);
  // Level 0 with value 0, as the device's alarm settings insert them: switched off.
  rig.device.threshold_levels_["battery_1_value"] = 0;
  rig.device.threshold_values_["battery_1_value"] = 0.0f;
  EXPECT_FALSE(rig.Check("battery_1_value", 13.5f).alarm);
  // Level 0 switches a band off too.
  rig.device.threshold_levels_["temperature"] = 0;
  EXPECT_FALSE(rig.Check("temperature", 90.0f).alarm);
}

TEST(AlarmBands, ChangesAreReportedOnceWhenRaisedAndOnceWhenCleared) {
  Rig rig;
  rig.controller->SetAlarmBands(1, {{"temperature", Band(false, 0, true, 40.0f)},
                                    {"group_voltage", Band(true, 240.0f, true, 288.0f)}});
  const std::pair<float, float> rounds[] = {
      {41.0f, 250.0f},  // temperature raised
      {42.0f, 239.0f},  // temperature still raised; group voltage raised at the low limit
      {39.0f, 239.5f},  // temperature cleared
  };
  std::vector<bool> due;
  for (const auto& [temperature, group] : rounds) {
    rig.Check("temperature", temperature);
    rig.Check("group_voltage", group);
    due.push_back(rig.device.DoBatchCheckThreshold(rig.device.rule_values_));
    rig.device.rule_values_.clear();
  }
  EXPECT_EQ(due, (std::vector<bool>{true, true, true}));
  ASSERT_EQ(rig.listener.changes.size(), 3u);
  EXPECT_EQ(rig.listener.changes[0].key, "temperature");
  EXPECT_TRUE(rig.listener.changes[0].raised);
  EXPECT_EQ(rig.listener.changes[0].limit, 40.0f);
  EXPECT_EQ(rig.listener.changes[1].key, "group_voltage");
  EXPECT_TRUE(rig.listener.changes[1].raised);
  EXPECT_EQ(rig.listener.changes[1].limit, 240.0f);
  EXPECT_EQ(rig.listener.changes[2].key, "temperature");
  EXPECT_FALSE(rig.listener.changes[2].raised);
}

}  // namespace

// How the host configures, controls and queries the link: the "appSetting" keys read by
// InitSetting, the save-interval control code and the three group values served by Get_Value.
#include <climits>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "battery/link_settings.h"
#include "tests/test_support.h"

using namespace test;

namespace {

// Settings whose "appSetting" member is the given JSON text.
Json::Value App(const std::string& app_json) {
  return ParseJson("{\"appSetting\": " + app_json + "}");
}

void ExpectConstructorDefaults(const TestBattery& dev) {
  EXPECT_EQ(dev.battery_type_, 0);
  EXPECT_EQ(dev.current_ratio_, 0);
  EXPECT_EQ(dev.group_a_, 1.0f);
  EXPECT_EQ(dev.group_b_, 0.0f);
  EXPECT_EQ(dev.battery_adjust_, 0.0f);
  EXPECT_EQ(dev.version_, 1);
  EXPECT_EQ(dev.dir_, 0);
  EXPECT_EQ(dev.r_data_id_, 0);
  EXPECT_EQ(dev.r_current_field_, "");
  EXPECT_EQ(dev.save_interval_, 28800);
  EXPECT_TRUE(dev.active_batteries_.empty());
  EXPECT_EQ(dev.battery_start_, 0);
  EXPECT_TRUE(dev.group_voltage_ids_.empty());
  EXPECT_EQ(dev.t0_, 0.0f);
  EXPECT_EQ(dev.t31_, 0.0f);
  EXPECT_EQ(dev.poll_step_, 0);
  EXPECT_EQ(dev.baud_rate_, 19200);
}

TEST(LinkSettings, WithoutAnAppSettingObjectOnlyTheAddressChanges) {
  const char* settings[] = {"{}",
                            "{\"appSetting\": null}",
                            "{\"appSetting\": [{\"version\": 2}]}",
                            "{\"appSetting\": \"{\\\"version\\\": 2}\"}",
                            "{\"appSetting\": 2}",
                            "{\"appSetting\": true}",
                            "{\"version\": 2, \"save_interval\": 1}"};
  for (const char* text : settings) {
    SCOPED_TRACE(text);
    TestBattery dev;
    dev.addr_ = 0x03;
    EXPECT_EQ(dev.InitSetting(ParseJson(text)), 1);
    EXPECT_EQ(dev.addr_, 0x83);
    ExpectConstructorDefaults(dev);
  }
}

TEST(LinkSettings, NullValuesCountAsMissing) {
  TestBattery dev;
  dev.battery_type_ = 6;
  dev.version_ = 2;
  dev.group_a_ = 1.5f;
  dev.r_current_field_ = "i";
  dev.save_interval_ = 600;
  dev.battery_start_ = 17;
  dev.active_batteries_ = {4};
  dev.group_voltage_ids_ = {5001};
  const char* keys[] = {"battery_type",
                        "current_ratio",
                        "group_a",
                        "group_b",
                        "battery_adjust",
                        "version",
                        "dir",
                        "r_data_id",
                        "r_current_field",
                        "save_interval",
                        "group_index",
                        "amount",
                        "active_batteries",
                        "battery_start",
                        "group_voltage",
                        "t0",
                        "t31"};
  Json::Value settings = App("{}");
  for (const char* key : keys) settings["appSetting"][key] = Json::Value();
  EXPECT_EQ(dev.InitSetting(settings), 1);
  EXPECT_EQ(dev.battery_type_, 6);
  EXPECT_EQ(dev.version_, 2);
  EXPECT_EQ(dev.group_a_, 1.5f);
  EXPECT_EQ(dev.r_current_field_, "i");
  EXPECT_EQ(dev.save_interval_, 600);
  EXPECT_EQ(dev.battery_start_, 17);
  EXPECT_EQ(dev.active_batteries_, std::vector<int>{4});
  EXPECT_EQ(dev.group_voltage_ids_, std::vector<unsigned int>{5001});
  EXPECT_EQ(dev.t0_, 0.0f);
}

// Every scalar goes through its text form and atoi/atof semantics, saturated to the int32 range
// as on the controller.
TEST(LinkSettings, IntegerKeys) {
  struct Case {
    const char* key;
    const char* json;
    int TestBattery::*member;
    int expected;
  };
  const Case cases[] = {
      {"battery_type", "\"6.9\"", &TestBattery::battery_type_, 6},
      {"battery_type", "6.9", &TestBattery::battery_type_, 6},
      {"battery_type", "-6.9", &TestBattery::battery_type_, -6},
      {"battery_type", "1e300", &TestBattery::battery_type_, INT_MAX},
      {"battery_type", "-1e300", &TestBattery::battery_type_, INT_MIN},
      {"battery_type", "\"nan\"", &TestBattery::battery_type_, 0},
      {"battery_type", "\"inf\"", &TestBattery::battery_type_, INT_MAX},
      {"battery_type", "\"2147483647.9\"", &TestBattery::battery_type_, INT_MAX},
      {"battery_type", "\"-2147483648.9\"", &TestBattery::battery_type_, INT_MIN},
      {"current_ratio", "-1.5", &TestBattery::current_ratio_, -1},
      {"current_ratio", "\"1\"", &TestBattery::current_ratio_, 1},
      {"version", "true", &TestBattery::version_, 0},
      {"version", "\"12abc\"", &TestBattery::version_, 12},
      {"version", "\"abc\"", &TestBattery::version_, 0},
      {"version", "\"  7\"", &TestBattery::version_, 7},
      {"version", "2.7", &TestBattery::version_, 2},
      {"version", "\"99999999999\"", &TestBattery::version_, INT_MAX},
      {"version", "\"-99999999999\"", &TestBattery::version_, INT_MIN},
      {"version", "99999999999", &TestBattery::version_, INT_MAX},
      {"dir", "\"1\"", &TestBattery::dir_, 1},
      {"r_data_id", "\"5001\"", &TestBattery::r_data_id_, 5001},
      {"r_data_id", "6001", &TestBattery::r_data_id_, 6001},
      {"battery_start", "\"20\"", &TestBattery::battery_start_, 20},
      // Minutes to seconds; nothing at or below zero, nothing that does not fit an int.
      {"save_interval", "\"10\"", &TestBattery::save_interval_, 600},
      {"save_interval", "10", &TestBattery::save_interval_, 600},
      {"save_interval", "\"0\"", &TestBattery::save_interval_, 28800},
      {"save_interval", "\"-5\"", &TestBattery::save_interval_, 28800},
      {"save_interval", "\"abc\"", &TestBattery::save_interval_, 28800},
      {"save_interval", "\"35791394\"", &TestBattery::save_interval_, 2147483640},
      {"save_interval", "\"35791395\"", &TestBattery::save_interval_, 28800},
      {"save_interval", "\"99999999999\"", &TestBattery::save_interval_, 28800},
      {"save_interval", "\"-99999999999\"", &TestBattery::save_interval_, 28800},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " = " + c.json);
    TestBattery dev;
    dev.*c.member = 1234;
    EXPECT_EQ(dev.InitSetting(App(std::string("{\"") + c.key + "\": " + c.json + "}")), 1);
    EXPECT_EQ(dev.*c.member, c.expected);
  }
}

TEST(LinkSettings, FloatAndTextKeys) {
  const float inf = std::numeric_limits<float>::infinity();
  const float max = std::numeric_limits<float>::max();
  struct Case {
    const char* key;
    const char* json;
    float TestBattery::*member;
    float expected;
  };
  const Case cases[] = {
      {"group_a", "1.5", &TestBattery::group_a_, 1.5f},
      {"group_a", "\"1.5\"", &TestBattery::group_a_, 1.5f},
      {"group_a", "\"1e39\"", &TestBattery::group_a_, inf},
      {"group_a", "\"-1e39\"", &TestBattery::group_a_, -inf},
      {"group_a", "\"3.4028235e38\"", &TestBattery::group_a_, max},  // rounds down to the max
      {"group_a", "\"3.4028236e38\"", &TestBattery::group_a_, inf},  // past the halfway point
      {"group_a", "true", &TestBattery::group_a_, 0.0f},
      {"group_b", "\"0.1\"", &TestBattery::group_b_, 0.1f},
      {"battery_adjust", "-0.05", &TestBattery::battery_adjust_, -0.05f},
      {"t0", "\"0.02\"", &TestBattery::t0_, 0.02f},
      {"t31", "\"-0.3x\"", &TestBattery::t31_, -0.3f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " = " + c.json);
    TestBattery dev;
    dev.*c.member = 7.0f;
    EXPECT_EQ(dev.InitSetting(App(std::string("{\"") + c.key + "\": " + c.json + "}")), 1);
    EXPECT_EQ(dev.*c.member, c.expected);
  }

  TestBattery dev;
  dev.InitSetting(App("{\"r_current_field\": \"i_total\"}"));
  EXPECT_EQ(dev.r_current_field_, "i_total");
  dev.InitSetting(App("{\"r_current_field\": 5}"));
  EXPECT_EQ(dev.r_current_field_, "5");
}

// The group rule: group 1 labels cells from 1, group 2 from 18; both check cells 0 .. amount-1.
TEST(LinkSettings, GroupRuleAndActiveBatteries) {
  struct Case {
    const char* app;
    std::vector<int> before;
    std::vector<int> active;
    int start;
  };
  const Case cases[] = {
      {R"({"group_index": 2, "amount": 3, "active_batteries": [1, 5, 5], "battery_start": 20})",
       {},
       {0, 1, 2, 5},
       20},
      {R"({"group_index": 1, "amount": 0, "active_batteries": [3]})", {7}, {7, 3}, 0},
      {R"({"group_index": 1, "amount": -3})", {7}, {7}, 0},
      {R"({"group_index": 3, "amount": 5})", {7}, {7}, 9},
      {R"({"group_index": 0, "amount": 5})", {7}, {7}, 9},
      {R"({"group_index": 1})", {7}, {7}, 9},
      {R"({"amount": 4})", {7}, {7}, 9},
      {R"({"group_index": 1, "amount": null})", {7}, {7}, 9},
      {R"({"group_index": 1, "amount": 4})", {}, {0, 1, 2, 3}, 0},
      {R"({"group_index": "2", "amount": "2"})", {}, {0, 1}, 17},
      {R"({"group_index": 2, "amount": 2})", {1}, {1, 0, 1}, 17},  // no duplicate check here
      {R"({"group_index": 2, "amount": 3, "battery_start": 5})", {}, {0, 1, 2}, 5},
      {R"({"active_batteries": [2, 2, "2"]})", {}, {2}, 9},
      {R"({"active_batteries": [3, "x", "4y"]})", {0}, {0, 3, 4}, 9},
      {R"({"active_batteries": [3, 1]})", {1, 2}, {1, 2, 3}, 9},
      {R"({"active_batteries": "2"})", {}, {}, 9},
      {R"({"active_batteries": {"a": 2}})", {}, {}, 9},
      {R"({"active_batteries": 2})", {}, {}, 9},
      {R"({"battery_start": "-3"})", {}, {}, -3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.app);
    TestBattery dev;
    dev.active_batteries_ = c.before;
    dev.battery_start_ = 9;
    EXPECT_EQ(dev.InitSetting(App(c.app)), 1);
    EXPECT_EQ(dev.active_batteries_, c.active);
    EXPECT_EQ(dev.battery_start_, c.start);
  }
}

TEST(LinkSettings, HugeAmountStopsAtTheLastCell) {
  TestBattery dev;
  dev.InitSetting(App(R"({"group_index": 1, "amount": 2000000000})"));
  std::vector<int> expected;
  for (int i = 0; i < 32; ++i) expected.push_back(i);
  EXPECT_EQ(dev.active_batteries_, expected);
}

TEST(LinkSettings, LongActiveBatteriesArrayIsWalkedToTheEnd) {
  Json::Value settings = App("{}");
  Json::Value& list = settings["appSetting"]["active_batteries"];
  for (int i = 0; i < 70000; ++i) list.append(i);
  TestBattery dev;
  EXPECT_EQ(dev.InitSetting(settings), 1);
  ASSERT_EQ(dev.active_batteries_.size(), 70000u);
  EXPECT_EQ(dev.active_batteries_[65535], 65535);
  EXPECT_EQ(dev.active_batteries_.back(), 69999);
}

TEST(LinkSettings, GroupVoltagePeers) {
  struct Case {
    const char* app;
    std::vector<unsigned int> before;
    std::vector<unsigned int> ids;
  };
  const Case cases[] = {
      {R"({"group_voltage": ["5001", 5002, 5001]})", {}, {5001, 5002}},
      {R"({"group_voltage": [5003, 5002]})", {5002}, {5002, 5003}},
      {R"({"group_voltage": ["-1"]})", {}, {4294967295u}},
      {R"({"group_voltage": ["99999999999", "-99999999999"]})", {}, {2147483647u, 2147483648u}},
      {R"({"group_voltage": "5001"})", {}, {}},
      {R"({"group_voltage": 5001})", {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.app);
    TestBattery dev;
    dev.group_voltage_ids_ = c.before;
    EXPECT_EQ(dev.InitSetting(App(c.app)), 1);
    EXPECT_EQ(dev.group_voltage_ids_, c.ids);
  }
}

TEST(LinkSettings, SecondCallAppendsAndInvertsTheAddressBack) {
  TestBattery dev;
  dev.addr_ = 0x81;
  dev.InitSetting(App(R"({"version": 2, "group_index": 1, "amount": 2,
                          "active_batteries": [5], "group_voltage": [7]})"));
  EXPECT_EQ(dev.addr_, 0x01);
  dev.InitSetting(App(R"({"group_index": 1, "amount": 2, "active_batteries": [5, 6],
                          "group_voltage": [8, 7]})"));
  EXPECT_EQ(dev.addr_, 0x81);
  EXPECT_EQ(dev.version_, 2);
  EXPECT_EQ(dev.active_batteries_, (std::vector<int>{0, 1, 5, 0, 1, 6}));
  EXPECT_EQ(dev.group_voltage_ids_, (std::vector<unsigned int>{7, 8}));
}

// A value that has no text form throws out of InitSetting; what was read before it stays.
TEST(LinkSettings, ContainerForAScalarThrowsAfterEarlierKeys) {
  TestBattery dev;
  dev.addr_ = 0x81;
  EXPECT_THROW(dev.InitSetting(App(R"({"battery_type": 6, "group_a": 2, "version": [2],
                                       "dir": 1, "t0": 0.5})")),
               Json::LogicError);
  EXPECT_EQ(dev.addr_, 0x01);
  EXPECT_EQ(dev.battery_type_, 6);
  EXPECT_EQ(dev.group_a_, 2.0f);
  EXPECT_EQ(dev.version_, 1);
  EXPECT_EQ(dev.dir_, 0);
  EXPECT_EQ(dev.t0_, 0.0f);

  TestBattery listed;
  EXPECT_THROW(listed.InitSetting(App(R"({"r_data_id": 9, "active_batteries": [1, {"a": 2}, 3],
                                          "battery_start": 4})")),
               Json::LogicError);
  EXPECT_EQ(listed.r_data_id_, 9);
  EXPECT_EQ(listed.active_batteries_, std::vector<int>{1});
  EXPECT_EQ(listed.battery_start_, 0);
}

TEST(LinkControl, SaveIntervalCode) {
  auto minutes = [](std::uint16_t m) {  // the host's own byte order
    std::vector<unsigned char> b(4, 0);
    std::memcpy(b.data(), &m, sizeof m);
    return b;
  };
  struct Case {
    int code;
    std::vector<unsigned char> in;
    bool null_input;
    int in_len;
    int result;
    int interval;
  };
  const Case cases[] = {
      {100, minutes(0), false, 2, 0, 28800},
      {100, minutes(65535), false, 2, 0, 3932100},
      {100, minutes(10), false, 2, 0, 600},
      {100, minutes(1), false, 4, 0, 60},
      {100, minutes(0x0102), false, 2, 0, 258 * 60},
      {101, minutes(10), false, 2, 0, 1234},
      {101, {}, true, 0, 0, 1234},
      {0, minutes(10), false, 2, 0, 1234},
      {100, {}, true, 2, -1, 1234},
      {100, minutes(10), false, 1, -1, 1234},
      {100, minutes(10), false, 0, -1, 1234},
      {100, minutes(10), false, -2, -1, 1234},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.code << " len " << c.in_len << " null " << c.null_input);
    TestBattery dev;
    dev.save_interval_ = 1234;
    unsigned char out[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    int out_len = -7;
    const unsigned char* in = c.null_input ? nullptr : c.in.data();
    EXPECT_EQ(dev.DeviceIoControl(c.code, in, c.in_len, out, 4, out_len), c.result);
    EXPECT_EQ(dev.save_interval_, c.interval);
    EXPECT_EQ(out_len, -7);
    EXPECT_EQ(out[0], 0xAA);
  }
}

TEST(LinkValues, GroupValuesByExactName) {
  TestBattery dev;
  dev.group_voltage_ = 240.0f;
  dev.group_current_ = -12.5f;
  dev.temperature_ = 25.3f;
  EXPECT_EQ(dev.Get_Value(0, "group_voltage"), 240.0f);
  EXPECT_EQ(dev.Get_Value(999, "group_current"), -12.5f);
  EXPECT_EQ(dev.Get_Value(7, "temperature"), 25.3f);

  const char* unsupported[] = {"Group_Voltage",
                               "GROUP_VOLTAGE",
                               "Temperature",
                               "battery_0_value",
                               "group_voltage ",
                               "temperatur",
                               ""};
  for (const char* name : unsupported) {
    SCOPED_TRACE(name);
    try {
      dev.Get_Value(7, name);
      ADD_FAILURE() << "no exception";
    } catch (const std::out_of_range& e) {
      EXPECT_STREQ(e.what(), "不支持变量");
    }
  }
}

// The host reads a device's settings before it starts (peers, save interval, cell numbering)
// with the reader the device itself uses: both see the same values, down to a stop at a value
// that cannot be read.
TEST(LinkSettings, TheHostsReadingIsTheDevices) {
  struct Case {
    const char* app;
    std::vector<int> active;
    int battery_start;
    std::vector<unsigned int> peers;
    int save_interval;
    const char* stop_key;  // null: read to the end
    int stop_element;
  };
  const Case cases[] = {
      {R"({"group_index": 2, "amount": 3, "active_batteries": [1, 5, 5], "battery_start": 20})",
       {0, 1, 2, 5},
       20,
       {},
       28800,
       nullptr,
       -1},
      {R"({"group_index": "2", "amount": 2, "save_interval": "10", "group_voltage": ["-1", 7]})",
       {0, 1},
       17,
       {4294967295u, 7},
       600,
       nullptr,
       -1},
      {R"({"save_interval": 0, "group_voltage": [5001, [5002], 5003], "t0": 1})",
       {},
       0,
       {5001},
       28800,
       "group_voltage",
       1},
      {R"({"group_index": 1, "amount": 2, "battery_start": {}})",
       {0, 1},
       0,
       {},
       28800,
       "battery_start",
       -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.app);
    const Json::Value settings = App(c.app);
    TestBattery dev;
    bool device_read = true;
    try {
      dev.InitSetting(settings);
    } catch (const std::exception&) {
      device_read = false;
    }
    link_settings::Values host;
    link_settings::Position at;
    EXPECT_EQ(link_settings::ReadDeviceSettings(settings, &host, &at), device_read);
    EXPECT_EQ(device_read, c.stop_key == nullptr);
    if (c.stop_key != nullptr) {
      EXPECT_STREQ(at.key, c.stop_key);
      EXPECT_EQ(at.element, c.stop_element);
    }
    EXPECT_EQ(dev.active_batteries_, c.active);
    EXPECT_EQ(host.active_batteries, c.active);
    EXPECT_EQ(dev.battery_start_, c.battery_start);
    EXPECT_EQ(host.battery_start, c.battery_start);
    EXPECT_EQ(dev.group_voltage_ids_, c.peers);
    EXPECT_EQ(host.group_voltage_ids, c.peers);
    EXPECT_EQ(dev.save_interval_, c.save_interval);
    EXPECT_EQ(host.save_interval, c.save_interval);
  }
}

}  // namespace

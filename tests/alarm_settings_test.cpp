// Alarm signal settings: the threshold mode, and in mode 3 the identities under which the
// operator's network management knows each signal, with their diagnostic trail.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include <json/json.h>

#include "tests/test_support.h"

using namespace test;

namespace {

using Map = std::map<std::string, std::string>;

// A data id above the int range: it must be written unsigned.
constexpr unsigned int kId = 3000000000u;

// A string device on its own recording host, bus address 0x81 before InitSetting.
struct Rig {
  Rig() { host.Attach(dev, kId); }

  // Runs InitSetting and returns what it wrote to standard output.
  std::string Init(const std::string& json, int* result = nullptr) {
    const Json::Value settings = ParseJson(json);
    testing::internal::CaptureStdout();
    const int r = dev.InitSetting(settings);
    if (result != nullptr) *result = r;
    return testing::internal::GetCapturedStdout();
  }
  std::uint32_t RecordId() const {
    return U32At(Bytes(dev.RecordBytes(), dev.RecordBytes() + 4), 0);
  }

  Host host;
  OpenOndrell20 dev;
};

const char kMode3[] = "InitSetting 3000000000 b_mode_:3\nhere 1\n";

}  // namespace

TEST(AlarmSettings, WithoutAppSettingTheModeStaysOne) {
  Rig rig;
  int result = 0;
  EXPECT_EQ(
      rig.Init(R"({"thresholdSetting": {"temperature": {"NMAlarmID": 1, "ID": 2}}})", &result), "");
  EXPECT_EQ(result, 1);
  EXPECT_EQ(rig.dev.b_mode_, 1);
  EXPECT_TRUE(rig.dev.alarm_ids_.empty());
  EXPECT_TRUE(rig.dev.threshold_levels_.empty());
  EXPECT_EQ(rig.dev.addr_, 0x01);  // the link settings ran
  EXPECT_EQ(rig.RecordId(), kId);
}

TEST(AlarmSettings, ModeIsReadFromItsTextForm) {
  struct Case {
    const char* settings;
    int mode;
    const char* output;
  } const cases[] = {
      {R"({"appSetting": {"b_mode": "3"}})", 3, kMode3},
      {R"({"appSetting": {"b_mode": 3}})", 3, kMode3},
      {R"({"appSetting": {"b_mode": "3 for the network management"}})", 3, kMode3},
      {R"({"appSetting": {"b_mode": "2"}, "thresholdSetting": {"temperature": {}}})", 2,
       "InitSetting 3000000000 b_mode_:2\n"},
      {R"({"appSetting": {"b_mode": true}})", 0, "InitSetting 3000000000 b_mode_:0\n"},
      {R"({"appSetting": {"b_mode": null}, "thresholdSetting": {"temperature": {}}})", 1, ""},
      {R"({"appSetting": {"version": "2"}})", 1, ""},
      {R"({"appSetting": "b_mode 3"})", 1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings);
    Rig rig;
    int result = 0;
    EXPECT_EQ(rig.Init(c.settings, &result), c.output);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(rig.dev.b_mode_, c.mode);
    EXPECT_TRUE(rig.dev.alarm_ids_.empty());
    EXPECT_EQ(rig.dev.addr_, 0x01);
  }
}

// A cell signal with its network-management identity and the threshold the host holds for it.
TEST(AlarmSettings, SignalIdentityWithTheHostsThreshold) {
  Rig rig;
  rig.dev.threshold_levels_["battery_0_value"] = 2;
  rig.dev.threshold_values_["battery_0_value"] = 1.8f;
  EXPECT_EQ(rig.Init(R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"battery_0_value":
                         {"NMAlarmID": 101, "ID": 2, "SignalNumber": 3}}})"),
            std::string(kMode3) +
                "here 2\n"
                "here battery_0_value\n"
                "mobile:battery_0_value:101;2;3; level:2 value:1.8\n");
  EXPECT_EQ(rig.dev.alarm_ids_, (Map{{"battery_0_value", "101;2;3;"}}));
  EXPECT_TRUE(rig.dev.signal_names_.empty());
  EXPECT_EQ(rig.dev.addr_, 0x01);
}

TEST(AlarmSettings, MembersInKeyOrderWithNamesAndInsertedHostEntries) {
  Rig rig;
  rig.dev.threshold_levels_["temperature"] = 1;
  rig.dev.threshold_values_["temperature"] = 45.5f;
  EXPECT_EQ(rig.Init(R"({"appSetting": {"b_mode": "3"}, "thresholdSetting": {
                       "temperature": {"SignalName": "温度", "NMAlarmID": "9", "ID": "1",
                                       "SignalNumber": "2"},
                       "group_voltage": {"NMAlarmID": 7, "ID": 8, "SignalNumber": 9}}})"),
            std::string(kMode3) +
                "here 2\n"
                "here group_voltage\n"
                "mobile:group_voltage:7;8;9; level:0 value:0\n"
                "here temperature\n"
                "mobile:temperature:9;1;2; level:1 value:45.5\n");
  EXPECT_EQ(rig.dev.alarm_ids_, (Map{{"group_voltage", "7;8;9;"}, {"temperature", "9;1;2;"}}));
  EXPECT_EQ(rig.dev.signal_names_, (Map{{"temperature", "温度"}}));
  EXPECT_EQ(rig.dev.threshold_levels_,
            (std::map<std::string, int>{{"group_voltage", 0}, {"temperature", 1}}));
  EXPECT_EQ(rig.dev.threshold_values_,
            (std::map<std::string, float>{{"group_voltage", 0.0f}, {"temperature", 45.5f}}));
}

// Each identity field is taken as text; a missing (or null) one leaves an empty place and a line.
TEST(AlarmSettings, IdentityFields) {
  struct Case {
    const char* member;
    const char* identity;
    const char* missing_lines;
  } const cases[] = {
      {R"({"NMAlarmID": 101, "ID": 2, "SignalNumber": 3})", "101;2;3;", ""},
      {R"({"NMAlarmID": "101", "ID": "2", "SignalNumber": "3"})", "101;2;3;", ""},
      {R"({"NMAlarmID": 101, "ID": null, "SignalNumber": 3})", "101;;3;",
       "3000000000 ID is missing\n"},
      {R"({"NMAlarmID": 101, "ID": 2})", "101;2;;", "3000000000 SignalNumber is missing\n"},
      {R"({"NMAlarmID": "", "ID": " 2", "SignalNumber": "x"})", "; 2;x;", ""},
      {R"({"SignalName": "第6节电池"})", ";;;",
       "3000000000 NMAlarmID is missing\n3000000000 ID is missing\n"
       "3000000000 SignalNumber is missing\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.member);
    Rig rig;
    EXPECT_EQ(rig.Init(std::string(R"({"appSetting": {"b_mode": 3},
                                       "thresholdSetting": {"battery_5_value": )") +
                       c.member + "}}"),
              std::string(kMode3) + "here 2\nhere battery_5_value\n" + c.missing_lines +
                  "mobile:battery_5_value:" + c.identity + " level:0 value:0\n");
    EXPECT_EQ(rig.dev.alarm_ids_, (Map{{"battery_5_value", c.identity}}));
    // The host now holds a threshold entry for the signal.
    EXPECT_EQ(rig.dev.threshold_levels_, (std::map<std::string, int>{{"battery_5_value", 0}}));
    EXPECT_EQ(rig.dev.threshold_values_, (std::map<std::string, float>{{"battery_5_value", 0.0f}}));
  }
}

TEST(AlarmSettings, OnlyObjectMembersCarryIdentities) {
  struct Case {
    const char* threshold_setting;
    const char* output;
  } const cases[] = {
      {R"({"battery_1_value": [101, 2, 3], "group_current": "101;2;3;", "temperature": 7})",
       "here 2\nhere battery_1_value\nhere group_current\nhere temperature\n"},
      {R"("battery_1_value")", "here 2\n"},
      {"42", "here 2\n"},
      {"null", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.threshold_setting);
    Rig rig;
    int result = 0;
    EXPECT_EQ(rig.Init(std::string(R"({"appSetting": {"b_mode": 3}, "thresholdSetting": )") +
                           c.threshold_setting + "}",
                       &result),
              std::string(kMode3) + c.output);
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(rig.dev.alarm_ids_.empty());
    EXPECT_TRUE(rig.dev.signal_names_.empty());
    EXPECT_TRUE(rig.dev.threshold_levels_.empty());
    EXPECT_TRUE(rig.dev.threshold_values_.empty());
    EXPECT_EQ(rig.dev.addr_, 0x01);
  }
}

// The mode persists; a later call overwrites the keys it names and keeps the others (a missing
// name keeps the earlier one).
TEST(AlarmSettings, LaterCallsKeepTheModeAndMergeEntries) {
  Rig rig;
  rig.Init(R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {
      "group_voltage": {"SignalName": "整组电压", "NMAlarmID": 1, "ID": 2, "SignalNumber": 3},
      "temperature": {"SignalName": "温度", "NMAlarmID": 4, "ID": 5, "SignalNumber": 6}}})");
  EXPECT_EQ(rig.Init(R"({"thresholdSetting": {
                       "temperature": {"NMAlarmID": 7, "ID": 8, "SignalNumber": 9}}})"),
            "here 1\nhere 2\nhere temperature\nmobile:temperature:7;8;9; level:0 value:0\n");
  EXPECT_EQ(rig.dev.b_mode_, 3);
  EXPECT_EQ(rig.dev.alarm_ids_, (Map{{"group_voltage", "1;2;3;"}, {"temperature", "7;8;9;"}}));
  EXPECT_EQ(rig.dev.signal_names_, (Map{{"group_voltage", "整组电压"}, {"temperature", "温度"}}));
  EXPECT_EQ(rig.dev.addr_, 0x81);  // every call inverts bit 7 again
}

// A field that has no text form throws out of InitSetting: what was done stays done, and the
// link settings are never applied.
TEST(AlarmSettings, FieldWithoutTextFormThrowsBeforeTheLinkSettings) {
  struct Case {
    const char* member;
    const char* output_after_here;
    Map names;
  } const cases[] = {
      {R"({"SignalName": ["第3节电池"], "NMAlarmID": 1})", "", Map{{"battery_2_value", ""}}},
      {R"({"SignalName": "第3节电池", "NMAlarmID": 1, "ID": {"id": 2}})", "",
       Map{{"battery_2_value", "第3节电池"}}},
      {R"({"ID": [2]})", "3000000000 NMAlarmID is missing\n", Map{}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.member);
    Rig rig;
    EXPECT_ANY_THROW(
        rig.Init(std::string(R"({"appSetting": {"b_mode": 3, "version": "2"}, "thresholdSetting": {
                          "a_first": {"NMAlarmID": 1, "ID": 2, "SignalNumber": 3},
                          "battery_2_value": )") +
                 c.member + "}}"));
    // Init threw before it could stop the capture.
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              std::string(kMode3) +
                  "here 2\nhere a_first\nmobile:a_first:1;2;3; level:0 value:0\n"
                  "here battery_2_value\n" +
                  c.output_after_here);
    EXPECT_EQ(rig.dev.alarm_ids_, (Map{{"a_first", "1;2;3;"}}));
    EXPECT_EQ(rig.dev.signal_names_, c.names);
    EXPECT_EQ(rig.dev.addr_, 0x81);
    EXPECT_EQ(rig.dev.version_, 1);
    EXPECT_EQ(rig.RecordId(), kId);
  }
}

// The MQTT output's pure pieces: the broker URL, the credentials file, topic names, the JSON of
// the state, alarm and discovery messages, the reconnect delays and what is kept for publishing.

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "battery_host/outputs/mqtt/broker_url.h"
#include "battery_host/outputs/mqtt/credentials_file.h"
#include "battery_host/outputs/mqtt/incoming_budget.h"
#include "battery_host/outputs/mqtt/latest_state.h"
#include "battery_host/outputs/mqtt/mqtt_output.h"
#include "battery_host/outputs/mqtt/payloads.h"
#include "battery_host/outputs/mqtt/topics.h"
#include "tests/mqtt/mqtt_test_support.h"

namespace {

using mqtt_test::ScratchDir;

void WriteFile(const std::string& path, const std::string& text, mode_t mode = 0600) {
  std::ofstream(path, std::ios::binary) << text;
  chmod(path.c_str(), mode);
}

// --- broker URL ----------------------------------------------------------------------------

struct GoodUrl {
  const char* text;
  bool tls;
  const char* host;
  int port;
};

TEST(BrokerUrl, AcceptsHostPortAndDefaults) {
  const GoodUrl cases[] = {
      {"mqtt://broker.local", false, "broker.local", 1883},
      {"mqtts://broker.local", true, "broker.local", 8883},
      {"mqtt://127.0.0.1:1884", false, "127.0.0.1", 1884},
      {"mqtt://127.0.0.1:1884/", false, "127.0.0.1", 1884},
      {"mqtts://[::1]:8884", true, "::1", 8884},
      {"mqtt://[fe80::1]", false, "fe80::1", 1883},
      {"mqtt://my_broker-2:1", false, "my_broker-2", 1},
      {"mqtts://h:65535", true, "h", 65535},
  };
  for (const GoodUrl& c : cases) {
    mqtt::BrokerUrl url;
    std::string error;
    ASSERT_TRUE(mqtt::ParseBrokerUrl(c.text, &url, &error)) << c.text << ": " << error;
    EXPECT_EQ(url.tls, c.tls) << c.text;
    EXPECT_EQ(url.host, c.host) << c.text;
    EXPECT_EQ(url.port, c.port) << c.text;
  }
}

TEST(BrokerUrl, RefusesWithOneLineNamingTheFault) {
  const std::string long_host = "mqtt://" + std::string(256, 'h');
  const std::pair<const char*, const char*> cases[] = {
      {"http://h", "the URL must start with mqtt:// or mqtts://"},
      {"MQTT://h", "the URL must start with mqtt:// or mqtts://"},
      {"h:1883", "the URL must start with mqtt:// or mqtts://"},
      {"mqtt://", "the URL names no host"},
      {"mqtt://:1883", "the URL names no host"},
      {long_host.c_str(), "the host name is longer than 255 characters"},
      {"mqtt://h:", "the port must be a number from 1 to 65535"},
      {"mqtt://h:0", "the port must be a number from 1 to 65535"},
      {"mqtt://h:65536", "the port must be a number from 1 to 65535"},
      {"mqtt://h:18a3", "the port must be a number from 1 to 65535"},
      {"mqtt://h:-1", "the port must be a number from 1 to 65535"},
      {"mqtt://user:pw@h",
       "no user or password in the URL: put them in the file named by "
       "--mqtt-credentials"},
      {"mqtt://h/battery", "the URL has a path, query or fragment; give only host and port"},
      {"mqtt://h?x=1", "the URL has a path, query or fragment; give only host and port"},
      {"mqtt://::1", "an IPv6 address must stand in brackets: mqtt://[::1]:1883"},
      {"mqtt://[::1", "the IPv6 address has no ']'"},
      {"mqtt://[::1]x", "unexpected text after the IPv6 address"},
      {"mqtt://[host]", "the IPv6 address in brackets is not valid"},
      {"mqtt://bro ker", "the host name has characters a host name cannot have"},
  };
  for (const auto& c : cases) {
    mqtt::BrokerUrl url;
    std::string error;
    EXPECT_FALSE(mqtt::ParseBrokerUrl(c.first, &url, &error)) << c.first;
    EXPECT_EQ(error, std::string("--mqtt '") + c.first + "': " + c.second);
  }
}

TEST(BrokerUrl, TextForMessages) {
  EXPECT_EQ(mqtt::BrokerText({false, "h", 1883}), "mqtt://h:1883");
  EXPECT_EQ(mqtt::BrokerText({true, "::1", 8883}), "mqtts://[::1]:8883");
}

// --- credentials file ----------------------------------------------------------------------

TEST(Credentials, ParsesKeyValueLines) {
  mqtt::Credentials c;
  std::string error;
  ASSERT_TRUE(mqtt::ParseCredentials(
      "f", "# north site\n\nusername=battery\r\npassword= s3cret=x \n", &c, &error))
      << error;
  EXPECT_EQ(c.username, "battery");
  EXPECT_TRUE(c.has_password);
  EXPECT_EQ(c.password, " s3cret=x ");  // exactly as written, blanks and '=' kept

  ASSERT_TRUE(mqtt::ParseCredentials("f", "username=u", &c, &error)) << error;
  EXPECT_EQ(c.username, "u");
  EXPECT_FALSE(c.has_password);
}

TEST(Credentials, RefusesMalformedText) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "credentials file f: no username=... line"},
      {"password=p\n", "credentials file f: no username=... line"},
      {"username=\n", "credentials file f: no username=... line"},
      {"username=u\nuser=v\n",
       "credentials file f line 2: unknown key 'user' (only username and password)"},
      {"username u\n", "credentials file f line 1: expected username=... or password=..."},
      {"username=u\nusername=v\n", "credentials file f line 2: username given twice"},
      {"username=u\npassword=a\npassword=b\n", "credentials file f line 3: password given twice"},
  };
  for (const auto& c : cases) {
    mqtt::Credentials out;
    std::string error;
    EXPECT_FALSE(mqtt::ParseCredentials("f", c.first, &out, &error)) << c.first;
    EXPECT_EQ(error, c.second);
  }
  mqtt::Credentials out;
  std::string error;
  EXPECT_FALSE(mqtt::ParseCredentials("f", std::string("#\nusername=u\0x\n", 15), &out, &error));
  EXPECT_EQ(error, "credentials file f line 2: contains a NUL byte");
}

TEST(Credentials, ReadsARegularFileAndWarnsWhenOthersMayReadIt) {
  ScratchDir dir;
  const std::string path = dir.File("creds");
  WriteFile(path, "username=u\npassword=p\n", 0600);
  mqtt::Credentials c;
  std::string warning = "x", error;
  ASSERT_TRUE(mqtt::ReadCredentialsFile(path, &c, &warning, &error)) << error;
  EXPECT_EQ(c.password, "p");
  EXPECT_EQ(warning, "");

  chmod(path.c_str(), 0644);
  ASSERT_TRUE(mqtt::ReadCredentialsFile(path, &c, &warning, &error)) << error;
  EXPECT_EQ(warning, "credentials file " + path + " can be read by other users; chmod 600 " + path);
}

TEST(Credentials, RefusesWhatIsNotASmallRegularFile) {
  ScratchDir dir;
  const std::string fifo = dir.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string big = dir.File("big");
  WriteFile(big, "username=u\npassword=" + std::string(4096, 'p') + "\n");
  const std::string exact = dir.File("exact");  // 4096 bytes: the largest accepted
  WriteFile(exact, "username=u\npassword=" + std::string(4096 - 21, 'p'));

  mqtt::Credentials c;
  std::string warning, error;
  EXPECT_FALSE(mqtt::ReadCredentialsFile(fifo, &c, &warning, &error));
  EXPECT_EQ(error, "credentials file " + fifo + " is a named pipe, not a regular file");
  EXPECT_FALSE(mqtt::ReadCredentialsFile(dir.File(""), &c, &warning, &error));
  EXPECT_EQ(error, "credentials file " + dir.File("") + " is a directory, not a regular file");
  EXPECT_FALSE(mqtt::ReadCredentialsFile(big, &c, &warning, &error));
  EXPECT_EQ(error, "credentials file " + big + " is too big (at most 4 KiB)");
  EXPECT_FALSE(mqtt::ReadCredentialsFile(dir.File("none"), &c, &warning, &error));
  EXPECT_EQ(error,
            "cannot read credentials file " + dir.File("none") + ": No such file or directory");
  EXPECT_TRUE(mqtt::ReadCredentialsFile(exact, &c, &warning, &error)) << error;
  EXPECT_EQ(c.password.size(), 4096u - 21u);
}

// --- topics --------------------------------------------------------------------------------

TEST(Topics, NamesUnderBothPrefixes) {
  const mqtt::Topics t("site/north", "homeassistant");
  EXPECT_EQ(t.Bridge(), "site/north/status");
  EXPECT_EQ(t.State(7), "site/north/7/state");
  EXPECT_EQ(t.Availability(7), "site/north/7/availability");
  EXPECT_EQ(t.AlarmEvents(7), "site/north/7/alarm");
  EXPECT_EQ(t.AlarmState(7, "battery_3_value"), "site/north/7/alarm/battery_3_value");
  EXPECT_EQ(t.NodeId(7), "site_north_7");
  EXPECT_EQ(t.SensorUniqueId(7, "temperature"), "site_north_7_temperature");
  EXPECT_EQ(t.AlarmUniqueId(7, "temperature"), "site_north_7_temperature_alarm");
  EXPECT_EQ(t.SensorConfig(7, "battery_0_value"),
            "homeassistant/sensor/site_north_7/battery_0_value/config");
  EXPECT_EQ(t.AlarmConfig(7, "battery_0_value"),
            "homeassistant/binary_sensor/site_north_7/battery_0_value_alarm/config");
  EXPECT_TRUE(t.discovery());
  EXPECT_FALSE(mqtt::Topics("p", "").discovery());
}

TEST(Topics, IdTextKeepsOnlyWhatHomeAssistantTakes) {
  EXPECT_EQ(mqtt::IdText("battery-host"), "battery-host");
  EXPECT_EQ(mqtt::IdText("a/b c.d+\xE7\x94\xB5"), "a_b_c_d____");
}

TEST(Topics, PrefixChecks) {
  const std::pair<const char*, const char*> refused[] = {
      {"", "the topic prefix is empty"},
      {"a/#", "a topic prefix cannot hold the wildcards '+' or '#'"},
      {"a/+/b", "a topic prefix cannot hold the wildcards '+' or '#'"},
      {"$SYS/x", "topics starting with '$' belong to the broker"},
      {"/a", "no empty topic level: no leading, trailing or double '/'"},
      {"a/", "no empty topic level: no leading, trailing or double '/'"},
      {"a//b", "no empty topic level: no leading, trailing or double '/'"},
      {"a\tb", "the topic prefix holds a control character"},
  };
  for (const auto& c : refused) {
    std::string error;
    EXPECT_FALSE(mqtt::CheckPrefix(c.first, "--mqtt-prefix", &error)) << c.first;
    EXPECT_EQ(error, std::string("--mqtt-prefix '") + c.first + "': " + c.second);
  }
  std::string error;
  EXPECT_TRUE(mqtt::CheckPrefix("site/north/battery-host", "--mqtt-prefix", &error));
}

// A site name is one more topic level after the prefix; the ids then carry it too.
TEST(Topics, SiteNameIsOneLevel) {
  const std::pair<std::string, const char*> refused[] = {
      {"a/b", "--mqtt-site 'a/b': a site name is one topic level: no '/', '+' or '#'"},
      {"a+", "--mqtt-site 'a+': a site name is one topic level: no '/', '+' or '#'"},
      {"$x", "--mqtt-site '$x': topics starting with '$' belong to the broker"},
      {"a\nb", "--mqtt-site: the site name holds a control character"},
      {std::string(65, 'n'), "--mqtt-site: a site name of 65 bytes; at most 64"},
  };
  for (const auto& c : refused) {
    std::string error;
    EXPECT_FALSE(mqtt::CheckSite(c.first, &error)) << c.first;
    EXPECT_EQ(error, c.second);
  }
  std::string error;
  EXPECT_TRUE(mqtt::CheckSite("north-2", &error));
  EXPECT_EQ(mqtt::SitePrefix("battery-host", ""), "battery-host");
  const mqtt::Topics t(mqtt::SitePrefix("battery-host", "north-2"), "homeassistant");
  EXPECT_EQ(t.State(1), "battery-host/north-2/1/state");
  EXPECT_EQ(t.SensorUniqueId(1, "temperature"), "battery-host_north-2_1_temperature");
}

// --- payloads ------------------------------------------------------------------------------

// A second group's string of three cells (numbered 21 to 23), its middle cell outside the
// window (stored 0.0), the group voltage the device's cell sum.
mqtt_test::RecordValues ThreeCells() {
  mqtt_test::RecordValues v;
  v.id = 7;
  v.cells[0] = 13.32f;  // 13.31999969482421875
  v.cells[1] = 0.0f;    // out of window
  v.cells[2] = 12.0f;
  v.cells[3] = 9.0f;         // beyond the string's 3 cells: not published
  v.group_voltage = 25.32f;  // 13.32f + 0.0f + 12.0f in single precision, bit for bit
  v.group_current = -12.5f;
  v.temperature = 25.3f;  // 25.299999237060546875
  v.stamp = mqtt_test::Stamp(12, 8, 14, 3, 59);
  return v;
}

outputs::StringRound Round(const mqtt_test::RecordValues& v, int cells) {
  return outputs::MakeStringRound(mqtt_test::Device(v.id, cells, 20),
                                  outputs::DecodeStringRecord(mqtt_test::BuildRecord(v).data()));
}

// Lowest 12.0 (cell 23), highest 13.32 (cell 21), spread 13.31999969 - 12 = 1.32 V; the cell out
// of window is null and listed, and counts in none of them.
TEST(StatePayload, ExactTextOutOfWindowNullAndShortestFloats) {
  EXPECT_EQ(mqtt::StatePayload(Round(ThreeCells(), 3)),
            "{\"cells\":[13.32,null,12.0],\"data_id\":7,\"group_current\":-12.5,"
            "\"group_voltage\":25.32,\"group_voltage_is_cell_sum\":true,\"highest_cell\":13.32,"
            "\"highest_cell_number\":21,\"lowest_cell\":12.0,\"lowest_cell_number\":23,"
            "\"out_of_window\":[22],\"spread_mv\":1320,\"temperature\":25.3,"
            "\"time\":\"2026-12-08 14:03:59\"}");
}

TEST(StatePayload, NonFiniteValuesNoReadingsAndMissingDateAreNull) {
  mqtt_test::RecordValues v = ThreeCells();
  v.cells[0] = std::numeric_limits<float>::quiet_NaN();
  v.group_voltage = std::numeric_limits<float>::infinity();
  v.group_current = -std::numeric_limits<float>::infinity();
  v.stamp = {};
  EXPECT_EQ(mqtt::StatePayload(Round(v, 2)),
            "{\"cells\":[null,null],\"data_id\":7,\"group_current\":null,"
            "\"group_voltage\":null,\"group_voltage_is_cell_sum\":false,\"highest_cell\":null,"
            "\"highest_cell_number\":null,\"lowest_cell\":null,\"lowest_cell_number\":null,"
            "\"out_of_window\":[21,22],\"spread_mv\":null,\"temperature\":25.3,\"time\":null}");
}

TEST(StatePayload, EveryValueReadsBackToTheSameFloat) {
  mqtt_test::RecordValues v;
  v.id = 3;
  // Values with no short decimal form: each needs all nine digits to come back.
  for (int i = 0; i < 32; ++i) v.cells[i] = std::nextafter(12.0f + 0.0137f * i, 20.0f);
  v.group_voltage = 1.0f / 3.0f * 800.0f;
  v.group_current = -0.1f;
  v.temperature = std::nextafter(-5.55f, 0.0f);
  bool ok = false;
  const Json::Value j = mqtt_test::ParseJson(mqtt::StatePayload(Round(v, 20)), &ok);
  ASSERT_TRUE(ok);
  ASSERT_EQ(j["cells"].size(), 20u);
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(static_cast<float>(j["cells"][i].asDouble()), v.cells[i]) << i;
  }
  EXPECT_EQ(static_cast<float>(j["group_voltage"].asDouble()), v.group_voltage);
  EXPECT_EQ(static_cast<float>(j["group_current"].asDouble()), v.group_current);
  EXPECT_EQ(static_cast<float>(j["temperature"].asDouble()), v.temperature);
}

TEST(AlarmPayload, ExactText) {
  rule_value rule;
  rule.key = "battery_3_value";
  rule.label =
      "\xE7\xAC\xAC"
      "4"
      "\xE8\x8A\x82\xE7\x94\xB5\xE6\xB1\xA0";  // 第4节电池
  rule.value = 11.9f;                          // 11.8999996185302734375
  rule.limit = 12.0f;
  const outputs::DeviceInfo d = mqtt_test::Device(1, 20);
  const std::string head =
      "{\"data_id\":1,\"key\":\"battery_3_value\",\"label\":\"" + rule.label + "\",\"limit\":12.0,";
  EXPECT_EQ(mqtt::AlarmPayload(d, rule, true),
            head + "\"state\":\"raised\",\"text\":\"" + rule.label +
                " (battery_3_value) 11.9 < 12\",\"value\":11.9}");
  // A cell stored as 0.0 is out of the window, not 0 V; any other value keeps its number.
  rule.value = 0.0f;
  EXPECT_EQ(mqtt::AlarmPayload(d, rule, false), head + "\"state\":\"cleared\",\"text\":\"" +
                                                    rule.label +
                                                    " (battery_3_value) outside 9.0\xE2\x80\x93"
                                                    "15.0 V\",\"value\":null,"
                                                    "\"window\":\"9.0\xE2\x80\x93"
                                                    "15.0 V\"}");
  rule.key = "group_voltage";
  rule.label = "G";
  rule.limit = 1.0f;
  EXPECT_EQ(mqtt::AlarmPayload(d, rule, true),
            "{\"data_id\":1,\"key\":\"group_voltage\",\"label\":\"G\",\"limit\":1.0,"
            "\"state\":\"raised\",\"text\":\"G (group_voltage) 0 < 1\",\"value\":0.0}");
}

const mqtt::HostInfo kHost{"0.1.0"};

// The string's device carries the site's name, the plug-in's type, battery-host's version and
// the host as the bridge it is reached through.
TEST(Discovery, GroupVoltageSensorExactText) {
  const mqtt::Topics t("battery-host", "homeassistant");
  outputs::DeviceInfo d = mqtt_test::Device(1, 20);
  d.name = "string A";
  EXPECT_EQ(mqtt::JsonText(mqtt::SensorConfig(d, t, "group_voltage", kHost)),
            "{\"availability\":[{\"topic\":\"battery-host/status\"},"
            "{\"topic\":\"battery-host/1/availability\"}],\"availability_mode\":\"all\","
            "\"device\":{\"identifiers\":[\"battery-host_1\"],\"model\":\"ondrell_20\","
            "\"name\":\"string A\",\"sw_version\":\"0.1.0\",\"via_device\":\"battery-host\"},"
            "\"device_class\":\"voltage\",\"expire_after\":61,"
            "\"json_attributes_template\":\"{{ {'cell_sum': value_json.group_voltage_is_cell_sum} "
            "| tojson }}\",\"json_attributes_topic\":\"battery-host/1/state\","
            "\"name\":\"Group voltage\",\"origin\":{\"name\":\"battery-host\",\"sw_version\":"
            "\"0.1.0\"},\"state_class\":\"measurement\",\"state_topic\":\"battery-host/1/state\","
            "\"suggested_display_precision\":2,\"unique_id\":\"battery-host_1_group_voltage\","
            "\"unit_of_measurement\":\"V\",\"value_template\":\"{{ value_json.group_voltage }}\"}");
}

TEST(Discovery, KindsUnitsAndCellNumbering) {
  const mqtt::Topics t("p", "ha");
  const outputs::DeviceInfo d = mqtt_test::Device(2, 20, 20);  // a second group: 21..40
  struct Row {
    const char* key;
    const char* name;
    const char* unit;
    const char* field;
    bool alarm;
  };
  const Row rows[] = {
      {"group_current", "Current", "A", "group_current", true},
      {"temperature", "Temperature",
       "\xC2\xB0"
       "C",
       "temperature", true},
      {"battery_0_value", "Cell 21", "V", "cells[0]", true},
      {"battery_19_value", "Cell 40", "V", "cells[19]", true},
      {"lowest_cell", "Lowest cell", "V", "lowest_cell", false},
      {"highest_cell", "Highest cell", "V", "highest_cell", false},
      {"cell_spread", "Cell spread", "mV", "spread_mv", false},
  };
  for (const Row& r : rows) {
    const Json::Value s = mqtt::SensorConfig(d, t, r.key, kHost);
    EXPECT_EQ(s["name"].asString(), r.name);
    EXPECT_EQ(s["unit_of_measurement"].asString(), r.unit);
    EXPECT_EQ(s["value_template"].asString(), std::string("{{ value_json.") + r.field + " }}");
    EXPECT_EQ(s["unique_id"].asString(), std::string("p_2_") + r.key);
    if (!r.alarm) continue;
    const Json::Value a = mqtt::AlarmConfig(d, t, r.key, kHost);
    EXPECT_EQ(a["name"].asString(), std::string(r.name) + " alarm");
    EXPECT_EQ(a["device_class"].asString(), "problem");
    EXPECT_EQ(a["state_topic"].asString(), std::string("p/2/alarm/") + r.key);
    EXPECT_EQ(a["unique_id"].asString(), std::string("p_2_") + r.key + "_alarm");
    EXPECT_EQ(a["device"], s["device"]);
  }
  const Json::Value w = mqtt::AlarmConfig(d, t, "out_of_window", kHost);
  EXPECT_EQ(w["name"].asString(), "Readings out of window");
  EXPECT_EQ(w["device_class"].asString(), "problem");
  EXPECT_EQ(w["state_topic"].asString(), "p/2/state");
  EXPECT_EQ(w["value_template"].asString(), "{{ 'ON' if value_json.out_of_window else 'OFF' }}");
  EXPECT_EQ(w["json_attributes_template"].asString(),
            "{{ {'cells': value_json.out_of_window} | tojson }}");
}

TEST(Discovery, EveryEntityOfAStringAndTheHostsConnection) {
  const mqtt::Topics t(mqtt::SitePrefix("p", "north"), "ha");
  const std::vector<mqtt::Message> m = mqtt::DiscoveryMessages(mqtt_test::Device(4, 20), t, kHost);
  ASSERT_EQ(m.size(), 50u);  // 2 x (3 string values + 20 cells), 3 derived, out of window
  EXPECT_EQ(m[0].topic, "ha/sensor/p_north_4/group_voltage/config");
  EXPECT_EQ(m[1].topic, "ha/binary_sensor/p_north_4/group_voltage_alarm/config");
  EXPECT_EQ(m[45].topic, "ha/binary_sensor/p_north_4/battery_19_value_alarm/config");
  EXPECT_EQ(m[48].topic, "ha/sensor/p_north_4/cell_spread/config");
  EXPECT_EQ(m[49].topic, "ha/binary_sensor/p_north_4/out_of_window/config");
  for (const mqtt::Message& msg : m) EXPECT_TRUE(msg.retain) << msg.topic;
  EXPECT_TRUE(
      mqtt::DiscoveryMessages(mqtt_test::Device(4, 20), mqtt::Topics("p", ""), kHost).empty());
  const mqtt::Message bridge = mqtt::BridgeDiscovery(t, kHost);
  EXPECT_EQ(bridge.topic, "ha/binary_sensor/p_north/connectivity/config");
  EXPECT_EQ(bridge.payload,
            "{\"device\":{\"identifiers\":[\"p_north\"],\"model\":\"battery-host\","
            "\"name\":\"p/north\",\"sw_version\":\"0.1.0\"},\"device_class\":\"connectivity\","
            "\"entity_category\":\"diagnostic\",\"name\":\"Connection\",\"origin\":{\"name\":"
            "\"battery-host\",\"sw_version\":\"0.1.0\"},\"payload_off\":\"offline\","
            "\"payload_on\":\"online\",\"state_topic\":\"p/north/status\","
            "\"unique_id\":\"p_north_connectivity\"}");
}

// --- reconnect delays ----------------------------------------------------------------------

// What a broker may send a client that only publishes: 64 KiB of slack, then exactly the
// acknowledgements owed (4 bytes per QoS 1 message on plain TCP, a TLS record's 64 per packet),
// a PINGRESP per keepalive, and no credit saved beyond 128 KiB.
TEST(IncomingBudget, OwedBytesOnly) {
  using B = mqtt::IncomingBudget;
  const B::Clock::time_point t0{};
  std::string error;
  B plain(false, 1, 30, t0);
  for (int i = 0; i < 3; ++i) plain.Sent();
  EXPECT_TRUE(plain.Check(65536 + 12, t0, &error));
  EXPECT_FALSE(plain.Check(65536 + 13, t0, &error));
  EXPECT_EQ(error,
            "the broker sent 1 bytes more than a client that only publishes is owed (a "
            "broken or hostile broker)");
  B pinged(false, 1, 30, t0);
  EXPECT_TRUE(pinged.Check(65536 + 2, t0 + std::chrono::seconds(30), &error));
  EXPECT_FALSE(pinged.Check(65536 + 3, t0 + std::chrono::seconds(59), &error));
  B tls(true, 1, 30, t0);
  tls.Sent();
  EXPECT_TRUE(tls.Check(65536 + 64, t0, &error));
  EXPECT_FALSE(tls.Check(65536 + 65, t0, &error));
  B idle(false, 1, 30, t0);
  for (int i = 0; i < 100000; ++i) idle.Sent();  // never acknowledged
  EXPECT_TRUE(idle.Check(0, t0, &error));
  EXPECT_TRUE(idle.Check(131072, t0, &error));
  EXPECT_FALSE(idle.Check(131073, t0, &error));
}

TEST(RetryDelay, DoublesUpToTheLimit) {
  const std::pair<int, int> rows[] = {{0, 1000},  {1, 2000},  {2, 4000},    {5, 32000},
                                      {6, 60000}, {7, 60000}, {1000, 60000}};
  for (const auto& r : rows) EXPECT_EQ(mqtt::RetryDelayMs(r.first, 1000, 60000), r.second);
  EXPECT_EQ(mqtt::RetryDelayMs(3, 100, 500), 500);
}

// --- what is kept for publishing -----------------------------------------------------------

TEST(LatestState, KeepsOnlyTheLatestRoundPerDevice) {
  mqtt::LatestState state({mqtt_test::Device(1, 3), mqtt_test::Device(2, 3)});
  mqtt_test::RecordValues v = ThreeCells();
  v.id = 1;
  for (int round = 0; round < 5; ++round) {
    v.cells[0] = 13.0f + static_cast<float>(round);
    EXPECT_TRUE(state.Take(mqtt_test::History(v)));
  }
  mqtt::LatestState::Changes c = state.TakeChanges();
  ASSERT_EQ(c.devices.size(), 1u);
  EXPECT_EQ(c.devices[0].data_id, 1u);
  ASSERT_TRUE(c.devices[0].record_changed);
  EXPECT_EQ(outputs::DecodeStringRecord(c.devices[0].record.data()).cells[0], 17.0f);
  EXPECT_TRUE(c.devices[0].availability_changed);  // a completed round: the module answers
  EXPECT_TRUE(c.devices[0].available);
  EXPECT_TRUE(state.TakeChanges().devices.empty());

  // After a reconnect everything is published again, alarm states of every key included.
  c = state.TakeAll();
  ASSERT_EQ(c.devices.size(), 2u);
  EXPECT_TRUE(c.devices[0].record_changed);
  EXPECT_FALSE(c.devices[1].record_changed);  // no round yet
  EXPECT_FALSE(c.devices[1].available);
  EXPECT_EQ(c.devices[1].alarms.size(), 6u);
}

// A module is "online" only once it has answered: silent turns before the first completed round
// (not yet stalled) leave it offline; then the turns decide.
TEST(LatestState, AvailabilityOnlyAfterAnAnswerThenFollowsTheTurns) {
  mqtt::LatestState state({mqtt_test::Device(1, 3)});
  EXPECT_FALSE(state.Take(mqtt_test::TurnEnd(1, false)));
  EXPECT_TRUE(state.TakeChanges().devices.empty());
  EXPECT_TRUE(state.Take(mqtt_test::History(mqtt_test::RecordValues{})));
  EXPECT_TRUE(state.TakeChanges().devices[0].available);
  EXPECT_FALSE(state.Take(mqtt_test::TurnEnd(1, false)));  // no change, nothing to wake for
  EXPECT_TRUE(state.Take(mqtt_test::TurnEnd(1, true)));
  outputs::HostEvent port_down = mqtt_test::TurnEnd(1, false);
  port_down.status.port_up = false;
  EXPECT_FALSE(state.Take(port_down));  // still not available
  const mqtt::LatestState::Changes c = state.TakeChanges();
  ASSERT_EQ(c.devices.size(), 1u);
  EXPECT_FALSE(c.devices[0].available);
  EXPECT_TRUE(state.Take(mqtt_test::TurnEnd(1, false)));  // answering again
  // A device that completed a round before this output saw it counts as answered too.
  mqtt::LatestState late({mqtt_test::Device(2, 3)});
  outputs::HostEvent turn = mqtt_test::TurnEnd(2, false);
  turn.status.rounds_completed = 1;
  EXPECT_TRUE(late.Take(turn));
}

TEST(LatestState, AlarmMessagesOnlyWhileOnlineAndBounded) {
  mqtt::LatestState state({mqtt_test::Device(1, 20)});
  EXPECT_TRUE(state.Take(mqtt_test::Alarm(1, "battery_3_value", "x", 11.9f, 12.0f, true)));
  mqtt::LatestState::Changes c = state.TakeChanges();
  EXPECT_TRUE(c.events.empty());              // offline: no message kept ...
  ASSERT_EQ(c.devices[0].alarms.size(), 1u);  // ... but the key's state is
  EXPECT_EQ((*c.devices[0].keys)[c.devices[0].alarms[0].first], "battery_3_value");
  EXPECT_TRUE(c.devices[0].alarms[0].second);

  state.set_online(true);
  for (std::size_t i = 0; i < mqtt::LatestState::kMaxEvents + 10; ++i) {
    state.Take(mqtt_test::Alarm(1, "temperature", "t", 41.0f, 40.0f, i % 2 == 0));
  }
  c = state.TakeChanges();
  EXPECT_EQ(c.events.size(), mqtt::LatestState::kMaxEvents);
  EXPECT_EQ(c.events_dropped, 10u);
  EXPECT_TRUE(c.events[0].raised);
  EXPECT_FALSE(c.events[1].raised);
  ASSERT_EQ(c.devices[0].alarms.size(), 1u);
  EXPECT_EQ((*c.devices[0].keys)[c.devices[0].alarms[0].first], "temperature");
  EXPECT_FALSE(c.devices[0].alarms[0].second);
}

TEST(LatestState, IgnoresOtherDevicesAndOtherEvents) {
  mqtt::LatestState state({mqtt_test::Device(1, 3)});
  mqtt_test::RecordValues v = ThreeCells();
  v.id = 9;
  EXPECT_FALSE(state.Take(mqtt_test::History(v)));
  outputs::HostEvent rx;
  rx.kind = outputs::EventKind::kRx;
  rx.data_id = 1;
  EXPECT_FALSE(state.Take(rx));
  outputs::HostEvent short_record = mqtt_test::History(ThreeCells());
  short_record.data_id = 1;
  short_record.bytes.resize(151);
  EXPECT_FALSE(state.Take(short_record));
  EXPECT_TRUE(state.TakeChanges().devices.empty());
}

// --- the factory's refusals ----------------------------------------------------------------

TEST(MakeMqttOutput, RefusesOptionsThatCannotWork) {
  ScratchDir dir;
  const std::string fifo = dir.File("ca.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  struct Row {
    mqtt::MqttOptions options;
    std::string error;
  };
  std::vector<Row> rows;
  auto with = [](auto change) {
    mqtt::MqttOptions o;
    o.url = "mqtt://127.0.0.1:1";
    change(o);
    return o;
  };
  rows.push_back({with([](mqtt::MqttOptions& o) { o.url = "tcp://h"; }),
                  "--mqtt 'tcp://h': the URL must start with mqtt:// or mqtts://"});
  rows.push_back({with([](mqtt::MqttOptions& o) { o.prefix = "a/#"; }),
                  "--mqtt-prefix 'a/#': a topic prefix cannot hold the wildcards '+' or '#'"});
  rows.push_back({with([](mqtt::MqttOptions& o) { o.discovery_prefix = "/ha"; }),
                  "--mqtt-discovery-prefix '/ha': no empty topic level: no leading, trailing "
                  "or double '/'"});
  rows.push_back(
      {with([](mqtt::MqttOptions& o) { o.qos = 3; }), "mqtt: QoS 3 does not exist; use 0, 1 or 2"});
  rows.push_back({with([](mqtt::MqttOptions& o) { o.ca_file = "/etc/hostname"; }),
                  "--mqtt-ca is for mqtts:// brokers; --mqtt mqtt://127.0.0.1:1 is plain TCP"});
  rows.push_back({with([&](mqtt::MqttOptions& o) {
                    o.url = "mqtts://h";
                    o.ca_file = fifo;
                  }),
                  "--mqtt-ca " + fifo + " is a named pipe, not a regular file"});
  rows.push_back({with([&](mqtt::MqttOptions& o) {
                    o.url = "mqtts://h";
                    o.ca_file = "/etc/hostname";  // a file, but no certificate in it
                  }),
                  "--mqtt-ca /etc/hostname: no PEM certificate in it (-----BEGIN "
                  "CERTIFICATE-----)"});
  rows.push_back(
      {with([&](mqtt::MqttOptions& o) { o.credentials_file = dir.File("none"); }),
       "cannot read credentials file " + dir.File("none") + ": No such file or directory"});
  for (const Row& r : rows) {
    std::string error;
    EXPECT_EQ(mqtt::MakeMqttOutput(r.options, &error), nullptr) << r.error;
    EXPECT_EQ(error, r.error);
  }
}

}  // namespace

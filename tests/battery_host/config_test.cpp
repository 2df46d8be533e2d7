// What a person gives battery-host, and how each mistake is refused: files that are not what
// they should be, JSON with no end of nesting, values out of range, site files that contradict
// themselves, command lines. Every refusal is one line naming the file and, where it can, the
// line and column.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "battery_host/app/device_setup.h"
#include "battery_host/config/device_peers.h"
#include "battery_host/config/host_thresholds.h"
#include "battery_host/support/input_file.h"
#include "battery_host/config/json_file.h"
#include "battery_host/config/options.h"
#include "battery_host/config/signal_names.h"
#include "battery_host/config/site.h"

namespace {

class ScratchDir {
 public:
  ScratchDir() {
    char tmpl[] = "/tmp/battery_host_config_XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~ScratchDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// ---- Files that are not regular files, or too big ---------------------------------------------

TEST(InputFile, WhatIsNotARegularFileIsRefusedAtOnceAndNamed) {
  ScratchDir dir;
  const std::string fifo = dir.File("settings.json");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A writer that holds the pipe open and never writes (O_RDWR opens a FIFO without waiting):
  // opening it for reading must not wait, nor reading hang.
  const int writer = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(writer, 0);
  struct Case {
    std::string path;
    std::string error;
  };
  const Case cases[] = {
      {fifo, "settings " + fifo + " is a named pipe, not a regular file"},
      {dir.path(), "settings " + dir.path() + " is a directory, not a regular file"},
      {"/dev/zero", "settings /dev/zero is a character device, not a regular file"},
      {dir.File("none.json"),
       "cannot read settings " + dir.File("none.json") + ": No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string content = "untouched";
    std::string error;
    const support::FileRead r =
        support::ReadRegularFile(c.path, "settings", 1 << 20, &content, &error);
    EXPECT_NE(r, support::FileRead::kOk);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(content, "untouched");
  }
  close(writer);
}

TEST(InputFile, AHugeFileIsRefusedWithoutBeingRead) {
  ScratchDir dir;
  const std::string path = dir.File("huge.json");
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 8ll << 30), 0);  // 8 GiB, sparse: nothing on the disk
  close(fd);
  std::string content;
  std::string error;
  EXPECT_EQ(support::ReadRegularFile(path, "settings", 4u << 20, &content, &error),
            support::FileRead::kRefused);
  EXPECT_EQ(error, "settings " + path + " is too big (at most 4 MiB)");
  EXPECT_TRUE(content.empty());

  // Exactly at the limit is fine.
  WriteText(path, std::string(1024, ' '));
  EXPECT_EQ(support::ReadRegularFile(path, "settings", 1024, &content, &error),
            support::FileRead::kOk);
  EXPECT_EQ(content.size(), 1024u);
}

// ---- JSON with limits ---------------------------------------------------------------------------

TEST(JsonFile, NestingBeyondTheLimitIsRefusedWithItsPlace) {
  for (const char* open_bracket : {"[", "{\"a\":"}) {
    SCOPED_TRACE(open_bracket);
    std::string text = "{\"x\":\n";
    for (int i = 0; i < 100000; ++i) text += open_bracket;
    Json::Value v;
    std::string error;
    EXPECT_FALSE(config::ParseJsonObject(text, &v, &error));
    // Level 1 is the root object on line 1; the 64 levels allowed end at column 63 of line 2.
    const std::size_t step = std::string(open_bracket).size();
    EXPECT_EQ(error,
              "Line 2, Column " + std::to_string(63 * step + 1) + ": nested deeper than 64 levels");
  }
  // Brackets inside strings and comments are not nesting.
  std::string text =
      "{\"x\": \"" + std::string(1000, '[') + "\" /* " + std::string(1000, '{') + " */}";
  Json::Value v;
  std::string error;
  EXPECT_TRUE(config::ParseJsonObject(text, &v, &error)) << error;
}

TEST(JsonFile, SyntaxAndShapeErrorsNameTheirLineAndColumn) {
  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {"{\n  \"appSetting\": {\n    \"b_mode\": 3\n    \"dir\": 1\n  }\n}\n",
       "Line 4, Column 5: Missing ',' or '}' in object declaration"},
      {"{\"a\": 1}\n{\"b\": 2}\n", "Line 2, Column 1: Extra non-whitespace after JSON value."},
      {"{\"a\": 1, \"a\": 2}", "Line 1, Column 10: Duplicate key: 'a'"},
      {"[1, 2]", "the file must hold one JSON object"},
      {"12", "Line 1, Column 1: A valid JSON document must be either an array or an object value."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Json::Value v;
    std::string error;
    EXPECT_FALSE(config::ParseJsonObject(c.text, &v, &error));
    EXPECT_EQ(error, c.error);
  }
}

TEST(JsonFile, ReadObjectFileNamesTheFile) {
  ScratchDir dir;
  WriteText(dir.File("bad.json"), "{\n  \"a\": tru\n}");
  config::JsonDocument doc;
  std::string error;
  EXPECT_EQ(config::ReadJsonObjectFile(dir.File("bad.json"), "settings", &doc, &error),
            support::FileRead::kRefused);
  EXPECT_EQ(error.rfind("invalid settings " + dir.File("bad.json") + ": Line 2, Column 8: ", 0), 0u)
      << error;
}

// ---- Host thresholds --------------------------------------------------------------------------

config::JsonDocument Doc(const std::string& text) {
  config::JsonDocument doc;
  doc.what = "settings";
  doc.path = "s.json";
  doc.text = text;
  std::string error;
  EXPECT_TRUE(config::ParseJsonObject(text, &doc.root, &error)) << error;
  return doc;
}

TEST(HostThresholds, CellDefaultCoversEveryCellWithoutAnEntryOfItsOwn) {
  const config::JsonDocument doc = Doc(R"({"hostThresholds": {
      "*cells*": {"low": 12.0, "high": 14.4, "delay": 3},
      "battery_2_value": {"low": 12.5, "level": 2},
      "temperature": {"high": 40}}})");
  std::map<std::string, config::HostLimit> limits;
  std::string error;
  ASSERT_TRUE(config::ParseHostThresholds(doc.root["hostThresholds"], doc, 3, &limits, &error))
      << error;
  ASSERT_EQ(limits.size(), 4u);
  const config::HostLimit& cell0 = limits.at("battery_0_value");
  EXPECT_TRUE(cell0.band.has_low && cell0.band.has_high);
  EXPECT_EQ(cell0.band.low, 12.0f);
  EXPECT_EQ(cell0.band.high, 14.4f);
  EXPECT_EQ(cell0.level, 1);
  EXPECT_EQ(cell0.band.delay, 3);
  EXPECT_EQ(limits.at("battery_2_value").band.delay, 1);  // its own entry: at once
  const config::HostLimit& cell2 = limits.at("battery_2_value");
  EXPECT_EQ(cell2.band.low, 12.5f);
  EXPECT_FALSE(cell2.band.has_high);
  EXPECT_EQ(cell2.level, 2);
  EXPECT_EQ(limits.at("temperature").band.high, 40.0f);
  EXPECT_EQ(limits.count("battery_3_value"), 0u);
}

TEST(HostThresholds, ValuesOutOfRangeAreRefusedWhereTheyStand) {
  struct Case {
    const char* entry;
    const char* error;
  };
  // The entry stands at column 36 of the one line: {"hostThresholds": {"temperature": ...
  const Case cases[] = {
      {R"({"level": 2147483648.0})",
       "Line 1, Column 46: hostThresholds.temperature.level must be a whole number 1 to "
       "2147483647"},
      {R"({"level": 3000000000})",
       "Line 1, Column 46: hostThresholds.temperature.level must be a whole number 1 to "
       "2147483647"},
      {R"({"level": 18446744073709551615})",
       "Line 1, Column 46: hostThresholds.temperature.level must be a whole number 1 to "
       "2147483647"},
      {R"({"level": 0})",
       "Line 1, Column 46: hostThresholds.temperature.level must be a whole number 1 to "
       "2147483647"},
      {R"({"level": 1.5})",
       "Line 1, Column 46: hostThresholds.temperature.level must be a whole number 1 to "
       "2147483647"},
      {R"({"delay": 0})",
       "Line 1, Column 46: hostThresholds.temperature.delay must be a whole number 1 to "
       "2147483647"},
      {R"({"high": "40"})",
       "Line 1, Column 45: hostThresholds.temperature.high must be a number (single-precision "
       "range)"},
      {R"({"high": 1e39})",
       "Line 1, Column 45: hostThresholds.temperature.high must be a number (single-precision "
       "range)"},
      {R"({"hihg": 40})",
       "Line 1, Column 45: hostThresholds.temperature: unknown key \"hihg\" (known: low, high, "
       "level, delay)"},
      {R"(40)", "Line 1, Column 36: hostThresholds.temperature must be an object"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entry);
    const config::JsonDocument doc =
        Doc(std::string(R"({"hostThresholds": {"temperature": )") + c.entry + "}}");
    std::map<std::string, config::HostLimit> limits;
    std::string error;
    EXPECT_FALSE(config::ParseHostThresholds(doc.root["hostThresholds"], doc, 20, &limits, &error));
    EXPECT_EQ(error, std::string("invalid settings s.json: ") + c.error);
  }
}

// ---- Peers, read the way the device reads its settings ----------------------------------------

// The names a site's thresholds and the MQTT output use for a string's values.
TEST(SignalNames, InTheDevicesOrder) {
  EXPECT_EQ(config::SignalNames(2),
            (std::vector<std::string>{"group_voltage", "group_current", "temperature",
                                      "battery_0_value", "battery_1_value"}));
  EXPECT_EQ(config::SignalNames(20).back(), "battery_19_value");
}

TEST(DevicePeers, IdsAndLabelsAreReadAsTheDeviceReadsThem) {
  const config::JsonDocument doc = Doc(R"({"appSetting": {
      "group_voltage": ["5001", 5002, 5001, "-1", [7]],
      "r_data_id": "12abc", "r_current_field": "group_current",
      "group_index": 2, "amount": 20}})");
  const config::DevicePeers p = config::ReadDevicePeers(doc.root);
  // atol of "-1" stored as unsigned; the array element the device cannot read is skipped here.
  EXPECT_EQ(p.group_voltage, (std::vector<unsigned int>{5001, 5002, 4294967295u}));
  EXPECT_EQ(p.current_peer, 12u);
  EXPECT_EQ(p.current_field, "group_current");
  EXPECT_EQ(p.battery_start, 17);  // the second group's labels start at 18

  // With the sensor formula the peer's current is not used; "battery_start" overrides the group.
  const config::DevicePeers q =
      config::ReadDevicePeers(Doc(R"({"appSetting": {"current_ratio": "1.9",
      "r_data_id": 3, "r_current_field": "x", "group_index": 2, "amount": 1,
      "battery_start": 20}})")
                                  .root);
  EXPECT_EQ(q.current_peer, 0u);
  EXPECT_EQ(q.battery_start, 20);
}

TEST(DeviceSetup, TheValueTheDeviceCannotReadIsNamed) {
  struct Case {
    const char* settings;
    const char* name;
  };
  const Case cases[] = {
      {R"({"appSetting": {"version": [2]}})", "appSetting.version"},
      {R"({"appSetting": {"dir": 1, "t31": {}, "version": [2]}})", "appSetting.version"},
      {R"({"appSetting": {"group_voltage": [1, [2]]}})", "appSetting.group_voltage[1]"},
      {R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"temperature": {"ID": [1]}}})",
       "thresholdSetting.temperature.ID"},
      {R"({"appSetting": {"b_mode": [3], "version": [2]}})", "appSetting.b_mode"},
      {R"({"appSetting": {"b_mode": "3"},
           "thresholdSetting": {"t": {"SignalName": ["cell 1"], "ID": [1]}}})",
       "thresholdSetting.t.SignalName"},
      // Outside mode 3 the device does not read "thresholdSetting" at all.
      {R"({"appSetting": {"t0": []}, "thresholdSetting": {"temperature": {"ID": [1]}}})",
       "appSetting.t0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings);
    std::string name;
    EXPECT_NE(app::FindUnreadableSetting(Doc(c.settings).root, &name), nullptr);
    EXPECT_EQ(name, c.name);
  }
  std::string name;
  EXPECT_EQ(app::FindUnreadableSetting(Doc(R"({"appSetting": {"version": 2}})").root, &name),
            nullptr);
}

// ---- Site files ---------------------------------------------------------------------------------

// Three devices on one line (the second adds the first's group voltage, the third takes its
// current), one more on a second line; the site's name on a broker.
std::string GoodSite() {
  return R"({"lines": [
  {"port": "sim", "interval_ms": 500, "reply_timeout_ms": 80, "devices": [
    {"data_id": 1, "address": 129, "settings": {"appSetting": {"current_ratio": 1}}},
    {"data_id": 2, "address": 130, "name": "second half",
     "settings": {"appSetting": {"group_voltage": [1], "battery_start": 20}}},
    {"data_id": 3, "address": 131, "cache": "three.cache",
     "settings": {"appSetting": {"r_data_id": 1, "r_current_field": "group_current"}},
     "sim": {"seed": 9, "silent": true, "faults": 0.1}}]},
  {"port": "/dev/ttyUSB0", "devices": [
    {"data_id": 4, "address": 129, "settings": "four.json"}]}], "mqtt_site": "north"})";
}

TEST(SiteFile, AGoodSiteGivesEveryLineAndDevice) {
  ScratchDir dir;
  WriteText(dir.File("site.json"), GoodSite());
  WriteText(dir.File("four.json"),
            R"({"appSetting": {}, "hostThresholds": {"temperature": {"high": 40}}})");
  config::Site site;
  std::string error;
  ASSERT_TRUE(config::LoadSiteFile(dir.File("site.json"), &site, &error)) << error;
  ASSERT_EQ(site.lines.size(), 2u);
  const config::LineConfig& a = site.lines[0];
  EXPECT_TRUE(a.simulated());
  EXPECT_EQ(a.interval_ms, 500u);
  EXPECT_EQ(a.reply_timeout_ms, 80u);
  ASSERT_EQ(a.devices.size(), 3u);
  EXPECT_EQ(a.devices[1].peers.group_voltage, (std::vector<unsigned int>{1}));
  EXPECT_EQ(a.devices[1].peers.battery_start, 20);
  EXPECT_EQ(a.devices[1].Label(), "second half");
  EXPECT_EQ(a.devices[0].Label(), "string 1");
  EXPECT_EQ(a.devices[2].peers.current_peer, 1u);
  EXPECT_EQ(a.devices[2].cache, dir.File("three.cache"));
  EXPECT_EQ(a.devices[2].sim.seed, 9u);
  EXPECT_TRUE(a.devices[2].sim.silent);
  EXPECT_EQ(a.devices[2].sim.faults, 0.1);
  EXPECT_EQ(a.devices[2].BusAddress(), 0x03);
  const config::LineConfig& b = site.lines[1];
  EXPECT_EQ(b.port, "/dev/ttyUSB0");
  EXPECT_EQ(b.interval_ms, 1000u);
  EXPECT_EQ(b.reply_timeout_ms, 100u);
  EXPECT_EQ(b.devices[0].settings_source, "settings " + dir.File("four.json"));
  EXPECT_EQ(b.devices[0].limits.at("temperature").band.high, 40.0f);
  EXPECT_EQ(site.mqtt_site, "north");
}

TEST(SiteFile, EveryContradictionIsRefusedWithOneLine) {
  struct Case {
    const char* name;
    std::string from;  // text of GoodSite() to replace
    std::string to;
    std::string error;        // after "invalid site file <path>: "
    std::string four = "{}";  // four.json
  };
  const Case cases[] = {
      {"unknown key of a device", "\"name\": \"second half\"", "\"nmae\": \"second half\"",
       "Line 4, Column 44: lines[0].devices[1]: unknown key \"nmae\" (known: data_id, address, "
       "settings, hostThresholds, cache, name, sim)"},
      {"unknown key of a line", "\"interval_ms\": 500", "\"interval\": 500",
       "Line 2, Column 31: lines[0]: unknown key \"interval\" (known: port, interval_ms, "
       "reply_timeout_ms, guard_ms, devices, sim)"},
      {"unknown key of a module", "\"silent\": true", "\"silence\": true",
       "Line 8, Column 36: lines[0].devices[2].sim: unknown key \"silence\" (known: seed, "
       "faults, discharge, silent, weak_cell, weak_capacity, cells)"},
      {"duplicate data id", "\"data_id\": 4", "\"data_id\": 2",
       "data id 2 is given to two devices"},
      {"one address twice on a line", "\"address\": 131", "\"address\": 129",
       "devices 1 and 3 both have address 129 on lines[0] (sim)"},
      {"one port on two lines", "{\"port\": \"/dev/ttyUSB0\", \"devices\": [",
       "{\"port\": \"/dev/../dev/null\", \"devices\": [{\"data_id\": 5, \"address\": 129, "
       "\"settings\": {}}]}, {\"port\": \"/dev/null\", \"devices\": [",
       "lines[1] and lines[2] both use port /dev/null; the devices of one port belong on one "
       "line"},
      {"peer that names no device", "\"group_voltage\": [1]", "\"group_voltage\": [1, 7]",
       "device 2 takes \"group_voltage\" from data id 7, which no device of the site has (site "
       "file SITE)"},
      {"current peer that names no device", "\"r_data_id\": 1", "\"r_data_id\": 9",
       "device 3 takes \"r_data_id\" from data id 9, which no device of the site has (site file "
       "SITE)"},
      {"a device its own peer", "\"group_voltage\": [1]", "\"group_voltage\": [2]",
       "device 2 names itself in \"group_voltage\" of site file SITE"},
      {"address out of range", "\"address\": 130", "\"address\": -1",
       "Line 4, Column 31: lines[0].devices[1].address must be a whole number 0 to 255"},
      {"address too big", "\"address\": 130", "\"address\": 5000000000",
       "Line 4, Column 31: lines[0].devices[1].address must be a whole number 0 to 255"},
      {"data id beyond 32 bits", "\"data_id\": 4", "\"data_id\": 18446744073709551615",
       "Line 10, Column 17: lines[1].devices[0].data_id must be a whole number 0 to 4294967295"},
      {"period too short", "\"interval_ms\": 500", "\"interval_ms\": 5",
       "Line 2, Column 34: lines[0].interval_ms must be a whole number 10 to 3600000"},
      {"rate beyond 1", "\"faults\": 0.1", "\"faults\": 1.5",
       "Line 8, Column 51: lines[0].devices[2].sim.faults must be a number 0 to 1"},
      {"settings neither file nor object", "\"settings\": \"four.json\"", "\"settings\": 4",
       "Line 10, Column 48: lines[1].devices[0].settings must be a file name or the settings "
       "object"},
      {"group voltages in a circle", "{\"appSetting\": {\"current_ratio\": 1}}",
       "{\"appSetting\": {\"current_ratio\": 1, \"group_voltage\": [2]}}",
       "group voltages added in a circle (device 1 adds device 2's, device 2 adds device 1's): "
       "each round the sum would grow without end"},
      {"group voltages in a longer circle", "{\"appSetting\": {\"current_ratio\": 1}}",
       "{\"appSetting\": {\"current_ratio\": 1, \"group_voltage\": [4]}}",
       "group voltages added in a circle (device 1 adds device 4's, device 4 adds device 2's, "
       "device 2 adds device 1's): each round the sum would grow without end",
       "{\"appSetting\": {\"group_voltage\": [\"2\"]}}"},
      {"currents in a circle", "{\"appSetting\": {\"current_ratio\": 1}}",
       "{\"appSetting\": {\"r_data_id\": 3, \"r_current_field\": \"group_current\"}}",
       "currents taken in a circle (device 1 takes device 3's, device 3 takes device 1's): none of "
       "them would ever come from a module"},
      {"a peer value the peer does not have", "\"r_current_field\": \"group_current\"",
       "\"r_current_field\": \"group_curent\"",
       "device 3 takes its current from \"group_curent\" of device 1, which that device does not "
       "have; the closest is \"group_current\" (site file SITE)"},
      {"an alarm key that is no signal", "", "",
       "invalid settings DIR/four.json: Line 1, Column 29: hostThresholds: unknown key \"temp\"; "
       "the "
       "closest signal key is \"temperature\"",
       R"({"hostThresholds": {"temp": {"high": 40}}})"},
      {"a site name of two topic levels", "\"mqtt_site\": \"north\"", "\"mqtt_site\": \"north/2\"",
       "Line 10, Column 78: mqtt_site 'north/2': a site name is one topic level: no '/', '+' or "
       "'#'"},
      {"a site name that is no text", "\"mqtt_site\": \"north\"", "\"mqtt_site\": 7",
       "Line 10, Column 78: mqtt_site must be a text"},
      {"settings file missing", "\"settings\": \"four.json\"", "\"settings\": \"five.json\"",
       "cannot read settings DIR/five.json: No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const std::string site_path = dir.File("site.json");
    std::string text = GoodSite();
    const std::size_t at = text.find(c.from);
    ASSERT_NE(at, std::string::npos);
    text.replace(at, c.from.size(), c.to);
    WriteText(site_path, text);
    WriteText(dir.File("four.json"), c.four);
    config::Site site;
    std::string error;
    EXPECT_FALSE(config::LoadSiteFile(site_path, &site, &error));
    std::string expected = c.error;
    for (std::size_t p; (p = expected.find("SITE")) != std::string::npos;) {
      expected.replace(p, 4, site_path);
    }
    for (std::size_t p; (p = expected.find("DIR")) != std::string::npos;) {
      expected.replace(p, 3, dir.path());
    }
    if (expected.rfind("cannot read", 0) != 0 && expected.rfind("invalid ", 0) != 0) {
      expected = "invalid site file " + site_path + ": " + expected;
    }
    EXPECT_EQ(error, expected);
  }
}

TEST(SiteFile, TheShippedExampleIsValid) {
  config::Site site;
  std::string error;
  ASSERT_TRUE(config::LoadSiteFile(std::string(BATTERY_HOST_EXAMPLES) + "/site.example.json", &site,
                                   &error))
      << error;
  ASSERT_EQ(site.lines.size(), 2u);
  ASSERT_EQ(site.lines[0].devices.size(), 3u);
  EXPECT_EQ(site.lines[0].devices[1].peers.group_voltage, (std::vector<unsigned int>{1}));
  EXPECT_EQ(site.lines[0].devices[1].peers.battery_start, 20);
  EXPECT_EQ(site.lines[0].devices[2].peers.current_peer, 1u);
  EXPECT_EQ(site.lines[1].devices.size(), 1u);
  EXPECT_EQ(site.lines[0].devices[0].limits.size(), 35u);  // 32 cells and three string values
}

// ---- The command line ---------------------------------------------------------------------------

config::ParseResult Parse(std::vector<const char*> args, config::HostOptions* o,
                          std::string* text) {
  args.insert(args.begin(), "battery-host");
  return config::ParseHostOptions(static_cast<int>(args.size()), args.data(), o, text);
}

TEST(CommandLine, DefaultsPollTheSimulatorOncePerSecondAtHostAddress129) {
  config::HostOptions o;
  std::string text;
  ASSERT_EQ(Parse({}, &o, &text), config::ParseResult::kRun) << text;
  EXPECT_EQ(o.address, 129u);
  EXPECT_EQ(o.data_id, 1u);
  EXPECT_EQ(o.interval_ms, 1000u);
  EXPECT_EQ(o.reply_timeout_ms, 100u);
  EXPECT_EQ(o.rounds, 0u);
  EXPECT_TRUE(o.port.empty());
  EXPECT_TRUE(o.site.empty());
}

TEST(CommandLine, ValuesInBothSpellings) {
  config::HostOptions o;
  std::string text;
  ASSERT_EQ(Parse({"--port", "/dev/ttyUSB0", "--address=3", "--interval-ms", "100", "--rounds=5",
                   "--sim-faults", "0.25", "--sim-seed", "18446744073709551615"},
                  &o, &text),
            config::ParseResult::kRun)
      << text;
  EXPECT_EQ(o.port, "/dev/ttyUSB0");
  EXPECT_EQ(o.address, 3u);
  EXPECT_EQ(o.interval_ms, 100u);
  EXPECT_EQ(o.rounds, 5u);
  EXPECT_EQ(o.sim_faults, 0.25);
  EXPECT_EQ(o.sim_seed, 18446744073709551615ull);
}

TEST(CommandLine, BadValuesAreRefusedWithTheOptionNamed) {
  struct Case {
    std::vector<const char*> args;
    const char* error;
  };
  const Case cases[] = {
      {{"--address", "256"}, "--address must be a whole number from 0 to 255"},
      {{"--address", "-1"}, "--address must be a whole number from 0 to 255"},
      {{"--data-id", "4294967296"}, "--data-id must be a whole number from 0 to 4294967295"},
      {{"--sim-seed", "-1"}, "--sim-seed must be a whole number from 0 to 18446744073709551615"},
      {{"--interval-ms", "10ms"}, "--interval-ms must be a whole number of ms from 10 to 3600000"},
      {{"--interval-ms", "5"}, "--interval-ms must be a whole number of ms from 10 to 3600000"},
      {{"--rounds", "0"}, "--rounds must be a whole number from 1 to 1000000"},
      {{"--sim-faults", "1.5"}, "--sim-faults must be a number from 0 to 1"},
      {{"--sim-time-scale", "-1"}, "--sim-time-scale must be a number from 0 to 1000000"},
      {{"--duration", "0"}, "--duration must be more than 0 seconds"},
      {{"--mqtt", ""}, "--mqtt must name a broker: mqtt://host[:port] or mqtts://host[:port]"},
      {{"--events", ""}, "--events must not be empty"},
      {{"--duration", "1e300"}, "--duration must be at most 1000000000 seconds"},
      {{"--site", "s.json", "--port", "/dev/ttyUSB0"}, "--site excludes --port"},
      {{"--speed", "9600"}, "The following arguments were not expected: 9600 --speed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    config::HostOptions o;
    std::string text;
    EXPECT_EQ(Parse(c.args, &o, &text), config::ParseResult::kError);
    EXPECT_EQ(text, c.error);
  }
}

TEST(CommandLine, HelpDescribesEveryOptionWithItsDefault) {
  config::HostOptions o;
  std::string text;
  ASSERT_EQ(Parse({"--help"}, &o, &text), config::ParseResult::kHelp);
  for (const char* option : {"--site FILE",
                             "--settings FILE",
                             "--port DEVICE",
                             "--address N",
                             "--data-id N",
                             "--interval-ms MS",
                             "--reply-timeout-ms MS",
                             "--cache FILE",
                             "--sim-discharge",
                             "--sim-seed N",
                             "--sim-faults RATE",
                             "--sim-time-scale X",
                             "--sim-weak-cell N",
                             "--sim-weak-capacity F",
                             "--plugin PATH",
                             "--rounds N",
                             "--duration SECONDS",
                             "--events FILE",
                             "--events-new",
                             "--log FILE",
                             "--plain",
                             "--history FILE",
                             "--history-keep DAYS",
                             "--mqtt URL",
                             "--mqtt-credentials FILE",
                             "--mqtt-ca FILE",
                             "--mqtt-prefix TEXT",
                             "--mqtt-discovery-prefix TEXT"}) {
    EXPECT_NE(text.find(std::string("  ") + option), std::string::npos) << option;
  }
  for (const char* default_text : {"[default: 129]", "[default: 1000]", "[default: 100]",
                                   "[default: battery-host]", "[default: homeassistant]"}) {
    EXPECT_NE(text.find(default_text), std::string::npos) << default_text;
  }
}

}  // namespace

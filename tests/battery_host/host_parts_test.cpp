// The parts of battery-host that decide bytes and text: the events file's JSON pieces, the record
// decoding, the cache file, the command line, the settings file and the host's alarm limits.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "battery_host/cache_file.h"
#include "battery_host/host_settings.h"
#include "battery_host/json_text.h"
#include "battery_host/live_view.h"
#include "battery_host/options.h"
#include "battery_host/string_record.h"

namespace {

// A scratch directory per test, removed with its files afterwards.
class ScratchDir {
 public:
  ScratchDir() {
    char tmpl[] = "/tmp/battery_host_parts_XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~ScratchDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

TEST(EventText, HexIsLowercaseTwoDigitsPerByte) {
  const unsigned char frame[] = {0xFE, 0xFE, 0x01, 0xA1, 0xA2, 0x00, 0x0F};
  EXPECT_EQ(json_text::Hex(frame, sizeof frame), "fefe01a1a2000f");
  EXPECT_EQ(json_text::Hex(frame, 0), "");
}

TEST(EventText, StringsKeepUtf8AndEscapeWhatJsonRequires) {
  EXPECT_EQ(json_text::Quoted("第3节电池"), "\"第3节电池\"");
  EXPECT_EQ(json_text::Quoted("a\"b\\c\nd\x01"), "\"a\\\"b\\\\c\\nd\\u0001\"");
}

TEST(EventText, FloatsReadBackToTheSameSinglePrecisionValue) {
  struct Case {
    float value;
    const char* text;
  };
  const Case cases[] = {
      {240.0f, "240"},
      {25.3f, "25.2999992"},  // 25.299999237060546875
      {0.1f, "0.100000001"},
      {13.55f, "13.5500002"},  // 13.55000019073486328125
      {-0.48f, "-0.479999989"},
      {0.0f, "0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string text = json_text::Float(c.value);
    EXPECT_EQ(text, c.text);
    EXPECT_EQ(std::strtof(text.c_str(), nullptr), c.value);
  }
  EXPECT_EQ(json_text::Float(std::numeric_limits<float>::quiet_NaN()), "null");
  EXPECT_EQ(json_text::Float(std::numeric_limits<float>::infinity()), "null");
}

// A record written byte by byte: id 7, cell 0 13.5 V (41 58 00 00), cell 19 12.25 V
// (41 44 00 00), group 270.0 V (43 87 00 00), current -2.5 A (C0 20 00 00), temperature 25.0
// (41 C8 00 00) at the odd offset 141, time 2026-12-08 14:03:59.
std::vector<unsigned char> WorkedRecord() {
  std::vector<unsigned char> b(152, 0);
  b[0] = 7;
  const unsigned char cell0[] = {0x00, 0x00, 0x58, 0x41};
  const unsigned char cell19[] = {0x00, 0x00, 0x44, 0x41};
  const unsigned char group[] = {0x00, 0x00, 0x87, 0x43};
  const unsigned char current[] = {0x00, 0x00, 0x20, 0xC0};
  const unsigned char temperature[] = {0x00, 0x00, 0xC8, 0x41};
  const unsigned char stamp[] = {0xEA, 0x07, 12, 8, 14, 3, 59};
  std::memcpy(&b[4], cell0, 4);
  std::memcpy(&b[4 + 4 * 19], cell19, 4);
  std::memcpy(&b[132], group, 4);
  std::memcpy(&b[136], current, 4);
  std::memcpy(&b[141], temperature, 4);
  std::memcpy(&b[145], stamp, 7);
  return b;
}

TEST(Record, DecodesEveryFieldAtItsOffset) {
  const std::vector<unsigned char> b = WorkedRecord();
  const StringRecord r = DecodeStringRecord(b.data());
  EXPECT_EQ(r.id, 7u);
  EXPECT_EQ(r.cells[0], 13.5f);
  EXPECT_EQ(r.cells[19], 12.25f);
  EXPECT_EQ(r.cells[1], 0.0f);
  EXPECT_EQ(r.group_voltage, 270.0f);
  EXPECT_EQ(r.group_current, -2.5f);
  EXPECT_EQ(r.reserved, 0);
  EXPECT_EQ(r.temperature, 25.0f);
  EXPECT_EQ(StampText(r.stamp), "2026-12-08 14:03:59");
  EXPECT_EQ(StampText({}), "----------");
}

TEST(View, PlainLineShowsValuesExtremesAndAlarms) {
  std::vector<unsigned char> b = WorkedRecord();
  ViewState s;
  s.record = DecodeStringRecord(b.data());
  s.record.cells[1] = 13.75f;
  for (int i = 2; i < 19; ++i) s.record.cells[i] = 13.5f;
  s.rounds = 4;
  // Cell 19 (12.25) is the lowest, cell 2 (13.75) the highest: spread 1500 mV.
  EXPECT_EQ(RenderLine(s),
            "round 4 2026-12-08 14:03:59 group 270.00 V   current -2.50 A   temperature 25.00 C; "
            "lowest #20 12.250 V, highest #2 13.750 V, spread 1500 mV; alarms: none\n");
  s.alarms["battery_19_value"] = ActiveAlarm{"第20节电池", 12.25f, 12.5f};
  s.alarms["temperature"] = ActiveAlarm{"温度", 41.5f, 40.0f};
  const std::string line = RenderLine(s);
  EXPECT_NE(line.find("alarms: 第20节电池 (battery_19_value) 12.250 < 12.5, "
                      "温度 (temperature) 41.500 > 40\n"),
            std::string::npos)
      << line;
}

TEST(View, ARejectedCellIsNeitherLowestNorShownAsAValue) {
  ViewState s;
  s.cells = 3;
  s.record.cells[0] = 13.5f;
  s.record.cells[1] = 0.0f;  // reading outside the window
  s.record.cells[2] = 13.25f;
  const std::string view = RenderView(s, false);
  EXPECT_NE(view.find("#2     --  "), std::string::npos) << view;
  EXPECT_NE(view.find("lowest #3 13.250 V, highest #1 13.500 V, spread 250 mV"),
            std::string::npos)
      << view;
  EXPECT_NE(view.find("#3  v13.250"), std::string::npos) << view;
  EXPECT_NE(view.find("#1  ^13.500"), std::string::npos) << view;
}

TEST(Cache, ReplacesTheRecordWholeAndLeavesNoTemporaryFile) {
  ScratchDir dir;
  const std::string path = dir.File("record.bin");
  std::string error;
  std::string bytes;
  EXPECT_EQ(ReadCacheFile(path, 152, &bytes, &error), CacheRead::kMissing);

  std::vector<unsigned char> first(152, 0x11);
  std::vector<unsigned char> second = WorkedRecord();
  ASSERT_TRUE(WriteCacheFile(path, first.data(), first.size(), &error)) << error;
  ASSERT_TRUE(WriteCacheFile(path, second.data(), second.size(), &error)) << error;
  EXPECT_EQ(ReadCacheFile(path, 152, &bytes, &error), CacheRead::kRecord);
  EXPECT_EQ(bytes, std::string(second.begin(), second.end()));
  EXPECT_NE(access((path + ".tmp").c_str(), F_OK), 0);
}

TEST(Cache, AFileOfAnyOtherSizeIsNotARecord) {
  ScratchDir dir;
  const std::string path = dir.File("record.bin");
  std::string error;
  std::string bytes = "untouched";
  for (std::size_t size : {0u, 151u, 153u, 4096u}) {
    SCOPED_TRACE(size);
    WriteText(path, std::string(size, 'x'));
    EXPECT_EQ(ReadCacheFile(path, 152, &bytes, &error), CacheRead::kWrongSize);
    EXPECT_EQ(bytes, "untouched");
  }
}

TEST(Cache, AnUnwritableDirectoryIsReportedAndTheOldRecordStays) {
  std::string error;
  const unsigned char record[152] = {};
  EXPECT_FALSE(WriteCacheFile("/nonexistent-dir/record.bin", record, 152, &error));
  EXPECT_EQ(error, "cannot write cache /nonexistent-dir/record.bin.tmp: No such file or directory");
}

std::optional<HostOptions> Parse(std::vector<const char*> args, std::string* error) {
  args.insert(args.begin(), "battery-host");
  return ParseHostOptions(static_cast<int>(args.size()), args.data(), error);
}

TEST(CommandLine, DefaultsPollTheSimulatorOncePerSecondAtHostAddress129) {
  std::string error;
  const auto o = Parse({}, &error);
  ASSERT_TRUE(o.has_value()) << error;
  EXPECT_EQ(o->address, 129u);
  EXPECT_EQ(o->data_id, 1u);
  EXPECT_EQ(o->interval_ms, 1000u);
  EXPECT_EQ(o->rounds, 0u);
  EXPECT_TRUE(o->port.empty());
  EXPECT_TRUE(o->plugin.empty());
}

TEST(CommandLine, ValuesInBothSpellings) {
  std::string error;
  const auto o = Parse({"--port", "/dev/ttyUSB0", "--address=3", "--interval-ms", "100",
                        "--rounds=5", "--sim-faults", "0.25", "--sim-seed", "42"},
                       &error);
  ASSERT_TRUE(o.has_value()) << error;
  EXPECT_EQ(o->port, "/dev/ttyUSB0");
  EXPECT_EQ(o->address, 3u);
  EXPECT_EQ(o->interval_ms, 100u);
  EXPECT_EQ(o->rounds, 5u);
  EXPECT_EQ(o->sim_faults, 0.25);
  EXPECT_EQ(o->sim_seed, 42u);
}

TEST(CommandLine, BadValuesAreRefusedWithTheOptionNamed) {
  struct Case {
    std::vector<const char*> args;
    const char* error;
  };
  const Case cases[] = {
      {{"--address", "256"}, "invalid value '256' for --address"},
      {{"--address", "-1"}, "invalid value '-1' for --address"},
      {{"--interval-ms", "10ms"}, "invalid value '10ms' for --interval-ms"},
      {{"--interval-ms", "5"}, "invalid value '5' for --interval-ms"},
      {{"--rounds", "0"}, "invalid value '0' for --rounds"},
      {{"--sim-faults", "1.5"}, "invalid value '1.5' for --sim-faults"},
      {{"--rounds"}, "option --rounds needs a value"},
      {{"--speed", "9600"}, "unknown option --speed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    std::string error;
    EXPECT_FALSE(Parse(c.args, &error).has_value());
    EXPECT_EQ(error, c.error);
  }
}

TEST(SettingsFile, AParseErrorNamesItsLineAndColumn) {
  ScratchDir dir;
  const std::string path = dir.File("settings.json");
  WriteText(path, "{\n  \"appSetting\": {\n    \"b_mode\": 3\n    \"dir\": 1\n  }\n}\n");
  Json::Value settings;
  std::string error;
  EXPECT_FALSE(LoadSettingsFile(path, &settings, &error));
  EXPECT_EQ(error, "invalid settings " + path +
                       ": Line 4, Column 5: Missing ',' or '}' in object declaration");
}

TEST(SettingsFile, MissingFileAndNonObjectAreRefused) {
  ScratchDir dir;
  Json::Value settings;
  std::string error;
  EXPECT_FALSE(LoadSettingsFile(dir.File("none.json"), &settings, &error));
  EXPECT_EQ(error, "cannot read settings " + dir.File("none.json"));
  WriteText(dir.File("list.json"), "[1, 2]");
  EXPECT_FALSE(LoadSettingsFile(dir.File("list.json"), &settings, &error));
  EXPECT_EQ(error, "invalid settings " + dir.File("list.json") +
                       ": the file must hold one JSON object");
}

Json::Value Json(const std::string& text) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value v;
  std::string errors;
  EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &v, &errors)) << errors;
  return v;
}

TEST(HostThresholds, CellDefaultCoversEveryCellWithoutAnEntryOfItsOwn) {
  const Json::Value settings = Json(R"({"hostThresholds": {
      "*cells*": {"low": 12.0, "high": 14.4},
      "battery_2_value": {"low": 12.5, "level": 2},
      "temperature": {"high": 40}}})");
  std::map<std::string, HostLimit> limits;
  std::string error;
  ASSERT_TRUE(ParseHostThresholds(settings, 3, &limits, &error)) << error;
  ASSERT_EQ(limits.size(), 4u);
  const HostLimit& cell0 = limits.at("battery_0_value");
  EXPECT_TRUE(cell0.band.has_low && cell0.band.has_high);
  EXPECT_EQ(cell0.band.low, 12.0f);
  EXPECT_EQ(cell0.band.high, 14.4f);
  EXPECT_EQ(cell0.level, 1);
  const HostLimit& cell2 = limits.at("battery_2_value");
  EXPECT_EQ(cell2.band.low, 12.5f);
  EXPECT_FALSE(cell2.band.has_high);
  EXPECT_EQ(cell2.level, 2);
  EXPECT_FALSE(limits.at("temperature").band.has_low);
  EXPECT_EQ(limits.at("temperature").band.high, 40.0f);
  EXPECT_EQ(limits.count("battery_3_value"), 0u);
}

TEST(HostThresholds, WrongShapesAreRefused) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"hostThresholds": [1]})", "hostThresholds must be an object"},
      {R"({"hostThresholds": {"temperature": 40}})", "hostThresholds.temperature must be an object"},
      {R"({"hostThresholds": {"temperature": {"high": "40"}}})",
       "hostThresholds.temperature.high must be a number"},
      {R"({"hostThresholds": {"temperature": {"high": 40, "level": 0}}})",
       "hostThresholds.temperature.level must be a positive integer"},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    std::map<std::string, HostLimit> limits;
    std::string error;
    EXPECT_FALSE(ParseHostThresholds(Json(text), 20, &limits, &error));
    EXPECT_EQ(error, expected);
  }
  std::map<std::string, HostLimit> limits;
  std::string error;
  EXPECT_TRUE(ParseHostThresholds(Json(R"({"hostThresholds": null})"), 20, &limits, &error));
  EXPECT_TRUE(limits.empty());
}

TEST(HostThresholds, TheShippedExampleIsValid) {
  Json::Value settings;
  std::string error;
  ASSERT_TRUE(LoadSettingsFile(DefaultSettingsPath(), &settings, &error)) << error;
  std::map<std::string, HostLimit> limits;
  ASSERT_TRUE(ParseHostThresholds(settings, 20, &limits, &error)) << error;
  EXPECT_EQ(limits.size(), 23u);  // 20 cells, group voltage, current, temperature
  EXPECT_TRUE(settings["appSetting"].isObject());
}

}  // namespace

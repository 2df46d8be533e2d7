// The built ondrell_20.so driven the way a host process drives it: loaded with dlopen, its one
// provider taken from get_providers, devices made by the provider and run through the host's own
// base classes only. Nothing of the device code is linked into this program; the framework
// (xqr_host) is, and the library binds to it when it is loaded.

#include <dlfcn.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>
#include <json/json.h>

#include "host_framework/device_book.h"
#include "host_framework/xqr_controller.h"
#include "host_framework/xqr_listener.h"
#include "host_framework/xqr_port.h"
#include "host/xqr_spdevice.h"
#include "host/xqr_vdevice.h"
#include "plugin/provider.h"
#include "tests/host_recorder.h"

namespace {

using test::Bytes;
using test::CellFrame;
using test::RecordingListener;
using test::RecordingPort;
using test::SentRecord;
using Readings = std::array<std::uint16_t, 32>;

constexpr int kRecordCode = 5013;
constexpr std::size_t kRecordSize = 152;

void PutLe32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) b[at + k] = static_cast<unsigned char>(v >> (8 * k));
}

void PutLeFloat(Bytes& b, std::size_t at, float f) {
  std::uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  PutLe32(b, at, bits);
}

float LeFloatAt(const Bytes& b, std::size_t at) {
  std::uint32_t bits = 0;
  for (int k = 0; k < 4; ++k) bits |= static_cast<std::uint32_t>(b[at + k]) << (8 * k);
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

// The 152-byte record as the host must receive it: id, 32 cells (from 20 up always 0.0), group
// voltage, current, reserved 0, temperature at the odd offset 141, time stamp at 145.
struct Expected {
  std::uint32_t id;
  std::array<float, 20> cells;
  float group_voltage;
  float group_current;
  float temperature;
};

Bytes RecordBytes(const Expected& e, const Bytes& stamp) {
  Bytes b(kRecordSize, 0);
  PutLe32(b, 0, e.id);
  for (std::size_t i = 0; i < e.cells.size(); ++i) PutLeFloat(b, 4 + 4 * i, e.cells[i]);
  PutLeFloat(b, 132, e.group_voltage);
  PutLeFloat(b, 136, e.group_current);
  PutLeFloat(b, 141, e.temperature);
  std::copy(stamp.begin(), stamp.end(), b.begin() + 145);
  return b;
}

Bytes StampOf(const Bytes& record) { return Bytes(record.begin() + 145, record.end()); }

// The host's 7-byte stamp read back: year little-endian, month, day, hour, minute, second.
boost::posix_time::ptime StampTime(const Bytes& s) {
  const boost::gregorian::date d(static_cast<unsigned short>(s[0] | (s[1] << 8)), s[2], s[3]);
  return boost::posix_time::ptime(d, boost::posix_time::time_duration(s[4], s[5], s[6]));
}

// A peer device of the host that serves values by name, as another module's device would.
class PeerDevice : public XQRVDevice {
 public:
  PeerDevice(unsigned int data_id, float group_voltage, float current)
      : group_voltage_(group_voltage), current_(current) {
    InitV(data_id);
  }
  float Get_Value(unsigned int, const std::string& name) const override {
    if (name == "group_voltage") return group_voltage_;
    if (name == "current") return current_;
    throw std::out_of_range("不支持变量");
  }
  using XQRVDevice::LoadFromCache;
  bool LoadFromCache(const unsigned char*, int) override { return false; }

 private:
  float group_voltage_;
  float current_;
};

struct Rule {
  std::string key;
  std::string label;
  float value;
  int index;
};

void ExpectRules(const std::vector<rule_value>& seen, const std::vector<Rule>& expected) {
  ASSERT_EQ(seen.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE("threshold request " + std::to_string(i));
    EXPECT_EQ(seen[i].key, expected[i].key);
    EXPECT_EQ(seen[i].label, expected[i].label);
    EXPECT_EQ(seen[i].value, expected[i].value);
    EXPECT_EQ(seen[i].index, expected[i].index);
  }
}

std::string OutOfRangeText(const XQRSPDevice& device, const std::string& name) {
  try {
    device.Get_Value(0, name);
  } catch (const std::out_of_range& e) {
    return e.what();
  }
  return "(answered)";
}

// Loads the library for one test and unloads it afterwards. Everything the library made must be
// gone before TearDown: its code leaves the process with dlclose.
class LoadedLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = dlopen(ONDRELL20_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    dlerror();
    void* entry = dlsym(handle_, "get_providers");
    ASSERT_NE(entry, nullptr) << dlerror();
    get_providers_ = reinterpret_cast<GetProvidersFn>(entry);
  }

  void TearDown() override {
    if (handle_ != nullptr) {
      EXPECT_EQ(dlclose(handle_), 0) << dlerror();
    }
  }

  // A device from the library's provider; the provider is released before the device is used.
  std::unique_ptr<XQRSPDevice> NewDevice() {
    auto providers = get_providers_();
    auto factory = std::dynamic_pointer_cast<XQRSPDeviceProvider>(providers.at(0));
    if (!factory) return nullptr;
    return std::unique_ptr<XQRSPDevice>(factory->create());
  }

  void* handle_ = nullptr;
  GetProvidersFn get_providers_ = nullptr;
};

// A host controller with a recording listener and one recording port per device.
struct Host {
  Host() { controller->SetListener(&listener); }

  std::shared_ptr<RecordingPort> Attach(XQRSPDevice& device, unsigned int data_id,
                                        unsigned int host_address) {
    Json::Value init(Json::objectValue);
    init["address"] = host_address;
    device.Init(controller, data_id, init);
    auto port = std::make_shared<RecordingPort>();
    host_framework::AttachPort(device, port);
    controller->AddDevice(&device);
    return port;
  }

  std::shared_ptr<XQRController> controller = std::make_shared<XQRController>();
  RecordingListener listener;
};

TEST_F(LoadedLibrary, EntryIsPlainCAndHandsOutOneNewProviderPerCall) {
  EXPECT_EQ(dlsym(handle_, "_Z13get_providersv"), nullptr);

  auto first = get_providers_();
  auto second = get_providers_();
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(second.size(), 1u);
  ASSERT_NE(first[0], nullptr);
  ASSERT_NE(second[0], nullptr);
  EXPECT_NE(first[0].get(), second[0].get());
  // The library keeps no reference of its own.
  EXPECT_EQ(first[0].use_count(), 1);
  EXPECT_EQ(second[0].use_count(), 1);

  // The provider classes have one identity on both sides of the boundary.
  EXPECT_NE(std::dynamic_pointer_cast<XQRSPDeviceProvider>(first[0]), nullptr);
  EXPECT_NE(std::dynamic_pointer_cast<XQRSPDeviceProvider>(second[0]), nullptr);
}

TEST_F(LoadedLibrary, ProviderMakesIndependentIdleDevicesThatOutliveIt) {
  std::weak_ptr<Provider> watch;
  std::unique_ptr<XQRSPDevice> a;
  std::unique_ptr<XQRSPDevice> b;
  {
    auto providers = get_providers_();
    watch = providers[0];
    auto factory = std::dynamic_pointer_cast<XQRSPDeviceProvider>(providers[0]);
    ASSERT_NE(factory, nullptr);
    a.reset(factory->create());
    b.reset(factory->create());
  }
  EXPECT_TRUE(watch.expired());
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a.get(), b.get());

  Host host;
  auto port_a = host.Attach(*a, 11, 0x03);
  auto port_b = host.Attach(*b, 12, 0x04);

  for (XQRSPDevice* device : {a.get(), b.get()}) {
    EXPECT_EQ(device->DeviceType(), "ondrell_20");
    EXPECT_EQ(device->baud_rate_, 19200);
    EXPECT_FALSE(device->data_ready_);
    EXPECT_EQ(OutOfRangeText(*device, "group_voltage"), "数据未就绪");
    // Control code 100 is the device's own, and no control code touches the output.
    const unsigned char minutes[2] = {10, 0};
    int out_len = -7;
    EXPECT_EQ(device->DeviceIoControl(100, minutes, 2, nullptr, 0, out_len), 0);
    EXPECT_EQ(device->DeviceIoControl(101, minutes, 2, nullptr, 0, out_len), 0);
    EXPECT_EQ(out_len, -7);
  }

  // Idle: the first tick starts a round (host bookkeeping, then the cell-voltage request), and
  // only on the ticked device's own port.
  EXPECT_EQ(a->RefreshStatus(), 1);
  EXPECT_EQ(host.listener.refreshes, 1);
  EXPECT_EQ(port_a->frames, (std::vector<Bytes>{{0xFE, 0xFE, 0x03, 0xA1, 0xA4}}));
  EXPECT_TRUE(port_b->frames.empty());

  EXPECT_EQ(b->RefreshStatus(), 1);
  EXPECT_EQ(host.listener.refreshes, 2);
  EXPECT_EQ(port_b->frames, (std::vector<Bytes>{{0xFE, 0xFE, 0x04, 0xA1, 0xA5}}));
  EXPECT_EQ(port_a->frames.size(), 1u);

  host.controller->RemoveDevice(11);
  host.controller->RemoveDevice(12);
}

// Default settings, address 0x81 on the host (0x01 on the bus). The module's group voltage of
// 30.0 is below 40 and is replaced by the sum of the 20 cells.
TEST_F(LoadedLibrary, RoundWithDefaultSettingsReachesTheHost) {
  Host host;
  std::unique_ptr<XQRSPDevice> device = NewDevice();
  ASSERT_NE(device, nullptr);
  auto port = host.Attach(*device, 5001, 0x81);
  Json::Value settings(Json::objectValue);
  EXPECT_EQ(device->InitSetting(settings), 1);

  EXPECT_EQ(device->RefreshStatus(), 1);
  Bytes cells =
      CellFrame(0x01, Readings{1250, 1250, 1250, 1250, 1250, 1250, 1250, 1250, 1250, 1250,
                               1250, 1250, 1250, 1250, 1250, 1250, 1250, 1250, 1250, 1250});
  Bytes group{0xED, 0x01, 0x01, 0x2C, 0x2E};    // raw 300: 30.0
  Bytes current{0xED, 0x01, 0x00, 0xFA, 0xFB};  // raw 250: 25.0
  Bytes temp{0xED, 0x01, 0x09, 0xE2, 0xEC};     // raw 2530: 25.3
  EXPECT_EQ(device->process(cells.data(), cells.size()), 1);
  EXPECT_EQ(device->process(group.data(), group.size()), 1);
  EXPECT_EQ(device->process(current.data(), current.size()), 1);
  testing::internal::CaptureStdout();
  EXPECT_EQ(device->process(temp.data(), temp.size()), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "rvSize is 23\n");

  EXPECT_EQ(port->frames, (std::vector<Bytes>{{0xFE, 0xFE, 0x01, 0xA1, 0xA2},
                                              {0xFE, 0xFE, 0x01, 0xA2, 0xA3},
                                              {0xFE, 0xFE, 0x01, 0xA3, 0xA4},
                                              {0xFE, 0xFE, 0x01, 0xA4, 0xA5}}));
  ASSERT_EQ(host.listener.sent.size(), 1u);
  ASSERT_EQ(host.listener.history.size(), 1u);
  const Bytes stamp = StampOf(host.listener.sent[0].bytes);
  EXPECT_EQ(host.listener.sent[0].code, kRecordCode);
  EXPECT_FALSE(host.listener.sent[0].flag);
  EXPECT_EQ(host.listener.sent[0].bytes, RecordBytes({5001, {}, 0.0f, 0.0f, 0.0f}, stamp));
  Expected round{5001, {}, 250.0f, 25.0f, 25.3f};
  round.cells.fill(12.5f);
  EXPECT_EQ(host.listener.history[0], RecordBytes(round, stamp));
  EXPECT_TRUE(device->data_ready_);

  std::vector<Rule> rules{{"group_voltage", "整组电压", 250.0f, 1},
                          {"group_current", "电流", 25.0f, 1},
                          {"temperature", "温度", 25.3f, 1}};
  for (int i = 0; i < 20; ++i) {
    rules.push_back({"battery_" + std::to_string(i) + "_value",
                     "第" + std::to_string(i + 1) + "节电池", 12.5f, i + 1});
  }
  ExpectRules(host.listener.thresholds, rules);

  host.controller->RemoveDevice(5001);
  const std::size_t frames = port->frames.size();
  device.reset();  // through XQRSPDevice's virtual destructor: nothing sent, nothing stored
  EXPECT_EQ(port->frames.size(), frames);
  EXPECT_EQ(host.listener.sent.size(), 1u);
  EXPECT_EQ(host.listener.history.size(), 1u);
}

// Every setting key at once. Module address 0x05 (host 0x85). Twenty readings, reversed (dir 1),
// plus 0.25 on every cell, 0.5 on reading 0 and 0.75 on reading 19, window 9.0..15.0:
//   reading  0: 1200 -> 12.0 + 0.25 + 0.5  = 12.75 -> slot 19
//   reading  1:  875 ->  8.75 + 0.25       =  9.0  -> slot 18 (lower bound, kept)
//   reading  2:  874 ->  8.74 + 0.25       =  8.99 -> slot 17, 0.0
//   reading  3: 1475 -> 14.75 + 0.25       = 15.0  -> slot 16 (upper bound, kept)
//   reading  4: 1476 -> 14.76 + 0.25       = 15.01 -> slot 15, 0.0
//   reading  5:    0 -> 0.25               -> slot 14, 0.0
//   reading  6: 65535 -> 655.6             -> slot 13, 0.0
//   readings 7..18: 1000, 1025, ..., 1275 -> 10.25, 10.5, ..., 13.0 -> slots 12..1
//   reading 19: 1300 -> 13.0 + 0.25 + 0.75 = 14.0 -> slot 0
// Readings 20..31 are 0xEDED: not cells, but inside the checksum (and full of start bytes).
// Group voltage, version 2: 12000 / 100 = 120.0, * 2 = 240.0, + 0.5 = 240.5, + peer 12.25 =
// 252.75. Current sensor: ((3125 / 10) / 125 - 2) * 50 = 25.0 (the peer's current is not asked).
// Temperature 2530 / 100 = 25.3.
TEST_F(LoadedLibrary, EndToEndRoundWithEverySetting) {
  Host host;
  PeerDevice peer(9002, 12.25f, 99.0f);
  host.controller->AddDevice(&peer);
  std::unique_ptr<XQRSPDevice> device = NewDevice();
  ASSERT_NE(device, nullptr);
  auto port = host.Attach(*device, 7001, 0x85);

  // The host's alarm engine configuration, present before InitSetting.
  device->threshold_levels_["battery_0_value"] = 2;
  device->threshold_values_["battery_0_value"] = 13.5f;
  device->ao_names_ = {"ao_missing", "ao_x"};
  device->ao_values_["ao_x"] = 3.5f;

  Json::Value settings;
  Json::Value& app = settings["appSetting"];
  app["battery_type"] = "12";
  app["current_ratio"] = 1;
  app["group_a"] = "2";
  app["group_b"] = 0.5;
  app["battery_adjust"] = "0.25";
  app["version"] = 2;
  app["dir"] = "1";
  app["r_data_id"] = 9002;
  app["r_current_field"] = "current";
  app["save_interval"] = "30";
  app["group_index"] = 1;  // cells 0, 1, 2 and label offset 0 ...
  app["amount"] = "3";
  app["battery_start"] = "17";  // ... but the explicit offset wins
  for (const Json::Value& v : {Json::Value(5), Json::Value("1"), Json::Value(20), Json::Value(-1),
                               Json::Value(19), Json::Value("05")}) {
    app["active_batteries"].append(v);
  }
  app["group_voltage"].append("9002");
  app["group_voltage"].append(9002);
  app["t0"] = 0.5;
  app["t31"] = "0.75";
  app["b_mode"] = "3";
  Json::Value& ts = settings["thresholdSetting"];
  ts["battery_0_value"]["SignalName"] = "1#";
  ts["battery_0_value"]["NMAlarmID"] = 101;
  ts["battery_0_value"]["ID"] = "2";
  ts["battery_0_value"]["SignalNumber"] = 3;
  ts["group_voltage"]["SignalName"] = "整组电压";
  ts["group_voltage"]["NMAlarmID"] = "100";
  ts["group_voltage"]["ID"] = 1;
  ts["note"] = "not a signal";

  testing::internal::CaptureStdout();
  EXPECT_EQ(device->InitSetting(settings), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "InitSetting 7001 b_mode_:3\n"
            "here 1\n"
            "here 2\n"
            "here battery_0_value\n"
            "mobile:battery_0_value:101;2;3; level:2 value:13.5\n"
            "here group_voltage\n"
            "7001 SignalNumber is missing\n"
            "mobile:group_voltage:100;1;; level:0 value:0\n"
            "here note\n");
  EXPECT_EQ(device->threshold_levels_.count("group_voltage"), 1u);
  EXPECT_EQ(device->threshold_values_.count("group_voltage"), 1u);
  EXPECT_EQ(device->threshold_levels_.count("note"), 0u);

  Readings readings{};
  readings[0] = 1200;
  readings[1] = 875;
  readings[2] = 874;
  readings[3] = 1475;
  readings[4] = 1476;
  readings[5] = 0;
  readings[6] = 65535;
  for (int i = 7; i <= 18; ++i) readings[i] = static_cast<std::uint16_t>(1000 + 25 * (i - 7));
  readings[19] = 1300;
  for (int i = 20; i < 32; ++i) readings[i] = 0xEDED;
  const Bytes frame = CellFrame(0x05, readings);
  const Expected expected{
      7001,
      {14.0f,  13.0f, 12.75f, 12.5f, 12.25f, 12.0f, 11.75f, 11.5f, 11.25f, 11.0f,
       10.75f, 10.5f, 10.25f, 0.0f,  0.0f,   0.0f,  15.0f,  0.0f,  9.0f,   12.75f},
      252.75f,
      25.0f,
      25.3f};
  const std::vector<Bytes> round_frames{{0xFE, 0xFE, 0x05, 0xA1, 0xA6},
                                        {0xFE, 0xFE, 0x05, 0xA2, 0xA7},
                                        {0xFE, 0xFE, 0x05, 0xA3, 0xA8},
                                        {0xFE, 0xFE, 0x05, 0xA4, 0xA9}};
  const std::vector<Rule> rules{{"group_voltage", "整组电压", 252.75f, 1},
                                {"group_current", "电流", 25.0f, 1},
                                {"temperature", "温度", 25.3f, 1},
                                {"battery_0_value", "第18节电池", 14.0f, 1},
                                {"battery_1_value", "第19节电池", 13.0f, 2},
                                {"battery_2_value", "第20节电池", 12.75f, 3},
                                {"battery_5_value", "第23节电池", 12.0f, 6},
                                {"battery_19_value", "第37节电池", 12.75f, 20},
                                {"ao_x", "", 3.5f, 1}};

  // One round: tick, the cell frame in two pieces behind line noise, three short replies.
  auto run_round = [&](boost::posix_time::ptime* before, boost::posix_time::ptime* after) {
    port->frames.clear();
    host.listener.thresholds.clear();
    EXPECT_EQ(device->RefreshStatus(), 1);
    Bytes first{0x00, 0x7F};
    first.insert(first.end(), frame.begin(), frame.begin() + 30);
    Bytes rest(frame.begin() + 30, frame.end());
    Bytes group{0xED, 0x05, 0x2E, 0xE0, 0x13};    // raw 12000
    Bytes current{0xED, 0x05, 0x0C, 0x35, 0x46};  // raw 3125
    Bytes temp{0xED, 0x05, 0x09, 0xE2, 0xF0};     // raw 2530
    EXPECT_EQ(device->process(first.data(), first.size()), 1);
    EXPECT_EQ(device->process(rest.data(), rest.size()), 1);
    EXPECT_EQ(device->process(group.data(), group.size()), 1);
    EXPECT_EQ(device->process(current.data(), current.size()), 1);
    *before = boost::posix_time::second_clock::local_time();
    testing::internal::CaptureStdout();
    EXPECT_EQ(device->process(temp.data(), temp.size()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "rvSize is 9\n");
    *after = boost::posix_time::second_clock::local_time();
    EXPECT_EQ(port->frames, round_frames);
    ExpectRules(host.listener.thresholds, rules);
  };

  boost::posix_time::ptime before, after;
  run_round(&before, &after);
  ASSERT_EQ(host.listener.sent.size(), 1u);
  ASSERT_EQ(host.listener.history.size(), 1u);
  const SentRecord& sent = host.listener.sent[0];
  const Bytes stamp = StampOf(sent.bytes);
  EXPECT_LE(before, StampTime(stamp));
  EXPECT_LE(StampTime(stamp), after);
  EXPECT_EQ(sent.device, 7001u);
  EXPECT_EQ(sent.code, kRecordCode);
  EXPECT_FALSE(sent.flag);
  // Handed over before the threshold pass: this round's stamp, no measurements yet.
  EXPECT_EQ(sent.bytes, RecordBytes({7001, {}, 0.0f, 0.0f, 0.0f}, stamp));
  const Bytes record = RecordBytes(expected, stamp);
  EXPECT_EQ(host.listener.history[0], record);
  EXPECT_EQ(LeFloatAt(host.listener.history[0], 141), 25.3f);

  // The host's services as the round used them.
  EXPECT_EQ(host.listener.refreshes, 1);
  EXPECT_EQ(host.listener.resets, 1);
  EXPECT_EQ(host.listener.ao_checks, (std::vector<std::pair<std::string, float>>{{"ao_x", 3.5f}}));
  EXPECT_EQ(host.listener.batches, (std::vector<std::size_t>{9}));
  EXPECT_TRUE(device->rule_values_.empty());
  EXPECT_TRUE(device->report_flag_);
  EXPECT_EQ(device->status_word_, 1);

  // Values served to the host after the round.
  const std::pair<const char*, float> served[] = {
      {"battery_0_value", 14.0f}, {"battery_13_value", 0.0f}, {"battery_19_value", 12.75f},
      {"group_voltage", 252.75f}, {"group_current", 25.0f},   {"temperature", 25.3f}};
  for (const auto& [name, value] : served) EXPECT_EQ(device->Get_Value(0, name), value) << name;
  EXPECT_EQ(OutOfRangeText(*device, "battery_20_value"), "不支持变量");

  // The next round finds nothing changed; the record handed over first is the last round's.
  run_round(&before, &after);
  ASSERT_EQ(host.listener.sent.size(), 2u);
  ASSERT_EQ(host.listener.history.size(), 2u);
  const Bytes stamp2 = StampOf(host.listener.sent[1].bytes);
  EXPECT_LE(before, StampTime(stamp2));
  EXPECT_LE(StampTime(stamp2), after);
  EXPECT_EQ(host.listener.sent[1].bytes, RecordBytes(expected, stamp2));
  EXPECT_EQ(host.listener.history[1], RecordBytes(expected, stamp2));
  EXPECT_FALSE(device->report_flag_);
  EXPECT_EQ(host.listener.refreshes, 2);

  host.controller->RemoveDevice(7001);
  host.controller->RemoveDevice(9002);
  const std::size_t frames = port->frames.size();
  device.reset();
  EXPECT_EQ(port->frames.size(), frames);
  EXPECT_EQ(host.listener.history.size(), 2u);
}

// The host restores the last stored record as a string; the device serves it at once and tells
// the host nothing.
TEST_F(LoadedLibrary, RestoresStoredRecordWithoutSendingIt) {
  Host host;
  std::unique_ptr<XQRSPDevice> device = NewDevice();
  ASSERT_NE(device, nullptr);
  auto port = host.Attach(*device, 6001, 0x81);
  EXPECT_EQ(device->InitSetting(Json::Value(Json::objectValue)), 1);

  Expected stored{6001, {}, 241.5f, -12.5f, 25.0f};
  stored.cells[0] = 12.25f;
  stored.cells[19] = 13.5f;
  const Bytes bytes = RecordBytes(stored, Bytes{0xEA, 0x07, 1, 2, 3, 4, 5});
  const std::string text(bytes.begin(), bytes.end());

  EXPECT_FALSE(device->LoadFromCache(text.substr(0, 151)));
  EXPECT_FALSE(device->data_ready_);
  EXPECT_TRUE(device->LoadFromCache(text));
  EXPECT_TRUE(device->data_ready_);

  const std::pair<const char*, float> served[] = {{"battery_0_value", 12.25f},
                                                  {"battery_19_value", 13.5f},
                                                  {"group_voltage", 241.5f},
                                                  {"group_current", -12.5f},
                                                  {"temperature", 25.0f}};
  for (const auto& [name, value] : served) EXPECT_EQ(device->Get_Value(0, name), value) << name;
  EXPECT_TRUE(port->frames.empty());
  EXPECT_TRUE(host.listener.sent.empty());
  EXPECT_TRUE(host.listener.history.empty());
  host.controller->RemoveDevice(6001);
}

}  // namespace

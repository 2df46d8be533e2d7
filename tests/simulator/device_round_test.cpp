// The real device code against the simulated module, in-process: every request the Ondrell20
// writes goes to the module, every piece of the module's answer goes back through process(),
// and the host's history records must carry the module's values as the device decodes them.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "simulator/bms_module.h"
#include "tests/test_support.h"

using namespace test;

namespace {

constexpr unsigned int kDataId = 7;

// Offsets in the 152-byte record: cells at 4 + 4i, group voltage 132, current 136,
// temperature 141.
constexpr std::size_t kCellOffset = 4;
constexpr std::size_t kGroupVoltageOffset = 132;
constexpr std::size_t kCurrentOffset = 136;
constexpr std::size_t kTemperatureOffset = 141;

// The bus between the device and the module.
class Bench {
 public:
  explicit Bench(const simulator::Config& config,
                 const Json::Value& settings = Json::Value(Json::objectValue))
      : module(config) {
    host.Attach(device, kDataId);  // bus address 0x01
    device.InitSetting(settings);
  }

  // One poll tick, then the conversation runs until the device stops asking.
  void Tick() {
    device.RefreshStatus();
    while (delivered_ < host.port->frames.size()) {
      const simulator::Bytes request = host.port->frames[delivered_++];
      requests.push_back(request);
      for (simulator::Reply& reply : module.Receive(request.data(), request.size())) {
        for (simulator::Bytes& chunk : reply.chunks) device.process(chunk.data(), chunk.size());
        replies.push_back(std::move(reply));
      }
    }
  }

  Host host;
  OpenOndrell20 device;
  simulator::Module module;
  std::vector<simulator::Bytes> requests;
  std::vector<simulator::Reply> replies;

 private:
  std::size_t delivered_ = 0;
};

TEST(SimulatedModule, CleanRoundsReachTheHistoryExactlyAsDecoded) {
  simulator::Config config;
  config.seed = 2026;
  Bench bench(config);

  for (int round = 0; round < 5; ++round) {
    const simulator::Readings cells = bench.module.CellReadings();
    const std::uint16_t group = bench.module.GroupVoltageRaw();
    const std::uint16_t current = bench.module.CurrentRaw();
    const std::uint16_t temperature = bench.module.TemperatureRaw();

    bench.replies.clear();
    bench.requests.clear();
    bench.Tick();

    EXPECT_EQ(bench.requests, (std::vector<simulator::Bytes>{{0xFE, 0xFE, 0x01, 0xA1, 0xA2},
                                                             {0xFE, 0xFE, 0x01, 0xA2, 0xA3},
                                                             {0xFE, 0xFE, 0x01, 0xA3, 0xA4},
                                                             {0xFE, 0xFE, 0x01, 0xA4, 0xA5}}));
    ASSERT_EQ(bench.replies.size(), 4u);
    for (const simulator::Reply& r : bench.replies) EXPECT_TRUE(r.clean);
    EXPECT_EQ(bench.replies[0].readings, cells);
    EXPECT_EQ(bench.replies[1].raw, group);
    EXPECT_EQ(bench.replies[2].raw, current);
    EXPECT_EQ(bench.replies[3].raw, temperature);

    ASSERT_EQ(bench.host.listener.history.size(), static_cast<std::size_t>(round + 1));
    const simulator::Bytes& h = bench.host.listener.history.back();
    for (int i = 0; i < 32; ++i) {
      // Readings 20..31 are not cells of a 20-cell string; those slots stay 0.0.
      const float expected = i < 20 ? static_cast<float>(cells[i]) / 100.0f : 0.0f;
      EXPECT_EQ(FloatAt(h, kCellOffset + 4 * i), expected) << "cell " << i;
      if (i < 20) {
        EXPECT_GE(expected, 13.50f);
        EXPECT_LE(expected, 13.65f);
      }
    }
    EXPECT_EQ(FloatAt(h, kGroupVoltageOffset), static_cast<float>(group) / 10.0f);
    EXPECT_EQ(FloatAt(h, kCurrentOffset), static_cast<float>(current) / 10.0f);
    EXPECT_EQ(FloatAt(h, kTemperatureOffset), static_cast<float>(temperature) / 100.0f);
    EXPECT_EQ(bench.device.poll_step_, 0);

    bench.module.Advance(300);
  }
}

TEST(SimulatedModule, SensorCurrentDuringDischargeDecodesNegative) {
  simulator::Config config;
  config.discharge = true;
  config.current_wander = 0;
  config.discharge_current = -30.0;
  config.current_encoding = simulator::CurrentEncoding::kSensor;
  Bench bench(config, ParseJson(R"({"appSetting": {"current_ratio": 1}})"));
  bench.Tick();
  ASSERT_EQ(bench.host.listener.history.size(), 1u);
  // raw 1750: ((1750 / 10) / 125 - 2) x 50 = (1.4 - 2) x 50 = -30.0, in single precision:
  // 175.0f / 125.0f = 1.39999998f, - 2 = -0.60000002f, x 50 = -30.0000019f
  const float expected = ((1750.0f / 10.0f) / 125.0f - 2.0f) * 50.0f;
  EXPECT_EQ(FloatAt(bench.host.listener.history[0], kCurrentOffset), expected);
  EXPECT_NEAR(expected, -30.0f, 1e-5f);
}

// With every fault switched on the device must keep its record plausible, and as soon as the
// line is healthy again the very next tick must complete a round with the module's values.
TEST(SimulatedModule, DeviceRecoversOnTheNextTickAfterAFaultyStretch) {
  simulator::Config config;
  config.seed = 99;
  simulator::Faults& f = config.faults;
  f.noise = f.split = f.drop = f.bad_checksum = f.wrong_address = 0.08;
  f.out_of_window = f.garbage = f.silence = 0.08;
  f.silence_requests = 3;
  Bench bench(config);

  for (int tick = 0; tick < 300; ++tick) {
    bench.Tick();
    bench.module.Advance(10);
  }
  const auto& history = bench.host.listener.history;
  const std::size_t completed = history.size();
  EXPECT_GT(completed, 10u);   // some rounds get through
  EXPECT_LT(completed, 300u);  // and some do not
  std::uint32_t seen = 0;
  for (const simulator::Reply& r : bench.replies) seen |= r.faults;
  EXPECT_EQ(seen, 0xFFu);
  for (const simulator::Bytes& h : history) {
    for (int i = 0; i < 20; ++i) {
      const float v = FloatAt(h, kCellOffset + 4 * i);
      // An out-of-window reading is stored as 0.0; everything else is a true cell value.
      EXPECT_TRUE(v == 0.0f || (v >= 13.50f && v <= 13.65f)) << v;
    }
    const float group = FloatAt(h, kGroupVoltageOffset);
    EXPECT_GE(group, 20 * 13.50f - 0.1f);
    EXPECT_LE(group, 20 * 13.65f + 0.1f);
    const float current = FloatAt(h, kCurrentOffset);
    EXPECT_GE(current, 0.3f);
    EXPECT_LE(current, 0.7f);
    const float temperature = FloatAt(h, kTemperatureOffset);
    EXPECT_GE(temperature, 24.6f);
    EXPECT_LE(temperature, 25.4f);
  }

  // Healthy again. A silence still running is served out first (at most 3 requests: the ticks
  // re-send), so allow the device the ticks that takes; it must then complete a clean round.
  bench.module.set_faults(simulator::Faults());
  while (bench.module.silence_left() > 0) bench.Tick();
  if (bench.device.poll_step_ != 0) bench.Tick();  // a round broken off mid-way: one more tick
  const std::size_t before = history.size();
  const simulator::Readings cells = bench.module.CellReadings();
  bench.Tick();
  ASSERT_EQ(history.size(), before + 1);
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(FloatAt(history.back(), kCellOffset + 4 * i), static_cast<float>(cells[i]) / 100.0f);
  }
  EXPECT_EQ(FloatAt(history.back(), kTemperatureOffset),
            static_cast<float>(bench.module.TemperatureRaw()) / 100.0f);
}

}  // namespace

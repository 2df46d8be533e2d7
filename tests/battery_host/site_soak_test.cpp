// A whole controller under faults: 32 simulated modules on 4 lines, every reply at risk of noise,
// splitting, loss, a bad checksum, another module's address, an out-of-window value or garbage.
// Every history record of every device must be a complete valid round of its own module: the
// values of the replies its device took in that round, worked out here from the line's bytes.
// CI runs it for a few seconds; BATTERY_HOST_SITE_SOAK_SECONDS=600 runs the ten-minute soak.

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/battery_host/host_run_support.h"
#include "tests/battery_host/site_events.h"

namespace {

using host_run::Bytes;
using host_run::FloatAt;
using host_run::U32At;
using namespace site_events;

constexpr int kLines = 4;
constexpr int kPerLine = 8;

TEST(SiteSoak, EveryRecordOfEveryDeviceIsAValidRoundOfItsOwnModule) {
  const char* env = std::getenv("BATTERY_HOST_SITE_SOAK_SECONDS");
  const int seconds = env != nullptr ? std::atoi(env) : 6;
  std::string site = R"({"lines": [)";
  for (int l = 0; l < kLines; ++l) {
    site += std::string(l ? "," : "") + R"({"port": "sim", "interval_ms": 1000, "devices": [)";
    for (int k = 0; k < kPerLine; ++k) {
      const int id = 10 * (l + 1) + k + 1;
      site += std::string(k ? "," : "") + R"({"data_id": )" + std::to_string(id) +
              R"(, "address": )" + std::to_string(129 + k) + R"(, "sim": {"seed": )" +
              std::to_string(id) + R"(, "faults": 0.03}, "settings": {"appSetting": )" +
              R"({"current_ratio": 1}}})";
    }
    site += "]}";
  }
  site += "]}";
  host_run::ScratchDir dir;
  WriteText(dir.File("site.json"), site);
  const host_run::Result r =
      host_run::Run({"--site", dir.File("site.json"), "--duration", std::to_string(seconds),
                     "--events", dir.File("events.jsonl")},
                    dir);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<Json::Value> events = host_run::ReadEvents(dir.File("events.jsonl"));

  std::size_t records = 0;
  for (int l = 0; l < kLines; ++l) {
    std::set<unsigned int> line;
    for (int k = 0; k < kPerLine; ++k) line.insert(10 * (l + 1) + k + 1);
    ExpectTurnsNeverOverlap(events, line);
    for (int k = 0; k < kPerLine; ++k) {
      const unsigned int id = 10 * (l + 1) + k + 1;
      SCOPED_TRACE("device " + std::to_string(id));
      const std::vector<RoundReplies> rounds =
          RepliesOf(events, id, static_cast<unsigned char>(k + 1), true);
      const std::vector<Bytes> history = History(events, id);
      ASSERT_EQ(rounds.size(), history.size());
      EXPECT_GE(history.size() * 2, static_cast<std::size_t>(seconds) - 2);
      float temperature = 0.0f;
      for (std::size_t n = 0; n < history.size(); ++n) {
        const Bytes& h = history[n];
        temperature = Temperature(rounds[n], temperature);
        ASSERT_EQ(U32At(h, 0), id);
        float sum = 0.0f;
        for (int i = 0; i < 20; ++i) {
          EXPECT_EQ(FloatAt(h, 4 + 4 * i), Cell(rounds[n], i)) << "round " << n << " cell " << i;
          sum += Cell(rounds[n], i);
        }
        const float group = GroupVoltage(rounds[n]);
        EXPECT_EQ(FloatAt(h, 132), group < 40.0f ? sum : group) << "round " << n;
        EXPECT_EQ(FloatAt(h, 136), SensorCurrent(rounds[n])) << "round " << n;
        EXPECT_EQ(FloatAt(h, 141), temperature) << "round " << n;
      }
      records += history.size();
    }
  }
  std::printf("site soak: %d s, %zu history records of %d devices checked\n", seconds, records,
              kLines * kPerLine);
}

}  // namespace

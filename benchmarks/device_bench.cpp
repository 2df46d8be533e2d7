// What the slow controller CPU pays per host query and per poll round.
#include <array>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <json/json.h>

#include "host/xqr_controller.h"
#include "host/xqr_port.h"
#include "string_device/ondrell20.h"
#include "tests/host_recorder.h"

namespace {

class NullPort : public XQRPort {
 public:
  int Write(const unsigned char*, unsigned int len) override { return static_cast<int>(len); }
};

// A configured device that has completed one round, as the host holds it between polls.
struct Fixture {
  Fixture() {
    Json::Value init(Json::objectValue);
    init["address"] = 0x81;
    device.Init(controller, 5001, init);
    device.AttachPort(std::make_shared<NullPort>());
    device.InitSetting(Json::Value(Json::objectValue));
  }
  void Round() {
    device.RefreshStatus();
    auto cells = test::CellFrame(0x01, test::Readings(1234));
    device.process(cells.data(), static_cast<unsigned>(cells.size()));
    for (unsigned raw : {2400u, 250u, 2530u}) {
      auto reply = test::ShortReply(0x01, static_cast<std::uint16_t>(raw));
      device.process(reply.data(), static_cast<unsigned>(reply.size()));
    }
  }
  std::shared_ptr<XQRController> controller = std::make_shared<XQRController>();
  Ondrell20 device;
};

void BM_GetValueCell(benchmark::State& state) {
  Fixture f;
  f.Round();
  const std::string name = "battery_17_value";
  for (auto _ : state) benchmark::DoNotOptimize(f.device.Get_Value(5001, name));
}
BENCHMARK(BM_GetValueCell);

void BM_GetValueGroup(benchmark::State& state) {
  Fixture f;
  f.Round();
  const std::string name = "temperature";
  for (auto _ : state) benchmark::DoNotOptimize(f.device.Get_Value(5001, name));
}
BENCHMARK(BM_GetValueGroup);

// For comparison: what a lookup costs that builds its regular expression on every query.
void BM_RegexPerQuery(benchmark::State& state) {
  const std::string name = "battery_17_value";
  for (auto _ : state) {
    std::smatch m;
    const std::regex pattern("battery_(\\d+)_value");
    benchmark::DoNotOptimize(std::regex_search(name, m, pattern));
  }
}
BENCHMARK(BM_RegexPerQuery);

void BM_PollRound(benchmark::State& state) {
  Fixture f;
  for (auto _ : state) f.Round();
}
BENCHMARK(BM_PollRound);

}  // namespace

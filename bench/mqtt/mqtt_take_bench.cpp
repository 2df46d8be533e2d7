// The MQTT output's Take() for one round's events (4 requests, 4 replies, the record, 23
// threshold requests, the history record, the end of the turn), as the poll thread makes them:
//
//   Empty         an output that does nothing: the cost of the call itself
//   NoBroker      nothing listens on the port: every connection attempt is refused
//   Connected     a Mosquitto broker on loopback, every round published
//   Silent        a socket that listens but never accepts: TCP connects, CONNACK never comes
//
// "max_round_us" is the longest single round of the run. Times are for reading; nothing is
// asserted. The broker is the test's own (tests/mqtt), on a free loopback port.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "battery_host/outputs/mqtt/mqtt_output.h"
#include "tests/mqtt/mqtt_test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

class EmptyOutput : public outputs::Output {
 public:
  void Take(const outputs::HostEvent&) override {}
};

std::vector<outputs::HostEvent> RoundEvents() {
  std::vector<outputs::HostEvent> events;
  for (int step = 0; step < 4; ++step) {
    outputs::HostEvent tx;
    tx.kind = outputs::EventKind::kTx;
    tx.data_id = 1;
    tx.bytes = {0xFE, 0xFE, 0x01, 0xA1, 0xA2};
    events.push_back(tx);
    outputs::HostEvent rx = tx;
    rx.kind = outputs::EventKind::kRx;
    rx.bytes.assign(step == 0 ? 47 : 9, 0x5A);
    events.push_back(rx);
  }
  mqtt_test::RecordValues v;
  v.id = 1;
  for (int i = 0; i < 20; ++i) v.cells[i] = 13.1f + 0.01f * static_cast<float>(i);
  v.group_voltage = 263.0f;
  v.group_current = -12.5f;
  v.temperature = 25.3f;
  v.stamp = mqtt_test::Stamp(12, 8, 14, 3, 59);
  outputs::HostEvent send = mqtt_test::History(v);
  send.kind = outputs::EventKind::kSend;
  send.code = 5013;
  events.push_back(send);
  for (int k = 0; k < 23; ++k) {
    outputs::HostEvent t;
    t.kind = outputs::EventKind::kThreshold;
    t.data_id = 1;
    t.rule.key = k < 3 ? "group_voltage" : "battery_" + std::to_string(k - 3) + "_value";
    t.rule.value = 13.1f;
    events.push_back(t);
  }
  events.push_back(mqtt_test::History(v));
  events.push_back(mqtt_test::TurnEnd(1, false));
  return events;
}

void RunRounds(benchmark::State& state, outputs::Output& out) {
  const std::vector<outputs::HostEvent> events = RoundEvents();
  Clock::duration longest{0};
  for (auto _ : state) {
    const Clock::time_point t0 = Clock::now();
    for (const outputs::HostEvent& e : events) out.Take(e);
    longest = std::max(longest, Clock::now() - t0);
  }
  state.counters["max_round_us"] = std::chrono::duration<double, std::micro>(longest).count();
  state.counters["events"] = static_cast<double>(events.size());
}

std::unique_ptr<outputs::Output> Started(const std::string& url) {
  mqtt::MqttOptions options;
  options.url = url;
  options.prefix = "bench";
  options.retry_min_ms = 50;
  options.retry_max_ms = 200;
  options.connack_timeout_ms = 500;
  std::string error;
  auto out = mqtt::MakeMqttOutput(options, &error);
  if (!out) return nullptr;
  outputs::DeviceInfo d;
  d.data_id = 1;
  out->Start({d}, [](const std::string&) {});
  return out;
}

void Empty(benchmark::State& state) {
  EmptyOutput out;
  RunRounds(state, out);
}

void NoBroker(benchmark::State& state) {
  auto out = Started("mqtt://127.0.0.1:" + std::to_string(mqtt_test::FreePort()));
  RunRounds(state, *out);
  out->Stop();
}

void Connected(benchmark::State& state) {
  mqtt_test::ScratchDir dir;
  mqtt_test::TestBroker broker(dir);
  if (!broker.Start()) {
    state.SkipWithError("mosquitto did not start");
    return;
  }
  auto out = Started(broker.url());
  RunRounds(state, *out);
  out->Stop();
}

void Silent(benchmark::State& state) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  listen(listener, 64);
  socklen_t len = sizeof addr;
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  auto out = Started("mqtt://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)));
  RunRounds(state, *out);
  out->Stop();
  close(listener);
}

BENCHMARK(Empty)->MinTime(0.5);
BENCHMARK(NoBroker)->MinTime(0.5);
BENCHMARK(Connected)->MinTime(0.5);
BENCHMARK(Silent)->MinTime(0.5);

}  // namespace

BENCHMARK_MAIN();

// What battery-host itself costs per device round on a shared line: a Line giving its devices
// their turns, the events each round makes handed to an output, against the same devices and
// simulated modules driven directly (no line, no events). Both run real ondrell_20 devices on
// our framework, with the modules of a simulator::Bus answering on a pseudo-terminal in the same
// thread, so the difference between the two rows is the host's share. Times are for reading.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "battery_host/bus/device_port.h"
#include "battery_host/bus/line.h"
#include "battery_host/outputs/device_listener.h"
#include "host_framework/device_book.h"
#include "host_framework/xqr_controller.h"
#include "simulator/bms_bus.h"
#include "simulator/serve.h"
#include "string_device/ondrell20.h"

namespace {

class CountingOutput : public outputs::Output {
 public:
  void Take(const outputs::HostEvent&) override { ++events; }
  long events = 0;
};

struct Rig {
  explicit Rig(int devices) {
    std::string error;
    simulator::OpenPty(&pty, &error);
    std::vector<simulator::Config> configs;
    bus::Line::Settings s;
    s.port_path = pty.slave_path;
    s.port_label = "bench";
    s.reply_timeout_ms = 1000;
    s.guard_ms = 0;  // the guard costs wire time, not the host's work measured here
    line = std::make_unique<bus::Line>(s, out, [](const std::string&) {});
    controller->SetListener(&listener);
    for (int i = 0; i < devices; ++i) {
      simulator::Config c;
      c.address = static_cast<std::uint8_t>(i + 1);
      c.current_encoding = simulator::CurrentEncoding::kSensor;
      c.seed = static_cast<std::uint64_t>(i + 1);
      configs.push_back(c);
      auto d = std::make_unique<Ondrell20>();
      d->Init(controller, static_cast<unsigned int>(i + 1), Json::Value());
      d->addr_ = static_cast<std::uint8_t>(0x81 + i);
      Json::Value settings;
      settings["appSetting"]["current_ratio"] = 1;
      d->InitSetting(settings);
      host_framework::AttachPort(*d, std::make_shared<bus::DevicePort>(*line, d->DataId()));
      controller->AddDevice(d.get());
      line->AddDevice(d.get());
      owned.push_back(std::move(d));
    }
    bus = std::make_unique<simulator::Bus>(configs);
    line->OpenPort(&error);
  }
  ~Rig() { simulator::ClosePty(&pty); }

  // The module side: answer what the host wrote, at once.
  void Answer() {
    unsigned char buf[256];
    const ssize_t n = read(pty.master, buf, sizeof buf);
    if (n <= 0) return;
    for (const simulator::BusReply& r : bus->Receive(buf, static_cast<std::size_t>(n))) {
      for (const simulator::Bytes& c : r.reply.chunks) {
        if (write(pty.master, c.data(), c.size()) < 0) return;
      }
    }
  }

  // One period: every device's turn, each a whole round.
  void Period() {
    line->Tick();
    while (line->busy()) {
      Answer();
      pollfd p{line->port_fd(), POLLIN, 0};
      if (poll(&p, 1, 1000) <= 0) break;
      line->OnReadable();
    }
  }

  std::shared_ptr<XQRController> controller = std::make_shared<XQRController>();
  CountingOutput out;
  outputs::DeviceListener listener{out};
  std::unique_ptr<bus::Line> line;
  std::unique_ptr<simulator::Bus> bus;
  std::vector<std::unique_ptr<Ondrell20>> owned;
  simulator::Pty pty;
};

void BM_LinePeriod(benchmark::State& state) {
  const int devices = static_cast<int>(state.range(0));
  Rig rig(devices);
  for (auto _ : state) rig.Period();
  state.counters["device_rounds"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * devices, benchmark::Counter::kIsRate);
  state.counters["events/round"] =
      static_cast<double>(rig.out.events) / (static_cast<double>(state.iterations()) * devices);
}
BENCHMARK(BM_LinePeriod)->Arg(1)->Arg(8)->Arg(32)->Unit(benchmark::kMicrosecond);

// The same rounds with the device's port written and read directly: no turns, no events.
class DirectPort : public XQRPort {
 public:
  explicit DirectPort(int fd) : fd_(fd) {}
  int Write(const unsigned char* data, unsigned int len) override {
    return static_cast<int>(write(fd_, data, len));
  }

 private:
  int fd_;
};

void BM_DirectRound(benchmark::State& state) {
  Rig rig(1);
  std::string error;
  bus::SerialPort port;
  rig.line.reset();
  port.Open(rig.pty.slave_path, 19200, &error);
  Ondrell20& d = *rig.owned[0];
  host_framework::AttachPort(d, std::make_shared<DirectPort>(port.fd()));
  unsigned char buf[256];
  for (auto _ : state) {
    d.RefreshStatus();
    for (int more = 1; more;) {
      rig.Answer();
      pollfd p{port.fd(), POLLIN, 0};
      if (poll(&p, 1, 1000) <= 0) break;
      const ssize_t n = read(port.fd(), buf, sizeof buf);
      if (n <= 0) break;
      more = d.process(buf, static_cast<unsigned int>(n));
    }
  }
}
BENCHMARK(BM_DirectRound)->Unit(benchmark::kMicrosecond);

}  // namespace

// The devices' diagnostic lines ("rvSize is 23") go to standard output; the figures go to the
// original one.
int main(int argc, char** argv) {
  std::fflush(stdout);
  const int figures = dup(STDOUT_FILENO);
  const int null = open("/dev/null", O_WRONLY);
  dup2(null, STDOUT_FILENO);
  close(null);
  std::ofstream out("/proc/self/fd/" + std::to_string(figures));
  benchmark::Initialize(&argc, argv);
  benchmark::ConsoleReporter reporter(benchmark::ConsoleReporter::OO_Tabular);
  reporter.SetOutputStream(&out);
  reporter.SetErrorStream(&out);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  return 0;
}

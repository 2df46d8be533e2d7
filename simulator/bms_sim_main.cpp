// bms-sim: a battery-monitoring module on a serial port or a pseudo-terminal, for running the
// plug-in or a host program against something that answers like the real module, with faults
// injected at chosen rates.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "simulator/bms_module.h"
#include "simulator/serial_line.h"
#include "simulator/serve.h"

namespace {

const char kUsage[] =
    "usage: bms-sim [--port DEVICE | --pty] [--address N] [--cells N] [--discharge]\n"
    "               [--current-sensor] [--seed N] [--noise R] [--split R] [--drop R]\n"
    "               [--bad-checksum R] [--wrong-address R] [--out-of-window R] [--garbage R]\n"
    "               [--silence R] [--silence-requests N] [--chunk-gap MS] [--time-scale X]\n"
    "               [--verbose]\n"
    "  --port DEVICE   serve on a serial device (raw 19200 8N1)\n"
    "  --pty           serve on a new pseudo-terminal and print its path (the default)\n"
    "  --address N     bus address, 0..255, decimal or 0x.. (default 0x01)\n"
    "  --cells N       cells in the string, 0..32 (default 20)\n"
    "  --discharge     a load draws 20..40 A and the cells fall slowly\n"
    "  --current-sensor  current in the hall sensor's encoding instead of tenths of an ampere\n"
    "  R               chance per reply, 0..1, of that fault (default 0)\n"
    "  --silence-requests N  requests left unanswered once silence starts (default 8)\n"
    "  --chunk-gap MS  pause between the pieces of a split reply (default 20)\n"
    "  --time-scale X  simulated seconds per real second (default 1)\n";

int g_stop_pipe[2] = {-1, -1};

extern "C" void OnSignal(int) {
  const int saved = errno;
  const char c = 1;
  ssize_t ignored = write(g_stop_pipe[1], &c, 1);
  (void)ignored;
  errno = saved;
}

[[noreturn]] void Usage(const std::string& problem) {
  std::cerr << "bms-sim: " << problem << "\n" << kUsage;
  std::exit(2);
}

unsigned long Unsigned(const char* opt, const char* text, unsigned long max) {
  errno = 0;
  char* end = nullptr;
  const unsigned long v = std::strtoul(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || v > max) {
    Usage(std::string(opt) + " wants a whole number 0.." + std::to_string(max) + ", not \"" +
          text + "\"");
  }
  return v;
}

double Number(const char* opt, const char* text, double lo, double hi) {
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !(v >= lo && v <= hi)) {
    std::ostringstream range;
    range << lo << ".." << hi;
    Usage(std::string(opt) + " wants a number " + range.str() + ", not \"" + text + "\"");
  }
  return v;
}

void PrintCounters(const bms_sim::Module& m) {
  const bms_sim::Counters& c = m.counters();
  std::cout << "bms-sim: " << c.bytes_received << " bytes received, " << c.requests_seen
            << " requests answered or withheld, " << c.requests_ignored << " ignored, "
            << c.replies_sent << " replies sent (" << c.replies_clean << " clean)\n";
  std::cout << "bms-sim: faults:";
  for (int b = 0; b < bms_sim::kFaultKinds; ++b) {
    std::cout << ' ' << bms_sim::FaultName(1u << b) << ' ' << c.faults[b];
  }
  std::cout << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
  bms_sim::Config config;
  bms_sim::ServeOptions serve;
  std::string port;
  bool verbose = false;

  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) Usage(a + " needs a value");
      return argv[++i];
    };
    bms_sim::Faults& f = config.faults;
    if (a == "--port") port = value();
    else if (a == "--pty") port.clear();
    else if (a == "--address")
      config.address = static_cast<std::uint8_t>(Unsigned("--address", value(), 255));
    else if (a == "--cells") config.cells = static_cast<int>(Unsigned("--cells", value(), 32));
    else if (a == "--discharge") config.discharge = true;
    else if (a == "--current-sensor") config.current_encoding = bms_sim::CurrentEncoding::kSensor;
    else if (a == "--seed") config.seed = Unsigned("--seed", value(), ~0ul);
    else if (a == "--noise") f.noise = Number("--noise", value(), 0, 1);
    else if (a == "--split") f.split = Number("--split", value(), 0, 1);
    else if (a == "--drop") f.drop = Number("--drop", value(), 0, 1);
    else if (a == "--bad-checksum") f.bad_checksum = Number("--bad-checksum", value(), 0, 1);
    else if (a == "--wrong-address") f.wrong_address = Number("--wrong-address", value(), 0, 1);
    else if (a == "--out-of-window") f.out_of_window = Number("--out-of-window", value(), 0, 1);
    else if (a == "--garbage") f.garbage = Number("--garbage", value(), 0, 1);
    else if (a == "--silence") f.silence = Number("--silence", value(), 0, 1);
    else if (a == "--silence-requests")
      f.silence_requests = static_cast<unsigned>(Unsigned("--silence-requests", value(), 1000000));
    else if (a == "--chunk-gap")
      serve.chunk_gap_ms = static_cast<int>(Unsigned("--chunk-gap", value(), 10000));
    else if (a == "--time-scale") serve.time_scale = Number("--time-scale", value(), 0, 1e6);
    else if (a == "--verbose") verbose = true;
    else if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return 0;
    } else {
      Usage("unknown option " + a);
    }
  }

  if (pipe2(g_stop_pipe, O_CLOEXEC) != 0) {
    std::cerr << "bms-sim: pipe: " << std::strerror(errno) << std::endl;
    return 1;
  }
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  serve.stop_fd = g_stop_pipe[0];

  bms_sim::Pty pty;
  int fd = -1;
  std::string path, error;
  if (port.empty()) {
    if (!bms_sim::OpenPty(&pty, &error)) {
      std::cerr << "bms-sim: cannot create a pseudo-terminal: " << error << std::endl;
      return 1;
    }
    fd = pty.master;
    path = pty.slave_path;
  } else {
    fd = serial_line::OpenRaw19200(port, &error);
    if (fd < 0) {
      std::cerr << "bms-sim: " << error << std::endl;
      return 1;
    }
    path = port;
  }

  bms_sim::Module module(config);
  char addr[8];
  std::snprintf(addr, sizeof addr, "0x%02X", config.address);
  std::cout << "bms-sim: serving address " << addr << " on " << path << std::endl;
  if (verbose) serve.log = &std::cout;

  const bms_sim::ServeResult result = bms_sim::Serve(fd, module, serve);
  if (port.empty()) {
    bms_sim::ClosePty(&pty);
  } else {
    close(fd);
  }
  PrintCounters(module);
  if (!result.ok) {
    std::cerr << "bms-sim: " << path << ": " << result.error << std::endl;
    return 1;
  }
  return 0;
}

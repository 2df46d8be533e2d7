#include "battery_host/options.h"

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>

namespace {

// Whole-string unsigned decimal within [min, max]; "12x", "-1" and "" are refused.
bool ParseUnsigned(const std::string& text, unsigned long long min, unsigned long long max,
                   unsigned long long* out) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

bool ParseRate(const std::string& text, double* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (*end != '\0' || !(v >= 0.0 && v <= 1.0)) return false;
  *out = v;
  return true;
}

}  // namespace

const char* HostUsage() {
  return "usage: battery-host [--plugin PATH] [--settings FILE] [--port DEVICE] [--address N]\n"
         "                    [--data-id N] [--interval-ms N] [--rounds N] [--events FILE]\n"
         "                    [--cache FILE] [--log FILE] [--plain]\n"
         "                    [--sim-discharge] [--sim-seed N] [--sim-faults RATE]\n";
}

std::optional<HostOptions> ParseHostOptions(int argc, const char* const* argv,
                                            std::string* error) {
  HostOptions o;
  error->clear();
  using Setter = std::function<bool(const std::string&)>;
  auto number = [](unsigned int* target, unsigned long long min, unsigned long long max) {
    return Setter([=](const std::string& v) {
      unsigned long long n = 0;
      if (!ParseUnsigned(v, min, max, &n)) return false;
      *target = static_cast<unsigned int>(n);
      return true;
    });
  };
  auto text = [](std::string* target) {
    return Setter([=](const std::string& v) {
      if (v.empty()) return false;
      *target = v;
      return true;
    });
  };
  const std::map<std::string, Setter> with_value = {
      {"--plugin", text(&o.plugin)},
      {"--settings", text(&o.settings)},
      {"--port", text(&o.port)},
      {"--address", number(&o.address, 0, 255)},
      {"--data-id", number(&o.data_id, 0, 0xFFFFFFFFull)},
      {"--interval-ms", number(&o.interval_ms, 10, 3600000)},
      {"--rounds", number(&o.rounds, 1, 1000000)},
      {"--events", text(&o.events)},
      {"--cache", text(&o.cache)},
      {"--log", text(&o.log)},
      {"--sim-seed",
       [&o](const std::string& v) {
         unsigned long long n = 0;
         if (!ParseUnsigned(v, 0, ~0ull, &n)) return false;
         o.sim_seed = n;
         return true;
       }},
      {"--sim-faults", [&o](const std::string& v) { return ParseRate(v, &o.sim_faults); }},
  };
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") return std::nullopt;
    if (arg == "--sim-discharge") {
      o.sim_discharge = true;
      continue;
    }
    if (arg == "--plain") {
      o.plain = true;
      continue;
    }
    // Both "--name value" and "--name=value".
    std::string value;
    bool inline_value = false;
    const std::size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      inline_value = true;
    }
    auto option = with_value.find(arg);
    if (option == with_value.end()) {
      *error = "unknown option " + arg;
      return std::nullopt;
    }
    if (!inline_value) {
      if (i + 1 >= argc) {
        *error = "option " + arg + " needs a value";
        return std::nullopt;
      }
      value = argv[++i];
    }
    if (!option->second(value)) {
      *error = "invalid value '" + value + "' for " + arg;
      return std::nullopt;
    }
  }
  return o;
}

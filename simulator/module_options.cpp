#include "simulator/module_options.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace simulator {

namespace {

enum class Kind { kWhole, kNumber, kSwitch };

using Setter = void (*)(Config*, unsigned long long whole, double number);

struct Key {
  SettingKey text;
  Kind kind;
  unsigned long long max;  // kWhole
  double lo, hi;           // kNumber
  Setter set;
};

Key Whole(SettingKey text, unsigned long long max, Setter set) {
  return Key{text, Kind::kWhole, max, 0, 0, set};
}
Key Number(SettingKey text, double lo, double hi, Setter set) {
  return Key{text, Kind::kNumber, 0, lo, hi, set};
}
Key Switch(SettingKey text, Setter set) { return Key{text, Kind::kSwitch, 0, 0, 0, set}; }

#define RATE(name, member, what)                                                 \
  Number({name, "R", "chance per reply, 0..1, that " what " (default 0)"}, 0, 1, \
         [](Config* c, unsigned long long, double v) { c->faults.member = v; })

const std::vector<Key>& Keys() {
  static const std::vector<Key> keys = {
      Whole({"address", "N", "bus address, 0..255, decimal or 0x.. (default 0x01)"}, 255,
            [](Config* c, unsigned long long v, double) {
              c->address = static_cast<std::uint8_t>(v);
            }),
      Whole({"cells", "N",
             "12 V blocks in the string, 0..32; readings beyond them are 0 (default 20)"},
            kReadings,
            [](Config* c, unsigned long long v, double) { c->cells = static_cast<int>(v); }),
      Whole(
          {"seed", "N", "seed of the values and the fault draws; a seed repeats a run (default 1)"},
          ~0ull, [](Config* c, unsigned long long v, double) { c->seed = v; }),
      Switch({"discharge", "",
              "a capacity test: a load draws a constant current and the blocks follow a lead-acid "
              "curve (dip and recovery, plateau, knee) until the string reaches 10.5 V a block, "
              "when the load trips and they rest (default: float charge, 13.575 V a block and "
              "0.5 A)"},
             [](Config* c, unsigned long long v, double) { c->discharge = v != 0; }),
      Number({"discharge-current", "A", "amperes the --discharge load draws, 1..1000 (default 50)"},
             1, 1000, [](Config* c, unsigned long long, double v) { c->discharge_current = -v; }),
      Number({"capacity", "AH",
              "a healthy block's capacity at that current, 1..10000 ampere-hours; the blocks "
              "spread by 3 % around it (default 100: 2 h at 50 A)"},
             1, 10000, [](Config* c, unsigned long long, double v) { c->capacity_ah = v; }),
      Number({"load-step", "A",
              "during --discharge, every 10 minutes from the 5th the load draws this many "
              "amperes more for a minute, 0..1000 (default 0: none)"},
             0, 1000, [](Config* c, unsigned long long, double v) { c->load_step = v; }),
      Switch({"current-sensor", "",
              "current in the hall sensor's encoding ((A / 50 + 2) x 1250) instead of tenths of "
              "an ampere (default: tenths, negative ones as 16-bit two's complement)"},
             [](Config* c, unsigned long long v, double) {
               c->current_encoding = v ? CurrentEncoding::kSensor : CurrentEncoding::kTenths;
             }),
      Whole({"weak-cell", "N",
             "block number, 1..cells, of one weak block: less capacity and more internal "
             "resistance, so it reaches the end voltage first during --discharge (default 0: "
             "none)"},
            kReadings,
            [](Config* c, unsigned long long v, double) { c->weak_cell = static_cast<int>(v); }),
      Number({"weak-capacity", "F",
              "the weak block's capacity as a fraction of the others', 0.05..1; its resistance "
              "is theirs / F squared (default 0.5)"},
             0.05, 1, [](Config* c, unsigned long long, double v) { c->weak_capacity = v; }),
      Switch({"silent", "",
              "on the line but never answering, until the command answer ADDR "
              "(default: answering)"},
             [](Config* c, unsigned long long v, double) { c->silent = v != 0; }),
      RATE("noise", noise, "1..8 stray bytes (never 0xED) come just before the reply"),
      RATE("split", split, "the reply is written in 2..4 pieces with --chunk-gap between"),
      RATE("drop", drop, "a request gets no reply"),
      RATE("bad-checksum", bad_checksum, "the reply's checksum is wrong"),
      RATE("wrong-address", wrong_address, "the reply carries another module's address"),
      RATE("out-of-window", out_of_window,
           "a cell (A1) or the temperature (A4) is outside its plausible window"),
      RATE("garbage", garbage, "16..48 random bytes, maybe with 0xED, come before the reply"),
      RATE("silence", silence, "the module stops answering for --silence-requests requests"),
      Whole({"silence-requests", "N",
             "requests left unanswered once a silence starts, 0..1000000 (default 8)"},
            1000000,
            [](Config* c, unsigned long long v, double) {
              c->faults.silence_requests = static_cast<unsigned>(v);
            }),
  };
  return keys;
}

#undef RATE

std::string Range(double lo, double hi) {
  std::ostringstream s;
  s << lo << ".." << hi;
  return s.str();
}

}  // namespace

std::optional<unsigned long long> ParseWhole(const std::string& text, unsigned long long max) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty()) return std::nullopt;
  for (char ch : digits) {
    const bool ok =
        hex ? std::isxdigit(static_cast<unsigned char>(ch)) != 0 : (ch >= '0' && ch <= '9');
    if (!ok) return std::nullopt;
  }
  errno = 0;
  const unsigned long long v = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
  if (errno != 0 || v > max) return std::nullopt;
  return v;
}

std::optional<double> ParseNumber(const std::string& text, double lo, double hi) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !(v >= lo && v <= hi)) return std::nullopt;
  return v;
}

const std::vector<SettingKey>& ModuleKeys() {
  static const std::vector<SettingKey> keys = [] {
    std::vector<SettingKey> k;
    for (const Key& key : Keys()) k.push_back(key.text);
    return k;
  }();
  return keys;
}

std::string ApplySetting(const std::string& name, const char* value, Config* config) {
  for (const Key& key : Keys()) {
    if (name != key.text.name) continue;
    const std::string text = value ? value : "";
    switch (key.kind) {
      case Kind::kSwitch:
        if (!value || text == "true" || text == "1") {
          key.set(config, 1, 0);
        } else if (text == "false" || text == "0") {
          key.set(config, 0, 0);
        } else {
          return "is a switch: true, false or nothing, not \"" + text + "\"";
        }
        return "";
      case Kind::kWhole:
        if (const auto v = value ? ParseWhole(text, key.max) : std::nullopt) {
          key.set(config, *v, 0);
          return "";
        }
        return "wants a whole number 0.." + std::to_string(key.max) + ", not \"" + text + "\"";
      case Kind::kNumber:
        if (const auto v = value ? ParseNumber(text, key.lo, key.hi) : std::nullopt) {
          key.set(config, 0, *v);
          return "";
        }
        return "wants a number " + Range(key.lo, key.hi) + ", not \"" + text + "\"";
    }
  }
  return "is not a setting of a module";
}

std::string ApplyModuleItems(const std::string& items, Config* config) {
  std::size_t from = 0;
  for (;;) {
    const std::size_t comma = items.find(',', from);
    const std::string item = items.substr(from, comma == std::string::npos ? comma : comma - from);
    if (item.empty()) return "an empty item (two commas, or one at an end)";
    const std::size_t eq = item.find('=');
    const std::string key = item.substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
    const std::string problem =
        ApplySetting(key, eq == std::string::npos ? nullptr : value.c_str(), config);
    if (!problem.empty()) return (key.empty() ? "\"" + item + "\"" : key) + " " + problem;
    if (comma == std::string::npos) return "";
    from = comma + 1;
  }
}

std::string CheckConfig(const Config& config) {
  if (config.weak_cell > config.cells) {
    return "weak-cell " + std::to_string(config.weak_cell) + " is beyond its " +
           std::to_string(config.cells) + " cells";
  }
  return "";
}

}  // namespace simulator

#include "battery_host/config/options.h"

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <sstream>

#include <CLI/CLI.hpp>

#include "ondrell_version.h"

namespace config {

namespace {

constexpr const char* kDescription =
    "battery-host: runs battery-string devices of the ondrell_20 plug-in the way the UPS "
    "controller's monitoring framework does, on serial lines or on the built-in module "
    "simulator, and keeps and shows what they measure.";

// Values are refused the way a person would say it: "--rounds must be a whole number from 1 to
// 1000000". A check returns what follows the option's name; ParseHostOptions joins the two.

// 1e6 as 1000000, 0.05 as 0.05.
std::string Plain(double v) {
  std::ostringstream s;
  s.precision(15);
  s << std::fixed << v;
  std::string text = s.str();
  text.erase(text.find_last_not_of('0') + 1);
  if (text.back() == '.') text.pop_back();
  return text;
}

// A number within [low, high].
CLI::Validator Between(double low, double high) {
  return CLI::Validator(
      [low, high](std::string& text) {
        char* end = nullptr;
        const double v = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !(v >= low && v <= high)) {
          return "must be a number from " + Plain(low) + " to " + Plain(high);
        }
        return std::string();
      },
      "");
}

const CLI::Validator kRate = Between(0.0, 1.0);

// Plain decimal digits within [low, high]: the conversion alone would let "-1" wrap around to
// the largest value. `unit` names what is counted ("ms"), if anything.
CLI::Validator Whole(unsigned long long low, unsigned long long high,
                     const std::string& unit = "") {
  return CLI::Validator(
      [low, high, unit](std::string& text) {
        errno = 0;
        const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
        if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
            errno == ERANGE || v < low || v > high) {
          return "must be a whole number " + (unit.empty() ? "" : "of " + unit + " ") + "from " +
                 std::to_string(low) + " to " + std::to_string(high);
        }
        return std::string();
      },
      "");
}

// A number of `unit` above 0 and at most `most` (a run's clock counts in 64-bit nanoseconds,
// which end after 292 years).
CLI::Validator MoreThanZero(double most, const std::string& unit) {
  return CLI::Validator(
      [most, unit](std::string& text) {
        char* end = nullptr;
        const double v = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !(v > 0.0)) return "must be more than 0 " + unit;
        if (!(v <= most)) return "must be at most " + Plain(most) + " " + unit;
        return std::string();
      },
      "");
}

// Help in the shape people expect of a Unix program: the option, its value's name, and a
// description that ends with the default. CLI11's own layout adds validator texts and the
// options each excludes; the description says that in words instead.
class HelpFormatter : public CLI::Formatter {
 public:
  std::string make_option_opts(const CLI::Option* opt) const override {
    if (opt->get_type_size() == 0) return std::string();  // a flag takes no value
    const std::string name = opt->get_type_name();
    return " " + name.substr(0, name.find(':'));  // without the validators' texts
  }
};

template <typename T>
std::string Default(const T& value) {
  std::ostringstream s;
  s << value;
  return " [default: " + s.str() + "]";
}

// A site without a site file: one device. Its options are returned, so that --site excludes
// each.
std::vector<CLI::Option*> AddOneDeviceOptions(CLI::App& app, HostOptions* o, const HostOptions& d) {
  const std::string one = "One device (not with --site)";
  std::vector<CLI::Option*> single;
  single.push_back(app.add_option("--settings", o->settings,
                                  "the device's JSON settings [default: the shipped example]")
                       ->type_name("FILE")
                       ->group(one));
  single.push_back(app.add_option("--port", o->port,
                                  "serial device of the module [default: the simulator on a "
                                  "pseudo-terminal]")
                       ->type_name("DEVICE")
                       ->group(one));
  single.push_back(app.add_option("--address", o->address,
                                  "bus address in the host's form, bit 7 set (129 talks to 0x01)" +
                                      Default(d.address))
                       ->check(Whole(0, 255))
                       ->type_name("N")
                       ->group(one));
  single.push_back(
      app.add_option("--data-id", o->data_id, "the device's data id" + Default(d.data_id))
          ->check(Whole(0, 4294967295ull))
          ->type_name("N")
          ->group(one));
  single.push_back(
      app.add_option("--interval-ms", o->interval_ms, "poll period in ms" + Default(d.interval_ms))
          ->check(Whole(10, 3600000, "ms"))
          ->type_name("MS")
          ->group(one));
  single.push_back(app.add_option("--reply-timeout-ms", o->reply_timeout_ms,
                                  "silence after which the module's turn on the line ends, in ms" +
                                      Default(d.reply_timeout_ms))
                       ->check(Whole(1, 60000, "ms"))
                       ->type_name("MS")
                       ->group(one));
  single.push_back(app.add_option("--guard-ms", o->guard_ms,
                                  "quiet needed on the line before a request goes out, in ms; "
                                  "what arrives meanwhile is discarded" +
                                      Default(d.guard_ms))
                       ->check(Whole(0, 10000, "ms"))
                       ->type_name("MS")
                       ->group(one));
  single.push_back(app.add_option("--cache", o->cache,
                                  "record cache: restored at start, replaced after every round "
                                  "[default: none]")
                       ->type_name("FILE")
                       ->group(one));
  return single;
}

// The simulator of that one device; its options are added to `single`.
void AddSimulatorOptions(CLI::App& app, HostOptions* o, const HostOptions& d,
                         std::vector<CLI::Option*>* single_out) {
  std::vector<CLI::Option*>& single = *single_out;
  const std::string sim = "Simulator of the one device (not with --site)";
  single.push_back(app.add_flag("--sim-discharge", o->sim_discharge,
                                "the simulated string has a capacity test: 50 A until it reaches "
                                "10.5 V a block [default: float charge]")
                       ->group(sim));
  single.push_back(app.add_option("--sim-seed", o->sim_seed,
                                  "seed: same seed, same values and faults" + Default(d.sim_seed))
                       ->check(Whole(0, 18446744073709551615ull))
                       ->type_name("N")
                       ->group(sim));
  single.push_back(app.add_option("--sim-faults", o->sim_faults,
                                  "chance (0 to 1) that a reply is damaged: noise, split, "
                                  "dropped, bad checksum, wrong address, out-of-window, garbage" +
                                      Default(d.sim_faults))
                       ->check(kRate)
                       ->type_name("RATE")
                       ->group(sim));
  single.push_back(app.add_option("--sim-time-scale", o->sim_time_scale,
                                  "simulated seconds per real second (60: an hour a minute)" +
                                      Default(d.sim_time_scale))
                       ->check(Between(0.0, 1e6))
                       ->type_name("X")
                       ->group(sim));
  single.push_back(app.add_option("--sim-weak-cell", o->sim_weak_cell,
                                  "block number (from 1) that is weak in a discharge; 0: none" +
                                      Default(d.sim_weak_cell))
                       ->check(Whole(0, 32))
                       ->type_name("N")
                       ->group(sim));
  single.push_back(app.add_option("--sim-weak-capacity", o->sim_weak_capacity,
                                  "capacity of the weak block, as a fraction of the others'" +
                                      Default(d.sim_weak_capacity))
                       ->check(Between(0.05, 1.0))
                       ->type_name("F")
                       ->group(sim));
  single.push_back(app.add_option("--sim-load-step", o->sim_load_step,
                                  "amperes the discharge's load draws more for a minute every "
                                  "10 minutes, for a resistance estimate; 0: none" +
                                      Default(d.sim_load_step))
                       ->check(Between(0.0, 1000.0))
                       ->type_name("A")
                       ->group(sim));
}

// What the host runs and where its output goes.
void AddRunOptions(CLI::App& app, HostOptions* o) {
  app.add_option(
         "--plugin", o->plugin,
         "the plug-in library [default: ondrell_20.so beside the executable, else the plug-in "
         "package's]")
      ->type_name("PATH");
  app.add_option("--rounds", o->rounds,
                 "exit 0 once every device completed N rounds; exit 1 when they did not within "
                 "8 periods per round plus a margin [default: run until stopped]")
      ->check(Whole(1, 1000000))
      ->type_name("N");
  app.add_option("--duration", o->duration_s,
                 "exit 0 after this many seconds [default: run until stopped]")
      ->check(MoreThanZero(1e9, "seconds"))  // 31 years
      ->type_name("SECONDS");
  app.add_option("--events", o->events,
                 "events file, JSON Lines: every frame, record, threshold request, alarm and "
                 "port change; appended to [default: none]")
      ->type_name("FILE");
  app.add_flag("--events-new", o->events_new,
               "start the events file anew instead of appending to it [default: append]");
  app.add_option("--log", o->log,
                 "where the plug-in's own standard-output lines go [default: discarded]")
      ->type_name("FILE");
  app.add_flag("--plain", o->plain,
               "one line per round even on a terminal [default: a live view on a terminal, "
               "one line per round otherwise]");
}

void AddHistoryOptions(CLI::App& app, HostOptions* o) {
  const std::string history = "History";
  app.add_option("--history", o->history,
                 "SQLite database of every history record, alarm and port change "
                 "[default: none]")
      ->type_name("FILE")
      ->group(history);
  app.add_option("--history-keep", o->history_keep_days,
                 "days of history kept; older rounds are pruned [default: 0, keep all]")
      ->type_name("DAYS")
      ->check(Whole(0, 36500, "days"))
      ->group(history);
  app.add_flag("--history-every-round", o->history_every_round,
               "a row for every round [default: a row when something changed, the rest folded "
               "into it]")
      ->group(history);
  app.add_option("--history-deadband", o->history_deadband,
                 "volts the group and a cell must move from the last row for a new one "
                 "[default: 0.01 0.05]")
      ->type_name("GROUP CELL")
      ->check(CLI::Range(0.0, 1000.0))
      ->group(history);
}

void AddMqttOptions(CLI::App& app, HostOptions* o, const HostOptions& d) {
  const std::string mqtt = "MQTT";
  app.add_option("--mqtt", o->mqtt,
                 "publish to this broker: mqtt://host[:port] or mqtts://host[:port] "
                 "[default: none]")
      ->type_name("URL")
      ->group(mqtt);
  app.add_option("--mqtt-credentials", o->mqtt_credentials,
                 "file with the user name and password for the broker [default: none]")
      ->type_name("FILE")
      ->group(mqtt);
  app.add_option("--mqtt-ca", o->mqtt_ca,
                 "CA certificate file for mqtts:// [default: the system's CA store]")
      ->type_name("FILE")
      ->group(mqtt);
  app.add_option("--mqtt-prefix", o->mqtt_prefix,
                 "topic prefix of the published values" + Default(d.mqtt_prefix))
      ->type_name("TEXT")
      ->group(mqtt);
  app.add_option("--mqtt-site", o->mqtt_site,
                 "site name: a topic level after the prefix and part of every Home Assistant "
                 "id, so that many sites can share one broker [default: the site file's "
                 "\"mqtt_site\", else none]")
      ->type_name("NAME")
      ->group(mqtt);
  app.add_option("--mqtt-discovery-prefix", o->mqtt_discovery_prefix,
                 "Home Assistant discovery prefix" + Default(d.mqtt_discovery_prefix))
      ->type_name("TEXT")
      ->group(mqtt);
}

// Parses the command line; help and the version are texts to print.
ParseResult Parse(CLI::App& app, int argc, const char* const* argv, std::string* text) {
  try {
    app.parse(argc, argv);
    // A file or a broker given as '' (an unset shell variable) would quietly mean none.
    for (const char* name : {"--site", "--settings", "--port", "--cache", "--plugin", "--events",
                             "--log", "--history", "--mqtt", "--mqtt-credentials", "--mqtt-ca"}) {
      const CLI::Option* option = app.get_option_no_throw(name);
      if (option == nullptr || option->count() == 0 || !option->results().front().empty()) continue;
      *text = std::string(name) + (std::string(name) == "--mqtt"
                                       ? " must name a broker: mqtt://host[:port] or "
                                         "mqtts://host[:port]"
                                       : " must not be empty");
      return ParseResult::kError;
    }
  } catch (const CLI::CallForHelp&) {
    *text = app.help();
    return ParseResult::kHelp;
  } catch (const CLI::CallForVersion& e) {
    *text = std::string(e.what()) + "\n";
    return ParseResult::kHelp;
  } catch (const CLI::ParseError& e) {
    *text = e.what();
    // "--rounds: must be ..." from a check above reads "--rounds must be ...".
    const std::size_t joint = text->find(": must be ");
    if (joint != std::string::npos && text->rfind("--", 0) == 0) text->erase(joint, 1);
    return ParseResult::kError;
  }
  return ParseResult::kRun;
}

}  // namespace

ParseResult ParseHostOptions(int argc, const char* const* argv, HostOptions* o, std::string* text) {
  CLI::App app(kDescription, "battery-host");
  auto formatter = std::make_shared<HelpFormatter>();
  formatter->column_width(30);
  app.formatter(formatter);
  const HostOptions d;  // the defaults, for the help texts
  app.set_version_flag("--version", "battery-host " ONDRELL_VERSION, "print the version and exit");

  app.add_option(
         "--site", o->site,
         "site file (JSON): the controller's serial lines and the devices on each; "
         "without it, one device from the options under \"One device\" [default: one device]")
      ->type_name("FILE");

  std::vector<CLI::Option*> single = AddOneDeviceOptions(app, o, d);
  AddSimulatorOptions(app, o, d, &single);
  AddRunOptions(app, o);
  AddHistoryOptions(app, o);
  AddMqttOptions(app, o, d);

  CLI::Option* site = app.get_option("--site");
  for (CLI::Option* s : single) site->excludes(s);

  return Parse(app, argc, argv, text);
}

}  // namespace config

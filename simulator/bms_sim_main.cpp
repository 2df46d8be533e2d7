// bms-sim: battery-monitoring modules on a serial port or a pseudo-terminal, for running the
// plug-in or a host program against something that answers like the real modules, with faults
// injected at chosen rates. One module by default; several on the one line with --module.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "simulator/bms_bus.h"
#include "simulator/bms_module.h"
#include "simulator/module_options.h"
#include "simulator/serial_line.h"
#include "simulator/serve.h"
#include "ondrell_version.h"

namespace {

const char kUsageLine[] =
    "usage: bms-sim [--port DEVICE | --pty] [--module ITEMS ...] [--commands] [OPTIONS]";

const char kFooter[] =
    "The module options above are the defaults of every module. Without --module there is one\n"
    "module made of them; each --module ITEMS adds one, ITEMS being comma-separated key=value\n"
    "items with the option names as keys (address, cells, seed, discharge, discharge-current,\n"
    "capacity, load-step, current-sensor, weak-cell, weak-capacity, silent, noise, split, drop,\n"
    "bad-checksum, wrong-address, out-of-window, garbage, silence, silence-requests); a bare\n"
    "switch key such as discharge or silent means true. Each module needs its own address.\n"
    "For example:\n"
    "  bms-sim --discharge --module address=1 --module address=2,weak-cell=7,seed=5\n"
    "\n"
    "Run-time commands (--commands), one a line, ADDR in decimal or 0x..:\n"
    "  silent ADDR   the module stays on the line but never answers\n"
    "  answer ADDR   it answers again\n"
    "  remove ADDR   off the line, as if unplugged\n"
    "  add ADDR      back on the line, with its own state (its time ran on meanwhile)\n"
    "Each is confirmed on standard output; a bad one is reported there and ignored.\n"
    "\n"
    "Ctrl-C or SIGTERM ends it and prints its counters.";

// CLI11's layout with the descriptions wrapped, the options' value names only (each description
// states its default) and our usage line.
class Help : public CLI::Formatter {
 public:
  static constexpr std::size_t kWidth = 100;
  std::string make_usage(const CLI::App*, std::string) const override {
    return std::string(kUsageLine) + "\n";
  }
  std::string make_option_opts(const CLI::Option* opt) const override {
    return opt->get_type_size() != 0 && !opt->get_type_name().empty() ? " " + opt->get_type_name()
                                                                      : "";
  }
  std::string make_option(const CLI::Option* opt, bool is_positional) const override {
    std::string left = "  " + make_option_name(opt, is_positional) + make_option_opts(opt);
    const std::size_t indent = get_column_width();
    std::string out = left.size() + 1 < indent ? left + std::string(indent - left.size(), ' ')
                                               : left + "\n" + std::string(indent, ' ');
    std::size_t column = indent;
    std::istringstream words(make_option_desc(opt));
    std::string word;
    bool first = true;
    while (words >> word) {
      if (!first && column + 1 + word.size() > kWidth) {
        out += "\n" + std::string(indent, ' ');
        column = indent;
      } else if (!first) {
        out += ' ';
        ++column;
      }
      out += word;
      column += word.size();
      first = false;
    }
    return out + "\n";
  }
};

int g_stop_pipe[2] = {-1, -1};

extern "C" void OnSignal(int) {
  const int saved = errno;
  const char c = 1;
  ssize_t ignored = write(g_stop_pipe[1], &c, 1);
  (void)ignored;
  errno = saved;
}

[[noreturn]] void Usage(const std::string& problem) {
  std::cerr << "bms-sim: " << problem << "\n" << kUsageLine << " (--help describes each)\n";
  std::exit(2);
}

[[noreturn]] void Refuse(const std::string& problem) {
  std::cerr << "bms-sim: " << problem << std::endl;
  std::exit(2);
}

void PrintFaults(const std::string& prefix, const simulator::Counters& c) {
  std::cout << prefix << "faults:";
  for (int b = 0; b < simulator::kFaultKinds; ++b) {
    std::cout << ' ' << simulator::FaultName(1u << b) << ' ' << c.faults[b];
  }
  std::cout << '\n';
}

void PrintCounters(const simulator::Bus& bus) {
  const simulator::BusCounters& line = bus.counters();
  if (bus.size() == 1) {
    // As a module alone counts: everything it heard and did not answer is ignored.
    const simulator::Counters& c = bus.module(0).counters();
    std::cout << "bms-sim: " << line.bytes_received << " bytes received, " << c.requests_seen
              << " requests answered or withheld, "
              << line.bad_checksums + line.unclaimed + c.requests_ignored + c.requests_silent
              << " ignored, " << c.replies_sent << " replies sent (" << c.replies_clean
              << " clean)\n";
    PrintFaults("bms-sim: ", c);
  } else {
    std::cout << "bms-sim: line: " << line.bytes_received << " bytes received, " << line.requests
              << " requests, " << line.unclaimed << " for no module on the line, "
              << line.bad_checksums << " with a bad sum\n";
    for (std::size_t i = 0; i < bus.size(); ++i) {
      const simulator::Module& m = bus.module(i);
      const simulator::Counters& c = m.counters();
      const std::string prefix = "bms-sim: " + simulator::AddressText(m.config().address) + ": ";
      std::cout << prefix << c.requests_seen << " requests answered or withheld, "
                << c.requests_silent << " while silent, " << c.requests_ignored << " ignored, "
                << c.replies_sent << " replies sent (" << c.replies_clean << " clean)\n";
      PrintFaults(prefix, c);
    }
  }
  std::cout << std::flush;
}

// The command line as given, before it is checked.
struct Args {
  std::string port;
  std::string chunk_gap = "20";
  std::string time_scale = "1";
  std::vector<std::string> module_items;
  std::map<std::string, std::string> values;  // module options with a value
  std::map<std::string, CLI::Option*> module_options;
  const CLI::Option* port_option = nullptr;
  const CLI::Option* pty_option = nullptr;
  const CLI::Option* commands = nullptr;
  const CLI::Option* verbose = nullptr;
};

void AddOptions(CLI::App& app, Args* a) {
  app.set_help_flag("-h,--help", "print this help and exit");
  app.set_version_flag("--version", "bms-sim " ONDRELL_VERSION, "print the version and exit");
  app.formatter(std::make_shared<Help>());
  app.get_formatter()->column_width(24);
  app.footer(kFooter);

  a->port_option =
      app.add_option("--port", a->port,
                     "serve on this serial device, set up as raw 19200 8N1 (default: --pty)")
          ->type_name("DEVICE");
  a->pty_option = app.add_flag(
      "--pty", "serve on a new pseudo-terminal and print the path of its slave side (the default)");

  // The module options, from the table that --module ITEMS reads too.
  for (const simulator::SettingKey& key : simulator::ModuleKeys()) {
    const std::string name = key.name;
    if (name == "silent") continue;  // one module alone and silent is of no use
    a->module_options[name] =
        *key.value_name
            ? app.add_option("--" + name, a->values[name], key.help)->type_name(key.value_name)
            : app.add_flag("--" + name, key.help);
  }

  app.add_option("--module", a->module_items,
                 "one more module on the line, ITEMS as below; repeatable (default: one module "
                 "of the options above)")
      ->type_name("ITEMS")
      ->allow_extra_args(false);
  a->commands = app.add_flag(
      "--commands", "read run-time commands from standard input, as below (default: none)");
  app.add_option("--chunk-gap", a->chunk_gap,
                 "pause in milliseconds between the pieces of a split reply, 0..10000 "
                 "(default 20)")
      ->type_name("MS");
  app.add_option("--time-scale", a->time_scale,
                 "simulated seconds per real second, 0..1000000 (default 1)")
      ->type_name("X");
  a->verbose =
      app.add_flag("--verbose", "print one line per request answered (default: only counters)");
}

// How the line is served; a value it cannot use ends the program with the usage.
simulator::ServeOptions ServeOptionsOf(const Args& a) {
  if (a.port_option->count() > 0 && a.pty_option->count() > 0) {
    Usage("--port and --pty exclude each other: give one");
  }
  simulator::ServeOptions serve;
  const auto chunk = simulator::ParseWhole(a.chunk_gap, 10000);
  if (!chunk) Usage("--chunk-gap wants a whole number 0..10000, not \"" + a.chunk_gap + "\"");
  serve.chunk_gap_ms = static_cast<int>(*chunk);
  const auto scale = simulator::ParseNumber(a.time_scale, 0, 1e6);
  if (!scale) Usage("--time-scale wants a number 0..1e+06, not \"" + a.time_scale + "\"");
  serve.time_scale = *scale;
  return serve;
}

// The modules on the line: the module options are every module's defaults, each --module adds
// one; a module that cannot be made ends the program.
std::vector<simulator::Config> ModuleConfigs(Args& a) {
  simulator::Config defaults;
  for (const auto& [name, option] : a.module_options) {
    if (option->count() == 0) continue;
    const bool is_switch = a.values.count(name) == 0;
    const std::string problem =
        simulator::ApplySetting(name, is_switch ? nullptr : a.values[name].c_str(), &defaults);
    if (!problem.empty()) Usage("--" + name + " " + problem);
  }
  std::vector<simulator::Config> configs;
  if (a.module_items.empty()) {
    const std::string problem = simulator::CheckConfig(defaults);
    if (!problem.empty()) Refuse(problem);
    configs.push_back(defaults);
  }
  for (const std::string& items : a.module_items) {
    simulator::Config c = defaults;
    std::string problem = simulator::ApplyModuleItems(items, &c);
    if (problem.empty()) problem = simulator::CheckConfig(c);
    if (!problem.empty()) Refuse("--module " + items + ": " + problem);
    configs.push_back(c);
  }
  const std::string duplicate = simulator::DuplicateAddress(configs);
  if (!duplicate.empty()) Refuse(duplicate);
  return configs;
}

// Ctrl-C and SIGTERM end the serving through a pipe it watches; false when there is none.
bool StopOnSignals(simulator::ServeOptions* serve) {
  if (pipe2(g_stop_pipe, O_CLOEXEC) != 0) {
    std::cerr << "bms-sim: pipe: " << std::strerror(errno) << std::endl;
    return false;
  }
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  serve->stop_fd = g_stop_pipe[0];
  return true;
}

// The line served: a new pseudo-terminal without a port. -1 (said) when it cannot be had.
int OpenLine(const std::string& port, simulator::Pty* pty, std::string* path) {
  std::string error;
  if (port.empty()) {
    if (!simulator::OpenPty(pty, &error)) {
      std::cerr << "bms-sim: cannot create a pseudo-terminal: " << error << std::endl;
      return -1;
    }
    *path = pty->slave_path;
    return pty->master;
  }
  const int fd = simulator::OpenRaw19200(port, &error);
  if (fd < 0) {
    std::cerr << "bms-sim: " << error << std::endl;
    return -1;
  }
  *path = port;
  return fd;
}

void SayServing(const simulator::Bus& bus, const std::string& path) {
  std::string addresses;
  for (std::uint8_t a : bus.addresses()) {
    addresses += (addresses.empty() ? "" : ", ") + simulator::AddressText(a);
  }
  std::cout << "bms-sim: serving " << (bus.size() == 1 ? "address " : "addresses ") << addresses
            << " on " << path << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("bms-sim: simulated battery-monitoring modules on one serial line", "bms-sim");
  Args args;
  AddOptions(app, &args);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::cout << app.help();
    return 0;
  } catch (const CLI::CallForVersion& e) {
    std::cout << e.what() << "\n";
    return 0;
  } catch (const CLI::ParseError& e) {
    Usage(e.what());
  }

  simulator::ServeOptions serve = ServeOptionsOf(args);
  simulator::Bus bus(ModuleConfigs(args));
  if (!StopOnSignals(&serve)) return 1;

  simulator::Pty pty;
  std::string path;
  const int fd = OpenLine(args.port, &pty, &path);
  if (fd < 0) return 1;
  SayServing(bus, path);
  if (args.verbose->count() > 0) serve.log = &std::cout;
  if (args.commands->count() > 0) {
    serve.control_fd = STDIN_FILENO;
    serve.control_log = &std::cout;
  }

  const simulator::ServeResult result = simulator::Serve(fd, bus, serve);
  if (args.port.empty()) {
    simulator::ClosePty(&pty);
  } else {
    close(fd);
  }
  PrintCounters(bus);
  if (!result.ok) {
    std::cerr << "bms-sim: " << path << ": " << result.error << std::endl;
    return 1;
  }
  return 0;
}

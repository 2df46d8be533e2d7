// battery-host: the reference host for the ondrell_20 plug-in. It does what the UPS controller's
// monitoring framework does for the battery strings of a site: loads the plug-in, creates and
// configures the devices, restores their last records, then gives each device its turns on its
// serial line, feeding it the line's bytes, and keeps and shows what they measure.

#include <signal.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <string>

#include "battery_host/app/host_app.h"
#include "battery_host/app/journal_stream.h"
#include "battery_host/app/service_notify.h"
#include "battery_host/config/options.h"

namespace {

// The loop takes these through a signalfd. They are blocked before anything of the program runs
// (before its static objects are made, and so before any thread exists: the outputs have
// threads of their own), so that a SIGTERM while the host starts waits for the loop instead of
// ending the host by the default action without a word, and no thread is killed by one.
__attribute__((constructor(101))) void TakeSignals() {
  sigset_t taken;
  sigemptyset(&taken);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&taken, s);
  sigprocmask(SIG_BLOCK, &taken, nullptr);
}

// "<3>" when standard error is the journal's stream.
const char* ErrorPrefix() {
  static const std::string prefix = app::StderrPrefix(outputs::NoticeKind::kFailure);
  return prefix.c_str();
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);  // a closed view or log must not kill the host
  std::signal(SIGXFSZ, SIG_IGN);  // a file-size limit fails the write, it must not kill the host
  // The last guard: nothing may leave main as an exception (std::terminate, abort). RunHost
  // says what escapes start-up or the run itself; what is left here is the command line.
  try {
    config::HostOptions options;
    std::string text;
    switch (config::ParseHostOptions(argc, argv, &options, &text)) {
      case config::ParseResult::kHelp:
        std::fputs(text.c_str(), stdout);
        return 0;
      case config::ParseResult::kError:
        std::fprintf(stderr, "%sbattery-host: %s (see --help)\n", ErrorPrefix(), text.c_str());
        return app::kExitConfig;
      case config::ParseResult::kRun:
        break;
    }
    app::HostNotifier();  // takes $NOTIFY_SOCKET before any simulator child is made
    return app::RunHost(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%sbattery-host: cannot start: %s\n", ErrorPrefix(), e.what());
  } catch (...) {
    std::fprintf(stderr, "%sbattery-host: cannot start: unexpected error\n", ErrorPrefix());
  }
  return app::kExitConfig;
}

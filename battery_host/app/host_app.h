#pragma once

#include <string>

#include "battery_host/config/options.h"

namespace app {

// Exit codes of battery-host.
constexpr int kExitConfig = 2;   // the person running the host can fix something
constexpr int kExitRuntime = 1;  // the run itself did not succeed

// Runs the host for the options: start-up in the controller's order, the poll loop, an orderly
// stop. Returns the exit code; every failure has been told in one line on standard error (an
// exception while starting is a start refused, exit 2; one while running a failed run, exit 1).
//
// Start-up checks everything a person can get wrong before anything is opened for writing or
// any port is taken: the command line, the site and settings files, the plug-in file, the paths
// of the outputs and that they can be written, and the file descriptors the site needs. Then the
// plug-in is loaded and the devices configured (a device that refuses its settings still stops
// the start; the plug-in's output is held meanwhile), then the simulators and ports, then the
// outputs and the log, then the cached records are restored, then the lines are polled.
int RunHost(const config::HostOptions& options);

}  // namespace app

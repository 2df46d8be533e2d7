#pragma once

#include <string>

namespace config {

// Where battery-host finds the plug-in and the example settings when the command line names
// none. In a build tree they are beside the program and in the source tree. Installed, they are
// where the packages put them, found from the program's own place (<prefix>/bin/battery-host), so
// that a tree unpacked anywhere (a scratch root, /usr/local) works the same as /usr.

// ondrell_20.so beside the running program if it is there (a build tree), else the plug-in
// package's <prefix>/lib/<multiarch>/xqr/plugins/ondrell_20.so.
std::string DefaultPluginPath();

// The host package's <prefix>/share/xqr-battery-host/examples/settings.example.json if it is
// there, else the example in the source tree this program was built from.
std::string DefaultSettingsPath();

}  // namespace config

#pragma once

#include <string>

namespace config {
struct HostOptions;
struct Site;
}  // namespace config

namespace app {

// File descriptors: a host that runs out of them part-way can no longer even say why (its error
// writer needs one). So before anything is opened the host counts what the site will need
// (lines, simulators, outputs, its own loop) and raises its soft limit up to the hard one when
// that is short; if even the hard limit is short, one line says how many it needs.
bool EnsureDescriptors(const config::HostOptions& options, const config::Site& site,
                       std::string* error);

}  // namespace app

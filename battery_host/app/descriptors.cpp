#include "battery_host/app/descriptors.h"

#include <sys/resource.h>

#include <filesystem>
#include <system_error>

#include "battery_host/config/options.h"
#include "battery_host/config/site.h"

namespace app {

namespace {

// Descriptors open now (standard streams and whatever the host inherited), not counting the one
// that lists them.
long OpenNow() {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::directory_iterator it("/proc/self/fd", ec);
  if (ec) return 3;
  long n = 0;
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) ++n;
  return n - 1;
}

// The host's own: the view's copy of standard output, the two terminal writers, the held plug-in
// output, the loop's signal descriptor and its wake-up, and one for a file opened in passing
// (the plug-in library, a settings or cache file, a temporary cache).
constexpr long kOwn = 7;
constexpr long kPerLine = 3;       // the port, the period timer, the reopen timer
constexpr long kPerSimulator = 2;  // the simulator child's pipes
constexpr long kHistory = 4;       // the database, its log and shared memory, a journal

long Needed(const config::HostOptions& o, const config::Site& site) {
  long n = OpenNow() + kOwn;
  for (const config::LineConfig& line : site.lines) {
    n += kPerLine + (line.simulated() ? kPerSimulator : 0);
  }
  if (!o.events.empty()) ++n;
  if (!o.log.empty()) ++n;
  if (!o.history.empty()) n += kHistory;
  if (!o.mqtt.empty()) n += 3;  // the broker's socket and the client's own pair
  return n;
}

}  // namespace

bool EnsureDescriptors(const config::HostOptions& options, const config::Site& site,
                       std::string* error) {
  const long needed = Needed(options, site);
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return true;  // nothing to go by
  if (limit.rlim_cur == RLIM_INFINITY || static_cast<long>(limit.rlim_cur) >= needed) return true;
  if (limit.rlim_max == RLIM_INFINITY || static_cast<long>(limit.rlim_max) >= needed) {
    limit.rlim_cur = static_cast<rlim_t>(needed);
    if (setrlimit(RLIMIT_NOFILE, &limit) == 0) return true;
  }
  *error = "too few file descriptors: this site needs " + std::to_string(needed) +
           " and the limit is " + std::to_string(static_cast<long>(limit.rlim_max)) +
           " (ulimit -n, or LimitNOFILE= of the service)";
  return false;
}

}  // namespace app

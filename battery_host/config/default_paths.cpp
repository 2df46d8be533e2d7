#include "battery_host/config/default_paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>

namespace {

// The folder of the running program (/proc/self/exe, symbolic links resolved); "." if unknown.
std::string ProgramDir() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  const std::string exe(buf, static_cast<std::size_t>(n));
  const std::size_t slash = exe.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : exe.substr(0, slash);
}

// <prefix> of a program installed as <prefix>/bin/<name>.
std::string InstallPrefix() {
  const std::string dir = ProgramDir();
  const std::size_t slash = dir.rfind('/');
  return slash == std::string::npos || slash == 0 ? std::string() : dir.substr(0, slash);
}

bool IsFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::string DefaultPluginPath() {
  const std::string beside = ProgramDir() + "/ondrell_20.so";
  if (IsFile(beside)) return beside;
  return InstallPrefix() + "/lib/" BATTERY_HOST_MULTIARCH "/xqr/plugins/ondrell_20.so";
}

std::string DefaultSettingsPath() {
  const std::string installed =
      InstallPrefix() + "/share/xqr-battery-host/examples/settings.example.json";
  if (IsFile(installed)) return installed;
  return BATTERY_HOST_SOURCE_DIR "/examples/settings.example.json";
}

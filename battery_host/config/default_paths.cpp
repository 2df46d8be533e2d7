#include "battery_host/config/default_paths.h"

#include <filesystem>
#include <system_error>

namespace config {

namespace {

namespace fs = std::filesystem;

// The folder of the running program (/proc/self/exe, symbolic links resolved); "." if unknown.
fs::path ProgramDir() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec || !exe.has_parent_path()) return ".";
  return exe.parent_path();
}

// <prefix> of a program installed as <prefix>/bin/<name>; empty for a program in /bin or
// wherever the folder above its own is unknown.
std::string InstallPrefix() {
  const fs::path prefix = ProgramDir().parent_path();
  return prefix == prefix.root_path() ? std::string() : prefix.string();
}

bool IsFile(const std::string& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec);
}

}  // namespace

std::string DefaultPluginPath() {
  const std::string beside = (ProgramDir() / "ondrell_20.so").string();
  if (IsFile(beside)) return beside;
  return InstallPrefix() + "/lib/" BATTERY_HOST_MULTIARCH "/xqr/plugins/ondrell_20.so";
}

std::string DefaultSettingsPath() {
  const std::string installed =
      InstallPrefix() + "/share/xqr-battery-host/examples/settings.example.json";
  if (IsFile(installed)) return installed;
  return BATTERY_HOST_SOURCE_DIR "/examples/settings.example.json";
}

}  // namespace config

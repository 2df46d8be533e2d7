#include "battery_host/app/setting_typos.h"

#include <algorithm>
#include <cstring>

#include "battery/link_settings.h"
#include "battery/settings_json.h"
#include "battery_host/support/closest_name.h"

namespace app {

namespace {

// The link settings' keys, and "b_mode", which the device's alarm settings read first.
std::vector<std::string> KnownKeys() {
  std::vector<std::string> keys(std::begin(link_settings::kKeys), std::end(link_settings::kKeys));
  keys.push_back("b_mode");
  return keys;
}

}  // namespace

std::string ClosestAppSettingKey(const std::string& key) {
  return support::FewestEdits(key, KnownKeys());
}

std::vector<std::string> UnknownAppSettingWarnings(const Json::Value& settings,
                                                   const std::string& source) {
  std::vector<std::string> warnings;
  const Json::Value* app = PresentMember(settings, "appSetting");
  if (app == nullptr || !app->isObject()) return warnings;
  const std::vector<std::string> known = KnownKeys();
  for (const std::string& key : app->getMemberNames()) {
    if (std::find(known.begin(), known.end(), key) != known.end()) continue;
    warnings.push_back(source + ": appSetting key \"" + key +
                       "\" is not read by the device and is ignored; did you mean \"" +
                       ClosestAppSettingKey(key) + "\"?");
  }
  return warnings;
}

}  // namespace app

#include "battery_host/app/setting_typos.h"

#include <algorithm>
#include <cstring>

#include "battery/link_settings.h"
#include "battery/settings_json.h"

namespace {

// The link settings' keys, and "b_mode", which the device's alarm settings read first.
std::vector<std::string> KnownKeys() {
  std::vector<std::string> keys(std::begin(link_settings::kKeys), std::end(link_settings::kKeys));
  keys.push_back("b_mode");
  return keys;
}

std::size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[b.size()];
}

}  // namespace

std::string ClosestAppSettingKey(const std::string& key) {
  std::string best;
  std::size_t best_distance = 0;
  for (const std::string& known : KnownKeys()) {
    const std::size_t d = EditDistance(key, known);
    if (best.empty() || d < best_distance) {
      best = known;
      best_distance = d;
    }
  }
  return best;
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

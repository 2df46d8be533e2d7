#include "battery_host/app/save_interval.h"

#include <climits>

#include "battery/settings_json.h"
#include "battery/settings_parse.h"

int SaveIntervalSeconds(const Json::Value& settings) {
  constexpr int kDefault = 28800;
  const Json::Value* app = PresentMember(settings, "appSetting");
  const Json::Value* v = app != nullptr ? PresentMember(*app, "save_interval") : nullptr;
  if (v == nullptr || v->isArray() || v->isObject()) return kDefault;
  const long long seconds = static_cast<long long>(settings_parse::ParseInt(v->asString())) * 60;
  return (seconds <= 0 || seconds > INT_MAX) ? kDefault : static_cast<int>(seconds);
}

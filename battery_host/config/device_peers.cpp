#include "battery_host/config/device_peers.h"

#include <algorithm>

#include "battery/settings_json.h"
#include "battery/settings_parse.h"

namespace {

bool Text(const Json::Value& v, std::string* out) {
  if (v.isArray() || v.isObject()) return false;
  *out = v.asString();
  return true;
}

bool IntOf(const Json::Value& app, const char* key, int* out) {
  const Json::Value* v = PresentMember(app, key);
  std::string text;
  if (v == nullptr || !Text(*v, &text)) return false;
  *out = settings_parse::ParseInt(text);
  return true;
}

}  // namespace

DevicePeers ReadDevicePeers(const Json::Value& settings) {
  DevicePeers peers;
  const Json::Value* app = PresentMember(settings, "appSetting");
  if (app == nullptr || !app->isObject()) return peers;

  if (const Json::Value* list = PresentMember(*app, "group_voltage"); list && list->isArray()) {
    for (Json::ArrayIndex i = 0; i < list->size(); ++i) {
      std::string text;
      if (!Text((*list)[i], &text)) continue;
      const unsigned int id = static_cast<unsigned int>(settings_parse::ParseInt(text));
      if (std::find(peers.group_voltage.begin(), peers.group_voltage.end(), id) ==
          peers.group_voltage.end()) {
        peers.group_voltage.push_back(id);
      }
    }
  }

  int current_ratio = 0;
  if (const Json::Value* v = PresentMember(*app, "current_ratio")) {
    std::string text;
    if (Text(*v, &text)) {
      current_ratio = settings_parse::DoubleToInt(settings_parse::ParseDouble(text));
    }
  }
  int r_data_id = 0;
  IntOf(*app, "r_data_id", &r_data_id);
  std::string field;
  if (const Json::Value* v = PresentMember(*app, "r_current_field")) Text(*v, &field);
  // The peer's current is used only without the sensor formula and with a field to read.
  if (current_ratio == 0 && r_data_id != 0 && !field.empty()) {
    peers.current_peer = static_cast<unsigned int>(r_data_id);
    peers.current_field = field;
  }

  int group = 0;
  int amount = 0;
  if (IntOf(*app, "group_index", &group) && PresentMember(*app, "amount") != nullptr &&
      IntOf(*app, "amount", &amount)) {
    if (group == 1) peers.battery_start = 0;
    if (group == 2) peers.battery_start = 17;
  }
  IntOf(*app, "battery_start", &peers.battery_start);
  return peers;
}

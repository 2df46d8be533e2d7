#include "battery_host/app/device_setup.h"

#include <exception>
#include <stdexcept>

#include "battery/settings_json.h"
#include "battery/settings_parse.h"
#include "host_framework/device_book.h"

namespace {

bool NoText(const Json::Value& v) { return v.isArray() || v.isObject(); }

// The "appSetting" keys in the order the device reads them; a "[]" key is a list whose elements
// it reads one by one.
const char* const kAppKeys[] = {"battery_type",  "current_ratio",   "group_a",
                                "group_b",       "battery_adjust",  "version",
                                "dir",           "r_data_id",       "r_current_field",
                                "save_interval", "group_index",     "amount",
                                "active_batteries[]", "battery_start", "group_voltage[]",
                                "t0",            "t31"};
const char* const kIdentityKeys[] = {"SignalName", "NMAlarmID", "ID", "SignalNumber"};

}  // namespace

const Json::Value* FindUnreadableSetting(const Json::Value& settings, std::string* name) {
  const Json::Value* app = PresentMember(settings, "appSetting");
  if (app != nullptr && !app->isObject()) app = nullptr;
  // The alarm settings come first: "b_mode", then in mode 3 every signal's identity.
  int mode = 1;
  if (app != nullptr) {
    if (const Json::Value* m = PresentMember(*app, "b_mode")) {
      if (NoText(*m)) {
        *name = "appSetting.b_mode";
        return m;
      }
      mode = settings_parse::ParseInt(m->asString());
    }
  }
  const Json::Value* ts = PresentMember(settings, "thresholdSetting");
  if (mode == 3 && ts != nullptr && ts->isObject()) {
    for (auto it = ts->begin(); it != ts->end(); ++it) {
      if (!it->isObject()) continue;
      for (const char* field : kIdentityKeys) {
        if (const Json::Value* v = PresentMember(*it, field); v && NoText(*v)) {
          *name = "thresholdSetting." + it.name() + "." + field;
          return v;
        }
      }
    }
  }
  if (app == nullptr) return nullptr;
  for (const char* entry : kAppKeys) {
    std::string key = entry;
    const bool list = key.size() > 2 && key.compare(key.size() - 2, 2, "[]") == 0;
    if (list) key.resize(key.size() - 2);
    const Json::Value* v = PresentMember(*app, key.c_str());
    if (v == nullptr) continue;
    if (!list) {
      if (NoText(*v)) {
        *name = "appSetting." + key;
        return v;
      }
      continue;
    }
    if (!v->isArray()) continue;  // the device skips a list that is not one
    for (Json::ArrayIndex i = 0; i < v->size(); ++i) {
      if (NoText((*v)[i])) {
        *name = "appSetting." + key + "[" + std::to_string(i) + "]";
        return &(*v)[i];
      }
    }
  }
  return nullptr;
}

bool ConfigureDevice(XQRSPDevice& device, const DeviceConfig& config,
                     const std::shared_ptr<XQRController>& controller,
                     const std::shared_ptr<XQRPort>& port, std::string* error) {
  try {
    device.Init(controller, config.data_id, config.settings);
  } catch (const std::exception& e) {
    // The framework refuses an "address" member it cannot use.
    *error = "invalid " + config.settings_source + ": " + e.what();
    return false;
  }
  device.addr_ = static_cast<std::uint8_t>(config.address);
  host_side::AttachPort(device, port);
  controller->AddDevice(&device);
  std::map<std::string, AlarmBand> bands;
  for (const auto& [key, limit] : config.limits) {
    bands[key] = limit.band;
    device.threshold_levels_[key] = limit.level;
    if (limit.band.has_high) device.threshold_values_[key] = limit.band.high;
  }
  controller->SetAlarmBands(config.data_id, std::move(bands));
  try {
    device.InitSetting(config.settings);
  } catch (const std::exception& e) {
    std::string key;
    std::string where;
    if (const Json::Value* bad = FindUnreadableSetting(config.settings, &key)) {
      where = config.settings_doc ? config.settings_doc->Where(*bad) : std::string();
      key = (where.empty() ? "" : where + ": ") + key + ": ";
    }
    *error = "the device refused its " + config.settings_source + ": " + key + e.what();
    return false;
  }
  return true;
}

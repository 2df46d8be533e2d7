#include "battery_host/app/device_setup.h"

#include <exception>
#include <stdexcept>

#include "battery/link_settings.h"
#include "battery/settings_json.h"
#include "battery/settings_parse.h"
#include "battery_host/outputs/string_round.h"
#include "host_framework/device_book.h"

namespace {

bool NoText(const Json::Value& v) { return v.isArray() || v.isObject(); }

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
  // The link's keys: the device's own reader, on values of its own, tells where it stops.
  link_settings::Values scratch;
  link_settings::Position at;
  if (app == nullptr || link_settings::ReadDeviceSettings(settings, &scratch, &at) ||
      at.key == nullptr) {
    return nullptr;
  }
  const Json::Value* v = PresentMember(*app, at.key);
  *name = std::string("appSetting.") + at.key;
  if (at.element >= 0) {
    v = &(*v)[static_cast<Json::ArrayIndex>(at.element)];
    *name += "[" + std::to_string(at.element) + "]";
  }
  return v;
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
  // Every cell alarms outside the window in which the device accepts its readings.
  const outputs::CellWindow window = outputs::CellWindowFor(config.link.battery_type);
  for (int i = 0; i < StringRecord::kCells; ++i) {
    AlarmBand& band = bands[outputs::CellKey(i)];
    band.has_window = true;
    band.window_low = window.low;
    band.window_high = window.high;
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

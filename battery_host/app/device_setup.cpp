#include "battery_host/app/device_setup.h"

#include <exception>
#include <stdexcept>

#include "battery/link_settings.h"
#include "battery/settings_json.h"
#include "battery_host/outputs/string_round.h"
#include "host_framework/device_book.h"

namespace app {

namespace {

// In mode 3, the first signal of "thresholdSetting" whose name or identity the device cannot
// read, through the device's own reading of them.
const Json::Value* FindUnreadableSignal(const Json::Value& settings, std::string* name) {
  const Json::Value* ts = PresentMember(settings, "thresholdSetting");
  if (ts == nullptr || !ts->isObject()) return nullptr;
  for (auto it = ts->begin(); it != ts->end(); ++it) {
    if (!it->isObject()) continue;
    link_settings::Position at{link_settings::kSignalNameKey, -1};
    try {
      if (const Json::Value* v = PresentMember(*it, at.key)) v->asString();
      link_settings::SignalIdentity(
          *it, [](const char*) {}, &at);
    } catch (const std::exception&) {
      *name = "thresholdSetting." + it.name() + "." + at.key;
      return PresentMember(*it, at.key);
    }
  }
  return nullptr;
}

}  // namespace

const Json::Value* FindUnreadableSetting(const Json::Value& settings, std::string* name) {
  // The alarm settings come first: "b_mode", then in mode 3 every signal's name and identity.
  const Json::Value* app = PresentMember(settings, "appSetting");
  int mode = link_settings::kDefaultAlarmMode;
  link_settings::Position at;
  try {
    link_settings::ReadAlarmMode(settings, &mode, &at);
  } catch (const std::exception&) {
    *name = std::string("appSetting.") + at.key;
    return PresentMember(*app, at.key);
  }
  if (mode == link_settings::kNamedSignalsMode) {
    if (const Json::Value* v = FindUnreadableSignal(settings, name)) return v;
  }
  // The link's keys: the device's own reader, on values of its own, tells where it stops.
  link_settings::Values scratch;
  at = link_settings::Position{};
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

bool ConfigureDevice(XQRSPDevice& device, const config::DeviceConfig& config,
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
  host_framework::AttachPort(device, port);
  controller->AddDevice(&device);
  std::map<std::string, host_framework::AlarmBand> bands;
  for (const auto& [key, limit] : config.limits) {
    bands[key] = limit.band;
    device.threshold_levels_[key] = limit.level;
    if (limit.band.has_high) device.threshold_values_[key] = limit.band.high;
  }
  // Every cell alarms outside the window in which the device accepts its readings.
  const outputs::CellWindow window = outputs::CellWindowFor(config.link.battery_type);
  for (int i = 0; i < outputs::StringRecord::kCells; ++i) {
    host_framework::AlarmBand& band = bands[outputs::CellKey(i)];
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

}  // namespace app

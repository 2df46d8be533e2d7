#pragma once

#include <memory>
#include <string>

#include <json/value.h>

#include "battery_host/config/site.h"
#include "host_framework/xqr_controller.h"
#include "host_framework/xqr_port.h"
#include "host/xqr_spdevice.h"

namespace app {

// The device as the host configures it, in the controller's order: the framework's own Init
// (data id, controller, the settings' "address"), the bus address of the site (the host keeps it
// with bit 7 set; InitSetting inverts that bit), the port, the host's alarm limits and levels,
// then the device's InitSetting with the whole settings object. On failure one line naming the
// settings (and, when the device could not read a value, which one and where).
bool ConfigureDevice(XQRSPDevice& device, const config::DeviceConfig& config,
                     const std::shared_ptr<XQRController>& controller,
                     const std::shared_ptr<XQRPort>& port, std::string* error);

// The first value the device reads through its text form that has none (an array or an object
// where a number or a text belongs), in the order the device reads its settings; null if none.
// `*name` gets its place, e.g. "appSetting.version" or "thresholdSetting.temperature.ID".
const Json::Value* FindUnreadableSetting(const Json::Value& settings, std::string* name);

}  // namespace app

#pragma once

#include <string>
#include <vector>

#include <json/value.h>

namespace app {

// An "appSetting" key the device does not read is ignored by it, silently: a typo such as
// "curent_ratio" leaves the setting at its default. One warning per such key, naming the closest
// key the device does read; the settings are not refused, since the device runs with them.
std::vector<std::string> UnknownAppSettingWarnings(const Json::Value& settings,
                                                   const std::string& source);

// The key the device reads that is closest to `key` (fewest single-character edits).
std::string ClosestAppSettingKey(const std::string& key);

}  // namespace app

#pragma once

#include <string>

namespace config {

// A site's name on an MQTT broker (--mqtt-site, or "mqtt_site" in the site file): one topic
// level after the prefix and part of every Home Assistant id, so no '/', no wildcard, not
// starting with '$' (the broker's own topics), no control character, at most 64 bytes. Empty is
// no site name. `label` names where the name was given ("--mqtt-site", "mqtt_site") in the
// message.
bool CheckSiteName(const std::string& name, const std::string& label, std::string* error);

}  // namespace config

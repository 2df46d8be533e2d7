#pragma once

#include <string>
#include <vector>

#include <json/json.h>

#include "battery_host/outputs/output.h"
#include "battery_host/outputs/mqtt/topics.h"
#include "battery_host/outputs/string_round.h"

namespace mqtt {

// What Home Assistant waits for before it counts an entity's value as gone. The device refuses
// its values as stale when they are 61 s or more old (a value 60 s old still counts); Home
// Assistant expires a sensor that many seconds after its last state message, so 61 makes the
// values it shows unavailable exactly when the device itself would refuse them.
constexpr int kExpireAfterSeconds = 61;

// Compact JSON, numbers with nine significant digits (FloatValue's doubles print as their
// float's shortest text), UTF-8 left as it is (alarm labels are Chinese).
std::string JsonText(const Json::Value& value);

// A single-precision value for JSON: the shortest text that reads back as the same float
// (13.55, not 13.5500002), null when NaN or infinite.
Json::Value FloatValue(float value);

// The round's values, one message per completed round:
//   {"cells":[13.55,null,...],"data_id":1,"group_current":-12.5,"group_voltage":266.4,
//    "group_voltage_is_cell_sum":false,"highest_cell":13.61,"highest_cell_number":24,
//    "lowest_cell":13.55,"lowest_cell_number":21,"out_of_window":[22],"spread_mv":60,
//    "temperature":25.3,"time":"2026-12-08 14:03:59"}
// `cells` holds the string's cells in record order; a cell outside the device's window is null
// (it is no voltage: Home Assistant shows it as unknown). Lowest, highest and spread are over the
// readings only (null when there is none); cell numbers are the device's (battery_start + i + 1);
// `out_of_window` lists the numbers of the cells outside the window. "time" is the record's
// local time stamp, null when the record has no date.
std::string StatePayload(const outputs::StringRound& round);

// One alarm raised or cleared, with the alarm's one text as every output writes it:
//   {"data_id":1,"key":"battery_3_value","label":"第4节电池","limit":12.0,"state":"raised",
//    "text":"第4节电池 (battery_3_value) 11.9 < 12","value":11.9}
// A cell outside the device's window (stored 0.0: no reading) has no value but the window it
// left: "value":null,"window":"9.0–15.0 V".
std::string AlarmPayload(const outputs::DeviceInfo& device, const rule_value& rule, bool raised);

struct Message {
  std::string topic;
  std::string payload;
  bool retain = true;
};

// What the device blocks of the discovery say about the host: battery-host's version.
struct HostInfo {
  std::string version;
};

// Home Assistant discovery for one string, all in one device (named as the site names the
// string, reached through the host's bridge device): a sensor per value (group voltage, current,
// temperature, each cell), the lowest cell, the highest cell and the spread, a problem binary
// sensor per signal key, and one for readings out of window (with the list as an attribute).
std::vector<Message> DiscoveryMessages(const outputs::DeviceInfo& device, const Topics& topics,
                                       const HostInfo& host);
// The host itself as a bridge device: a connectivity binary sensor on the status topic.
Message BridgeDiscovery(const Topics& topics, const HostInfo& host);

// One entity's discovery object, for the tests and for DiscoveryMessages. `key`: a signal key,
// or "lowest_cell", "highest_cell", "cell_spread" (sensors), "out_of_window" (binary sensor).
Json::Value SensorConfig(const outputs::DeviceInfo& device, const Topics& topics,
                         const std::string& key, const HostInfo& host);
Json::Value AlarmConfig(const outputs::DeviceInfo& device, const Topics& topics,
                        const std::string& key, const HostInfo& host);

}  // namespace mqtt

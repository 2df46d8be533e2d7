#pragma once

#include <string>
#include <vector>

#include <json/json.h>

#include "battery_host/outputs/output.h"
#include "battery_host/outputs/mqtt/topics.h"
#include "battery_host/outputs/string_record.h"

namespace mqtt {

// What Home Assistant waits for before it counts an entity's value as gone. The device refuses
// its values as stale when they are 61 s or more old (a value 60 s old still counts); Home
// Assistant expires a sensor that many seconds after its last state message, so 61 makes the
// values it shows unavailable exactly when the device itself would refuse them.
constexpr int kExpireAfterSeconds = 61;

// Compact JSON, numbers with nine significant digits (a float32 reads back to the same float),
// UTF-8 left as it is (alarm labels are Chinese).
std::string JsonText(const Json::Value& value);

// A single-precision value for JSON: the float widened to double, null when NaN or infinite.
Json::Value FloatValue(float value);

// The round's values, one message per completed round:
//   {"cells":[13.3199997,...],"data_id":1,"group_current":-12.5,"group_voltage":266.399994,
//    "temperature":25.2999992,"time":"2026-12-08 14:03:59"}
// `cells` holds the string's first `cells` cells (at most 32); "time" is the record's local time
// stamp, null when the record has no date.
std::string StatePayload(const StringRecord& record, int cells);

// One alarm raised or cleared:
//   {"data_id":1,"key":"battery_3_value","label":"第4节电池","limit":12.0,"state":"raised",
//    "value":11.8999996}
std::string AlarmPayload(unsigned data_id, const rule_value& rule, bool raised);

struct Message {
  std::string topic;
  std::string payload;
  bool retain = true;
};

// Home Assistant discovery for one string: a sensor per value (group voltage, current,
// temperature, each cell) and a problem binary sensor per signal key, all in one device.
std::vector<Message> DiscoveryMessages(const outputs::DeviceInfo& device, const Topics& topics);

// One entity's discovery object, for the tests and for DiscoveryMessages.
Json::Value SensorConfig(const outputs::DeviceInfo& device, const Topics& topics,
                         const std::string& key);
Json::Value AlarmConfig(const outputs::DeviceInfo& device, const Topics& topics,
                        const std::string& key);

}  // namespace mqtt

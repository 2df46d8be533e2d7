#include "battery_host/outputs/mqtt/payloads.h"

#include <algorithm>
#include <cmath>

namespace mqtt {

namespace {

struct ValueKind {
  std::string name;
  const char* device_class;
  const char* unit;
  int display_precision;
  std::string field;  // value_template's path into the state message
};

// What Home Assistant shows for one signal key. Cells are numbered as the device's own labels
// number them: battery_start + i + 1, so that strings in series count on from each other.
ValueKind KindOf(const outputs::DeviceInfo& device, const std::string& key) {
  if (key == "group_voltage") return {"Group voltage", "voltage", "V", 2, "group_voltage"};
  if (key == "group_current") return {"Current", "current", "A", 2, "group_current"};
  if (key == "temperature") return {"Temperature", "temperature", "\xC2\xB0" "C", 1,
                                    "temperature"};
  // "battery_<i>_value"
  const int i = std::stoi(key.substr(8));
  return {"Cell " + std::to_string(device.battery_start + i + 1), "voltage", "V", 3,
          "cells[" + std::to_string(i) + "]"};
}

int CellsOf(const outputs::DeviceInfo& device) { return std::clamp(device.cells, 0, 32); }

Json::Value DeviceBlock(const outputs::DeviceInfo& device, const Topics& topics) {
  Json::Value d;
  d["identifiers"].append(topics.NodeId(device.data_id));
  d["name"] = "Battery string " + std::to_string(device.data_id);
  if (!device.type.empty()) d["model"] = device.type;
  return d;
}

// An entity is available while the host is connected (its last will clears that) and the
// module answers; both must say "online".
void AddAvailability(Json::Value* config, const Topics& topics, unsigned data_id) {
  Json::Value bridge;
  bridge["topic"] = topics.Bridge();
  Json::Value module;
  module["topic"] = topics.Availability(data_id);
  (*config)["availability"].append(bridge);
  (*config)["availability"].append(module);
  (*config)["availability_mode"] = "all";
}

}  // namespace

std::string JsonText(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["precision"] = 9;
  builder["precisionType"] = "significant";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, value);
}

Json::Value FloatValue(float value) {
  if (!std::isfinite(value)) return Json::Value(Json::nullValue);
  return Json::Value(static_cast<double>(value));
}

std::string StatePayload(const StringRecord& record, int cells) {
  Json::Value state(Json::objectValue);
  state["data_id"] = record.id;
  state["cells"] = Json::Value(Json::arrayValue);
  const int n = std::clamp(cells, 0, static_cast<int>(record.cells.size()));
  for (int i = 0; i < n; ++i) state["cells"].append(FloatValue(record.cells[i]));
  state["group_voltage"] = FloatValue(record.group_voltage);
  state["group_current"] = FloatValue(record.group_current);
  state["temperature"] = FloatValue(record.temperature);
  const bool dated = (record.stamp[0] | record.stamp[1]) != 0;
  state["time"] = dated ? Json::Value(StampText(record.stamp)) : Json::Value(Json::nullValue);
  return JsonText(state);
}

std::string AlarmPayload(unsigned data_id, const rule_value& rule, bool raised) {
  Json::Value alarm(Json::objectValue);
  alarm["data_id"] = data_id;
  alarm["key"] = rule.key;
  alarm["label"] = rule.label;
  alarm["state"] = raised ? "raised" : "cleared";
  alarm["value"] = FloatValue(rule.value);
  alarm["limit"] = FloatValue(rule.limit);
  return JsonText(alarm);
}

Json::Value SensorConfig(const outputs::DeviceInfo& device, const Topics& topics,
                         const std::string& key) {
  const ValueKind kind = KindOf(device, key);
  Json::Value c;
  c["name"] = kind.name;
  c["unique_id"] = topics.SensorUniqueId(device.data_id, key);
  c["state_topic"] = topics.State(device.data_id);
  c["value_template"] = "{{ value_json." + kind.field + " }}";
  c["device_class"] = kind.device_class;
  c["state_class"] = "measurement";
  c["unit_of_measurement"] = kind.unit;
  c["suggested_display_precision"] = kind.display_precision;
  c["expire_after"] = kExpireAfterSeconds;
  AddAvailability(&c, topics, device.data_id);
  c["device"] = DeviceBlock(device, topics);
  c["origin"]["name"] = "battery-host";
  return c;
}

Json::Value AlarmConfig(const outputs::DeviceInfo& device, const Topics& topics,
                        const std::string& key) {
  const ValueKind kind = KindOf(device, key);
  Json::Value c;
  c["name"] = kind.name + " alarm";
  c["unique_id"] = topics.AlarmUniqueId(device.data_id, key);
  c["state_topic"] = topics.AlarmState(device.data_id, key);
  c["payload_on"] = "ON";
  c["payload_off"] = "OFF";
  c["device_class"] = "problem";
  AddAvailability(&c, topics, device.data_id);
  c["device"] = DeviceBlock(device, topics);
  c["origin"]["name"] = "battery-host";
  return c;
}

std::vector<Message> DiscoveryMessages(const outputs::DeviceInfo& device, const Topics& topics) {
  std::vector<Message> out;
  if (!topics.discovery()) return out;
  for (const std::string& key : SignalKeys(CellsOf(device))) {
    out.push_back({topics.SensorConfig(device.data_id, key),
                   JsonText(SensorConfig(device, topics, key)), true});
    out.push_back({topics.AlarmConfig(device.data_id, key),
                   JsonText(AlarmConfig(device, topics, key)), true});
  }
  return out;
}

}  // namespace mqtt

#include "battery_host/outputs/mqtt/payloads.h"

#include <algorithm>

#include "battery_host/config/signal_names.h"
#include "battery_host/outputs/json_text.h"

namespace mqtt {

namespace {

struct ValueKind {
  std::string name;
  const char* device_class;
  const char* unit;
  int display_precision;
  std::string field;       // value_template's path into the state message
  std::string attributes;  // json_attributes_template, empty: none
};

// What Home Assistant shows for one signal key or derived value. Cells are numbered as the
// device's own labels number them: battery_start + i + 1, so that strings in series count on
// from each other.
ValueKind KindOf(const outputs::DeviceInfo& device, const std::string& key) {
  if (key == "group_voltage") {
    return {"Group voltage",
            "voltage",
            "V",
            2,
            "group_voltage",
            "{{ {'cell_sum': value_json.group_voltage_is_cell_sum} | tojson }}"};
  }
  if (key == "group_current") return {"Current", "current", "A", 2, "group_current", ""};
  if (key == "temperature") {
    return {"Temperature",
            "temperature",
            "\xC2\xB0"
            "C",
            1,
            "temperature",
            ""};
  }
  if (key == "lowest_cell") {
    return {"Lowest cell", "voltage",
            "V",           3,
            "lowest_cell", "{{ {'cell': value_json.lowest_cell_number} | tojson }}"};
  }
  if (key == "highest_cell") {
    return {"Highest cell",
            "voltage",
            "V",
            3,
            "highest_cell",
            "{{ {'cell': value_json.highest_cell_number} | tojson }}"};
  }
  if (key == "cell_spread") return {"Cell spread", "voltage", "mV", 0, "spread_mv", ""};
  const int i = outputs::CellPositionOfKey(key);
  return {"Cell " + std::to_string(device.battery_start + i + 1),
          "voltage",
          "V",
          3,
          "cells[" + std::to_string(i) + "]",
          ""};
}

const char* const kDerived[] = {"lowest_cell", "highest_cell", "cell_spread"};

int CellsOf(const outputs::DeviceInfo& device) {
  return std::clamp(device.cells, 0, outputs::StringRecord::kCells);
}

Json::Value DeviceBlock(const outputs::DeviceInfo& device, const Topics& topics,
                        const HostInfo& host) {
  Json::Value d;
  d["identifiers"].append(topics.NodeId(device.data_id));
  d["name"] =
      device.name.empty() ? "Battery string " + std::to_string(device.data_id) : device.name;
  if (!device.type.empty()) d["model"] = device.type;
  if (!host.version.empty()) d["sw_version"] = host.version;
  d["via_device"] = topics.BridgeId();
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

void AddDeviceAndOrigin(Json::Value* config, const outputs::DeviceInfo& device,
                        const Topics& topics, const HostInfo& host) {
  (*config)["device"] = DeviceBlock(device, topics, host);
  (*config)["origin"]["name"] = "battery-host";
  if (!host.version.empty()) (*config)["origin"]["sw_version"] = host.version;
}

Json::Value OutOfWindowConfig(const outputs::DeviceInfo& device, const Topics& topics,
                              const HostInfo& host) {
  Json::Value c;
  c["name"] = "Readings out of window";
  c["unique_id"] = topics.ProblemUniqueId(device.data_id, "out_of_window");
  c["state_topic"] = topics.State(device.data_id);
  c["value_template"] = "{{ 'ON' if value_json.out_of_window else 'OFF' }}";
  c["json_attributes_topic"] = topics.State(device.data_id);
  c["json_attributes_template"] = "{{ {'cells': value_json.out_of_window} | tojson }}";
  c["payload_on"] = "ON";
  c["payload_off"] = "OFF";
  c["device_class"] = "problem";
  AddAvailability(&c, topics, device.data_id);
  AddDeviceAndOrigin(&c, device, topics, host);
  return c;
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

Json::Value FloatValue(float value) { return outputs::JsonFloatValue(value); }

std::string StatePayload(const outputs::StringRound& round) {
  const outputs::StringRecord& record = round.record;
  Json::Value state(Json::objectValue);
  state["data_id"] = round.data_id;
  state["cells"] = Json::Value(Json::arrayValue);
  state["out_of_window"] = Json::Value(Json::arrayValue);
  for (const outputs::RoundCell& c : round.cells) {
    state["cells"].append(c.reading ? FloatValue(c.stored) : Json::Value(Json::nullValue));
    if (!c.reading) state["out_of_window"].append(c.number);
  }
  state["group_voltage"] = FloatValue(record.group_voltage);
  state["group_voltage_is_cell_sum"] = round.group_is_cell_sum;
  state["group_current"] = FloatValue(record.group_current);
  state["temperature"] = FloatValue(record.temperature);
  const Json::Value none(Json::nullValue);
  const bool any = round.lowest >= 0;
  state["lowest_cell"] = any ? FloatValue(round.cells[round.lowest].stored) : none;
  state["lowest_cell_number"] = any ? Json::Value(round.cells[round.lowest].number) : none;
  state["highest_cell"] = any ? FloatValue(round.cells[round.highest].stored) : none;
  state["highest_cell_number"] = any ? Json::Value(round.cells[round.highest].number) : none;
  state["spread_mv"] = any ? Json::Value(round.spread_mv) : none;
  state["time"] =
      outputs::StampHasDate(record.stamp) ? Json::Value(outputs::StampText(record.stamp)) : none;
  return JsonText(state);
}

std::string AlarmPayload(const outputs::DeviceInfo& device, const rule_value& rule, bool raised) {
  const outputs::CellWindow window = outputs::CellWindowFor(device.battery_type);
  Json::Value alarm(Json::objectValue);
  alarm["data_id"] = device.data_id;
  alarm["key"] = rule.key;
  alarm["label"] = rule.label;
  alarm["state"] = raised ? "raised" : "cleared";
  alarm["text"] = outputs::AlarmText(device, rule.key, rule.label, rule.value, rule.limit);
  const bool outside = outputs::CellPositionOfKey(rule.key) >= 0 && !window.Holds(rule.value);
  alarm["value"] = outside ? Json::Value(Json::nullValue) : FloatValue(rule.value);
  if (outside) alarm["window"] = outputs::WindowText(window);
  alarm["limit"] = FloatValue(rule.limit);
  return JsonText(alarm);
}

Json::Value SensorConfig(const outputs::DeviceInfo& device, const Topics& topics,
                         const std::string& key, const HostInfo& host) {
  const ValueKind kind = KindOf(device, key);
  Json::Value c;
  c["name"] = kind.name;
  c["unique_id"] = topics.SensorUniqueId(device.data_id, key);
  c["state_topic"] = topics.State(device.data_id);
  c["value_template"] = "{{ value_json." + kind.field + " }}";
  if (!kind.attributes.empty()) {
    c["json_attributes_topic"] = topics.State(device.data_id);
    c["json_attributes_template"] = kind.attributes;
  }
  c["device_class"] = kind.device_class;
  c["state_class"] = "measurement";
  c["unit_of_measurement"] = kind.unit;
  c["suggested_display_precision"] = kind.display_precision;
  c["expire_after"] = kExpireAfterSeconds;
  AddAvailability(&c, topics, device.data_id);
  AddDeviceAndOrigin(&c, device, topics, host);
  return c;
}

Json::Value AlarmConfig(const outputs::DeviceInfo& device, const Topics& topics,
                        const std::string& key, const HostInfo& host) {
  if (key == "out_of_window") return OutOfWindowConfig(device, topics, host);
  const ValueKind kind = KindOf(device, key);
  Json::Value c;
  c["name"] = kind.name + " alarm";
  c["unique_id"] = topics.AlarmUniqueId(device.data_id, key);
  c["state_topic"] = topics.AlarmState(device.data_id, key);
  c["payload_on"] = "ON";
  c["payload_off"] = "OFF";
  c["device_class"] = "problem";
  AddAvailability(&c, topics, device.data_id);
  AddDeviceAndOrigin(&c, device, topics, host);
  return c;
}

std::vector<Message> DiscoveryMessages(const outputs::DeviceInfo& device, const Topics& topics,
                                       const HostInfo& host) {
  std::vector<Message> out;
  if (!topics.discovery()) return out;
  for (const std::string& key : config::SignalNames(CellsOf(device))) {
    out.push_back({topics.SensorConfig(device.data_id, key),
                   JsonText(SensorConfig(device, topics, key, host)), true});
    out.push_back({topics.AlarmConfig(device.data_id, key),
                   JsonText(AlarmConfig(device, topics, key, host)), true});
  }
  for (const char* key : kDerived) {
    out.push_back({topics.SensorConfig(device.data_id, key),
                   JsonText(SensorConfig(device, topics, key, host)), true});
  }
  out.push_back({topics.ProblemConfig(device.data_id, "out_of_window"),
                 JsonText(OutOfWindowConfig(device, topics, host)), true});
  return out;
}

// No availability: the sensor itself is the host's connection, shown off when it is lost.
Message BridgeDiscovery(const Topics& topics, const HostInfo& host) {
  Json::Value c;
  c["name"] = "Connection";
  c["unique_id"] = topics.BridgeId() + "_connectivity";
  c["state_topic"] = topics.Bridge();
  c["payload_on"] = "online";
  c["payload_off"] = "offline";
  c["device_class"] = "connectivity";
  c["entity_category"] = "diagnostic";
  Json::Value& d = c["device"];
  d["identifiers"].append(topics.BridgeId());
  d["name"] = topics.prefix();  // "battery-host", "battery-host/north"
  d["model"] = "battery-host";
  if (!host.version.empty()) d["sw_version"] = host.version;
  c["origin"]["name"] = "battery-host";
  if (!host.version.empty()) c["origin"]["sw_version"] = host.version;
  return {topics.BridgeConfig(), JsonText(c), true};
}

}  // namespace mqtt

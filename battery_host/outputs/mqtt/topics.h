#pragma once

#include <string>
#include <vector>

namespace mqtt {

// A topic prefix from the command line: one or more levels joined by '/', none empty, no
// wildcard ('+', '#'), not starting with '$' (the broker's own topics). `option` names the
// command-line option in the message. An empty discovery prefix is allowed (no discovery) and
// checked by the caller.
bool CheckPrefix(const std::string& prefix, const std::string& option, std::string* error);

// A site name given as --mqtt-site (the rule: config/site_name.h).
bool CheckSite(const std::string& site, std::string* error);

// The prefix every topic of the host starts with: <prefix>, or <prefix>/<site>.
std::string SitePrefix(const std::string& prefix, const std::string& site);

// Home Assistant's ids and discovery topic levels take letters, digits, '_' and '-'; every
// other byte becomes '_' ("site/north" -> "site_north").
std::string IdText(const std::string& text);

// Every topic the output publishes, from the two prefixes.
//
//   <prefix>/status                       "online" / "offline" (retained; last will)
//   <prefix>/<data id>/state              the round's values, JSON (retained)
//   <prefix>/<data id>/availability       "online" while the module answers (retained)
//   <prefix>/<data id>/alarm              one JSON message per alarm raised or cleared
//   <prefix>/<data id>/alarm/<key>        "ON" / "OFF": the key's alarm now (retained)
//   <discovery>/sensor/<node>/<key>/config             Home Assistant sensor (retained)
//   <discovery>/binary_sensor/<node>/<key>_alarm/config  its alarm (retained)
//   <discovery>/binary_sensor/<node>/out_of_window/config  readings out of window (retained)
//   <discovery>/binary_sensor/<bridge>/connectivity/config  the host connected (retained)
//
// <node> is IdText(prefix) + "_" + data id: stable for one site and device, and different for two
// hosts that publish under different prefixes.
class Topics {
 public:
  Topics(std::string prefix, std::string discovery_prefix);

  std::string Bridge() const;
  std::string State(unsigned data_id) const;
  std::string Availability(unsigned data_id) const;
  std::string AlarmEvents(unsigned data_id) const;
  std::string AlarmState(unsigned data_id, const std::string& key) const;

  bool discovery() const { return !discovery_prefix_.empty(); }
  const std::string& prefix() const { return prefix_; }
  std::string NodeId(unsigned data_id) const;
  std::string SensorUniqueId(unsigned data_id, const std::string& key) const;
  std::string AlarmUniqueId(unsigned data_id, const std::string& key) const;
  std::string SensorConfig(unsigned data_id, const std::string& key) const;
  std::string AlarmConfig(unsigned data_id, const std::string& key) const;
  // A string's problem binary sensor that is not an alarm ("out_of_window").
  std::string ProblemConfig(unsigned data_id, const std::string& name) const;
  std::string ProblemUniqueId(unsigned data_id, const std::string& name) const;
  // The host as a bridge device: its id (IdText(prefix)) and its connectivity sensor.
  std::string BridgeId() const;
  std::string BridgeConfig() const;

 private:
  std::string Device(unsigned data_id) const;
  std::string prefix_;
  std::string discovery_prefix_;
};

}  // namespace mqtt

#include "battery_host/outputs/mqtt/topics.h"

#include <cctype>
#include <utility>

#include "battery_host/config/site_name.h"

namespace mqtt {

bool CheckPrefix(const std::string& prefix, const std::string& option, std::string* error) {
  const std::string head = option + " '" + prefix + "': ";
  if (prefix.empty()) {
    *error = head + "the topic prefix is empty";
    return false;
  }
  if (prefix.find_first_of("+#") != std::string::npos) {
    *error = head + "a topic prefix cannot hold the wildcards '+' or '#'";
    return false;
  }
  if (prefix[0] == '$') {
    *error = head + "topics starting with '$' belong to the broker";
    return false;
  }
  if (prefix.front() == '/' || prefix.back() == '/' || prefix.find("//") != std::string::npos) {
    *error = head + "no empty topic level: no leading, trailing or double '/'";
    return false;
  }
  for (unsigned char c : prefix) {
    if (c < 0x20 || c == 0x7f) {
      *error = head + "the topic prefix holds a control character";
      return false;
    }
  }
  return true;
}

bool CheckSite(const std::string& site, std::string* error) {
  return config::CheckSiteName(site, "--mqtt-site", error);
}

std::string SitePrefix(const std::string& prefix, const std::string& site) {
  return site.empty() ? prefix : prefix + "/" + site;
}

std::string IdText(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') c = '_';
  }
  return out;
}

Topics::Topics(std::string prefix, std::string discovery_prefix)
    : prefix_(std::move(prefix)), discovery_prefix_(std::move(discovery_prefix)) {}

std::string Topics::Bridge() const { return prefix_ + "/status"; }

std::string Topics::Device(unsigned data_id) const {
  return prefix_ + "/" + std::to_string(data_id);
}

std::string Topics::State(unsigned data_id) const { return Device(data_id) + "/state"; }

std::string Topics::Availability(unsigned data_id) const {
  return Device(data_id) + "/availability";
}

std::string Topics::AlarmEvents(unsigned data_id) const { return Device(data_id) + "/alarm"; }

std::string Topics::AlarmState(unsigned data_id, const std::string& key) const {
  return Device(data_id) + "/alarm/" + key;
}

std::string Topics::NodeId(unsigned data_id) const {
  return IdText(prefix_) + "_" + std::to_string(data_id);
}

std::string Topics::SensorUniqueId(unsigned data_id, const std::string& key) const {
  return NodeId(data_id) + "_" + key;
}

std::string Topics::AlarmUniqueId(unsigned data_id, const std::string& key) const {
  return NodeId(data_id) + "_" + key + "_alarm";
}

std::string Topics::SensorConfig(unsigned data_id, const std::string& key) const {
  return discovery_prefix_ + "/sensor/" + NodeId(data_id) + "/" + key + "/config";
}

std::string Topics::AlarmConfig(unsigned data_id, const std::string& key) const {
  return discovery_prefix_ + "/binary_sensor/" + NodeId(data_id) + "/" + key + "_alarm/config";
}

std::string Topics::ProblemConfig(unsigned data_id, const std::string& name) const {
  return discovery_prefix_ + "/binary_sensor/" + NodeId(data_id) + "/" + name + "/config";
}

std::string Topics::ProblemUniqueId(unsigned data_id, const std::string& name) const {
  return NodeId(data_id) + "_" + name;
}

std::string Topics::BridgeId() const { return IdText(prefix_); }

std::string Topics::BridgeConfig() const {
  return discovery_prefix_ + "/binary_sensor/" + BridgeId() + "/connectivity/config";
}

}  // namespace mqtt

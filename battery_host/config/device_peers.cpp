#include "battery_host/config/device_peers.h"

namespace config {

DevicePeers PeersOf(const link_settings::Values& link) {
  DevicePeers peers;
  peers.group_voltage = link.group_voltage_ids;
  if (link_settings::TakesPeerCurrent(link.current_ratio, link.r_data_id, link.r_current_field)) {
    peers.current_peer = static_cast<unsigned int>(link.r_data_id);
    peers.current_field = link.r_current_field;
  }
  peers.battery_start = link.battery_start;
  return peers;
}

link_settings::Values ReadLinkSettings(const Json::Value& settings) {
  link_settings::Values link;
  link_settings::ReadDeviceSettings(settings, &link);
  return link;
}

DevicePeers ReadDevicePeers(const Json::Value& settings) {
  return PeersOf(ReadLinkSettings(settings));
}

}  // namespace config

#pragma once

#include <map>
#include <memory>
#include <string>

#include "host_framework/alarm_band.h"
#include "host/api.h"

class XQRListener;
class XQRVDevice;

// The host's controller: knows every device by its data id, so that a device can read a peer's
// value (Get_SP_Value), and carries the listener that receives the devices' output.
// Devices are not owned here; whoever registers one removes it before destroying it.
class XQR_API XQRController {
 public:
  XQRController();
  ~XQRController();

  void AddDevice(XQRVDevice* device);
  void RemoveDevice(unsigned int data_id);
  XQRVDevice* FindDevice(unsigned int data_id) const;

  // Throws std::out_of_range when no device has that data id or it cannot serve the name.
  float PeerValue(unsigned int data_id, const std::string& name) const;

  // Alarm limits per device (by data id) and signal key, as the host's configuration gives them.
  // They take precedence over the device's threshold_values_ for the keys they name.
  void SetAlarmBands(unsigned int data_id, std::map<std::string, host_framework::AlarmBand> bands);
  const host_framework::AlarmBand* FindAlarmBand(unsigned int data_id,
                                                 const std::string& key) const;

  void SetListener(XQRListener* listener) { listener_ = listener; }
  XQRListener* Listener() const { return listener_; }

 private:
  std::map<unsigned int, XQRVDevice*> devices_;
  std::map<unsigned int, std::map<std::string, host_framework::AlarmBand>> alarm_bands_;
  XQRListener* listener_ = nullptr;
};

#pragma once

#include "battery_host/outputs/output.h"
#include "host_framework/xqr_listener.h"

namespace outputs {

// The framework's side of the devices' output, turned into host events: every record handed to
// SendSP, every threshold request, every alarm the host's evaluation raises or clears, every
// history record. They are called from inside the device's process(), so each is passed on at
// once and nothing here waits.
class DeviceListener : public XQRListener {
 public:
  explicit DeviceListener(Output& out) : out_(out) {}

  void OnSendSP(const XQRVDevice& device, int record_code, const unsigned char* data, int len,
                bool flag) override;
  void OnCheckThreshold(const XQRVDevice& device, const rule_value& rule) override;
  void OnAlarmChange(const XQRVDevice& device, const rule_value& rule, bool raised) override;
  void OnSaveHistory(const XQRVDevice& device, const unsigned char* data, int len) override;

 private:
  Output& out_;
};

}  // namespace outputs

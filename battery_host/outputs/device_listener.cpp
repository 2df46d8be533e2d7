#include "battery_host/outputs/device_listener.h"

#include "host/xqr_vdevice.h"

namespace outputs {

namespace {

HostEvent EventOf(EventKind kind, const XQRVDevice& device) {
  HostEvent e;
  e.kind = kind;
  e.data_id = device.DataId();
  e.at = WallClock::now();
  return e;
}

void CopyBytes(HostEvent* e, const unsigned char* data, int len) {
  if (data != nullptr && len > 0) e->bytes.assign(data, data + len);
}

}  // namespace

void DeviceListener::OnSendSP(const XQRVDevice& device, int record_code, const unsigned char* data,
                              int len, bool) {
  HostEvent e = EventOf(EventKind::kSend, device);
  e.code = record_code;
  CopyBytes(&e, data, len);
  out_.Take(e);
}

void DeviceListener::OnCheckThreshold(const XQRVDevice& device, const rule_value& rule) {
  HostEvent e = EventOf(EventKind::kThreshold, device);
  e.rule = rule;
  out_.Take(e);
}

void DeviceListener::OnAlarmChange(const XQRVDevice& device, const rule_value& rule, bool raised) {
  HostEvent e = EventOf(EventKind::kAlarm, device);
  e.rule = rule;
  e.raised = raised;
  out_.Take(e);
}

void DeviceListener::OnSaveHistory(const XQRVDevice& device, const unsigned char* data, int len) {
  HostEvent e = EventOf(EventKind::kHistory, device);
  CopyBytes(&e, data, len);
  out_.Take(e);
}

}  // namespace outputs

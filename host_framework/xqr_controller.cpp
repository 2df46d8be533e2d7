#include "host_framework/xqr_controller.h"

#include <stdexcept>
#include <utility>

#include "host_framework/xqr_listener.h"
#include "host/xqr_vdevice.h"

XQRController::XQRController() = default;
XQRController::~XQRController() = default;

void XQRController::AddDevice(XQRVDevice* device) { devices_[device->DataId()] = device; }

void XQRController::RemoveDevice(unsigned int data_id) { devices_.erase(data_id); }

XQRVDevice* XQRController::FindDevice(unsigned int data_id) const {
  auto it = devices_.find(data_id);
  return it == devices_.end() ? nullptr : it->second;
}

float XQRController::PeerValue(unsigned int data_id, const std::string& name) const {
  XQRVDevice* peer = FindDevice(data_id);
  if (peer == nullptr) throw std::out_of_range("no device " + std::to_string(data_id));
  return peer->Get_Value(data_id, name);
}

void XQRController::SetAlarmBands(unsigned int data_id,
                                  std::map<std::string, host_framework::AlarmBand> bands) {
  alarm_bands_[data_id] = std::move(bands);
}

const host_framework::AlarmBand* XQRController::FindAlarmBand(unsigned int data_id,
                                                              const std::string& key) const {
  auto device = alarm_bands_.find(data_id);
  if (device == alarm_bands_.end()) return nullptr;
  auto band = device->second.find(key);
  return band == device->second.end() ? nullptr : &band->second;
}

XQRListener::~XQRListener() = default;
void XQRListener::OnRefreshStatus(const XQRVDevice&) {}
void XQRListener::OnReset(const XQRVDevice&) {}
void XQRListener::OnSendSP(const XQRVDevice&, int, const unsigned char*, int, bool) {}
void XQRListener::OnCheckAOReport(const XQRVDevice&, const std::string&, float, bool) {}
void XQRListener::OnCheckThreshold(const XQRVDevice&, const rule_value&) {}
void XQRListener::OnBatchCheckThreshold(const XQRVDevice&, const std::vector<rule_value>&, bool) {}
void XQRListener::OnSaveHistory(const XQRVDevice&, const unsigned char*, int) {}
void XQRListener::OnAlarmChange(const XQRVDevice&, const rule_value&, bool) {}

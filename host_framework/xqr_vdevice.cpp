#include "host/xqr_vdevice.h"

#include <cmath>
#include <stdexcept>

#include "host_framework/alarm_engine.h"
#include "host_framework/device_book.h"
#include "host_framework/xqr_controller.h"
#include "host_framework/xqr_listener.h"

namespace {

XQRListener* ListenerOf(const XQRVDevice& device) {
  auto c = host_framework::BookOf(device).controller.lock();
  return c ? c->Listener() : nullptr;
}

}  // namespace

XQRVDevice::XQRVDevice() = default;
XQRVDevice::~XQRVDevice() { host_framework::CloseBook(*this); }

void XQRVDevice::Reset() {
  if (auto* l = ListenerOf(*this)) l->OnReset(*this);
}

int XQRVDevice::InitV(unsigned int data_id) {
  data_id_ = data_id;
  return 1;
}

// The host's own part of configuration: who the device is and whom it may ask for peer values.
int XQRVDevice::Init(std::weak_ptr<XQRController> controller, unsigned int data_id,
                     const Json::Value& settings) {
  (void)settings;
  host_framework::BookOf(*this).controller = std::move(controller);
  data_id_ = data_id;
  return 1;
}

int XQRVDevice::InitSetting(const Json::Value& settings) {
  (void)settings;
  return 1;
}

bool XQRVDevice::IsSupportDevice(const std::string& device_type) const {
  return device_type == device_type_;
}

XQRVDevice* XQRVDevice::GetChildVDevice(unsigned int data_id) {
  (void)data_id;
  return nullptr;
}

std::vector<XQRVDevice*> XQRVDevice::GetAllChildVDevices() { return {}; }

bool XQRVDevice::SendSP(int record_code, const unsigned char* data, int len, bool flag) {
  if (auto* l = ListenerOf(*this)) l->OnSendSP(*this, record_code, data, len, flag);
  return true;
}

bool XQRVDevice::SendDelayData(const unsigned char* data, int len, int delay_ms) {
  (void)data;
  (void)len;
  (void)delay_ms;
  return false;
}

bool XQRVDevice::SendDoData(int channel, int value) {
  (void)channel;
  (void)value;
  return false;
}

int XQRVDevice::ReadDi(int channel) {
  (void)channel;
  return 0;
}

float XQRVDevice::ReadAi(int channel) {
  (void)channel;
  return 0.0f;
}

float XQRVDevice::Get_SP_Value(unsigned int data_id, const std::string& name) {
  auto c = host_framework::BookOf(*this).controller.lock();
  if (!c) throw std::out_of_range("no controller");
  return c->PeerValue(data_id, name);
}

int XQRVDevice::RefreshStatus() {
  ++host_framework::BookOf(*this).refreshes;
  if (auto* l = ListenerOf(*this)) l->OnRefreshStatus(*this);
  return 1;
}

int XQRVDevice::process(unsigned char* data, unsigned int len) {
  (void)data;
  (void)len;
  return 0;
}

bool XQRVDevice::CheckAOReport(const std::string& name, float value) {
  const bool due =
      host_framework::AnalogReportDue(host_framework::BookOf(*this).alarms, name, value);
  if (auto* l = ListenerOf(*this)) l->OnCheckAOReport(*this, name, value, due);
  return due;
}

// The rule is queued for the batch evaluation whether it alarms or not.
bool XQRVDevice::CheckThreshold(const std::string& key, const std::string& label, float& value,
                                int index) {
  auto controller = host_framework::BookOf(*this).controller.lock();
  const host_framework::AlarmBand* band =
      controller ? controller->FindAlarmBand(data_id_, key) : nullptr;
  rule_values_.push_back(host_framework::JudgeAlarm(*this, band, key, label, value, index));
  const rule_value& rule = rule_values_.back();
  if (auto* l = ListenerOf(*this)) l->OnCheckThreshold(*this, rule);
  return rule.alarm;
}

// A report is due when any queued rule changed its alarm state since the previous batch.
bool XQRVDevice::DoBatchCheckThreshold(std::vector<rule_value>& queue) {
  XQRListener* listener = ListenerOf(*this);
  auto controller = host_framework::BookOf(*this).controller.lock();
  auto delay_of = [&](const std::string& key) {
    const host_framework::AlarmBand* band =
        controller ? controller->FindAlarmBand(data_id_, key) : nullptr;
    return band != nullptr ? band->delay : 1;
  };
  const bool due = host_framework::BatchAlarms(host_framework::BookOf(*this).alarms, queue,
                                               delay_of, [&](const rule_value& rule) {
                                                 if (listener != nullptr)
                                                   listener->OnAlarmChange(*this, rule, rule.alarm);
                                               });
  if (listener != nullptr) listener->OnBatchCheckThreshold(*this, queue, due);
  return due;
}

bool XQRVDevice::SaveDeviceHistory(const unsigned char* data, int len) {
  ++host_framework::BookOf(*this).history_saves;
  if (auto* l = ListenerOf(*this)) l->OnSaveHistory(*this, data, len);
  return true;
}

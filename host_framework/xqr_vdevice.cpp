#include "host/xqr_vdevice.h"

#include <cmath>
#include <stdexcept>

#include "host/xqr_controller.h"
#include "host/xqr_listener.h"

namespace {

XQRListener* ListenerOf(const std::weak_ptr<XQRController>& controller) {
  auto c = controller.lock();
  return c ? c->Listener() : nullptr;
}

}  // namespace

XQRVDevice::XQRVDevice() = default;
XQRVDevice::~XQRVDevice() = default;

void XQRVDevice::Reset() {
  if (auto* l = ListenerOf(controller_)) l->OnReset(*this);
}

int XQRVDevice::InitV(unsigned int data_id) {
  data_id_ = data_id;
  return 1;
}

// The host's own part of configuration: who the device is and whom it may ask for peer values.
int XQRVDevice::Init(std::weak_ptr<XQRController> controller, unsigned int data_id,
                     const Json::Value& settings) {
  (void)settings;
  controller_ = std::move(controller);
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
  if (auto* l = ListenerOf(controller_)) l->OnSendSP(*this, record_code, data, len, flag);
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
  auto c = controller_.lock();
  if (!c) throw std::out_of_range("no controller");
  return c->PeerValue(data_id, name);
}

int XQRVDevice::RefreshStatus() {
  ++refreshes_;
  if (auto* l = ListenerOf(controller_)) l->OnRefreshStatus(*this);
  return 1;
}

int XQRVDevice::process(unsigned char* data, unsigned int len) {
  (void)data;
  (void)len;
  return 0;
}

// An analog report is due the first time a name is seen and whenever its value moved since the
// last report.
bool XQRVDevice::CheckAOReport(const std::string& name, float value) {
  auto it = ao_reported_.find(name);
  const bool due = it == ao_reported_.end() || it->second != value;
  if (due) ao_reported_[name] = value;
  if (auto* l = ListenerOf(controller_)) l->OnCheckAOReport(*this, name, value, due);
  return due;
}

// The limits of a key, in order of precedence:
//  - level 0 in threshold_levels_ switches the key off: the device's own alarm settings insert
//    level 0 and value 0 for every signal they name, and such a key has no limit configured;
//  - an alarm band the host configured for this device and key (low and/or high);
//  - the device's threshold_values_ entry, an upper limit: alarm while the value is above it.
// The rule is queued for the batch evaluation either way.
bool XQRVDevice::CheckThreshold(const std::string& key, const std::string& label, float& value,
                                int index) {
  rule_value rule;
  rule.key = key;
  rule.label = label;
  rule.value = value;
  rule.index = index;
  auto level = threshold_levels_.find(key);
  if (level != threshold_levels_.end()) rule.level = level->second;
  const bool switched_off = level != threshold_levels_.end() && level->second == 0;
  auto controller = controller_.lock();
  const AlarmBand* band = controller ? controller->FindAlarmBand(data_id_, key) : nullptr;
  auto limit = threshold_values_.find(key);
  if (switched_off) {
    if (limit != threshold_values_.end()) rule.limit = limit->second;
  } else if (band != nullptr) {
    const int side = band->Side(value);
    rule.alarm = side != 0;
    rule.limit = side < 0 || !band->has_high ? band->low : band->high;
  } else if (limit != threshold_values_.end()) {
    rule.limit = limit->second;
    rule.alarm = value > limit->second;
  }
  rule_values_.push_back(rule);
  if (auto* l = ListenerOf(controller_)) l->OnCheckThreshold(*this, rule);
  return rule.alarm;
}

// A report is due when any queued rule changed its alarm state since the previous batch.
bool XQRVDevice::DoBatchCheckThreshold(std::vector<rule_value>& queue) {
  bool due = false;
  for (const rule_value& rule : queue) {
    auto it = alarm_states_.find(rule.key);
    const bool before = it != alarm_states_.end() && it->second;
    alarm_states_[rule.key] = rule.alarm;
    if (before != rule.alarm) {
      due = true;
      if (auto* l = ListenerOf(controller_)) l->OnAlarmChange(*this, rule, rule.alarm);
    }
  }
  if (auto* l = ListenerOf(controller_)) l->OnBatchCheckThreshold(*this, queue, due);
  return due;
}

bool XQRVDevice::SaveDeviceHistory(const unsigned char* data, int len) {
  ++history_saves_;
  if (auto* l = ListenerOf(controller_)) l->OnSaveHistory(*this, data, len);
  return true;
}

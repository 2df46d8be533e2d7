// A host framework that does as little as it can: every service returns at once and keeps
// nothing. Benchmarks link the device code against it, so that what they measure is the
// plug-in's own work (and the C++ runtime it calls), not the host's alarm engine or history.
//
// Each service marks itself with FrameworkScope: an allocation made while one is active belongs
// to the host, not to the plug-in (see bench/alloc_count.h). None of them allocates today.
#include <stdexcept>

#include "bench/null_host/framework_scope.h"
#include "host/ttime.h"
#include "host_framework/xqr_controller.h"
#include "host_framework/xqr_listener.h"
#include "host_framework/xqr_port.h"
#include "host/xqr_spdevice.h"
#include "host/xqr_vdevice.h"

namespace bench {
int g_framework_depth = 0;
}  // namespace bench

using bench::FrameworkScope;

ttime get_ttime(const boost::posix_time::ptime&) {
  FrameworkScope in_host;
  return ttime{};
}

XQRPort::~XQRPort() = default;

XQRListener::~XQRListener() = default;
void XQRListener::OnRefreshStatus(const XQRVDevice&) {}
void XQRListener::OnReset(const XQRVDevice&) {}
void XQRListener::OnSendSP(const XQRVDevice&, int, const unsigned char*, int, bool) {}
void XQRListener::OnCheckAOReport(const XQRVDevice&, const std::string&, float, bool) {}
void XQRListener::OnCheckThreshold(const XQRVDevice&, const rule_value&) {}
void XQRListener::OnBatchCheckThreshold(const XQRVDevice&, const std::vector<rule_value>&, bool) {}
void XQRListener::OnSaveHistory(const XQRVDevice&, const unsigned char*, int) {}
void XQRListener::OnAlarmChange(const XQRVDevice&, const rule_value&, bool) {}

XQRController::XQRController() = default;
XQRController::~XQRController() = default;
void XQRController::AddDevice(XQRVDevice*) {}
void XQRController::RemoveDevice(unsigned int) {}
XQRVDevice* XQRController::FindDevice(unsigned int) const { return nullptr; }
void XQRController::SetAlarmBands(unsigned int, std::map<std::string, host_framework::AlarmBand>) {}
const host_framework::AlarmBand* XQRController::FindAlarmBand(unsigned int,
                                                              const std::string&) const {
  return nullptr;
}
float XQRController::PeerValue(unsigned int, const std::string&) const {
  throw std::out_of_range("no peers");
}

XQRVDevice::XQRVDevice() = default;
XQRVDevice::~XQRVDevice() = default;
void XQRVDevice::Reset() { FrameworkScope in_host; }
int XQRVDevice::InitV(unsigned int data_id) {
  data_id_ = data_id;
  return 1;
}
int XQRVDevice::Init(std::weak_ptr<XQRController>, unsigned int data_id, const Json::Value&) {
  FrameworkScope in_host;
  data_id_ = data_id;
  return 1;
}
int XQRVDevice::InitSetting(const Json::Value&) { return 1; }
bool XQRVDevice::IsSupportDevice(const std::string&) const { return false; }
XQRVDevice* XQRVDevice::GetChildVDevice(unsigned int) { return nullptr; }
std::vector<XQRVDevice*> XQRVDevice::GetAllChildVDevices() { return {}; }
bool XQRVDevice::SendSP(int, const unsigned char*, int, bool) {
  FrameworkScope in_host;
  return true;
}
bool XQRVDevice::SendDelayData(const unsigned char*, int, int) { return false; }
bool XQRVDevice::SendDoData(int, int) { return false; }
int XQRVDevice::ReadDi(int) { return 0; }
float XQRVDevice::ReadAi(int) { return 0.0f; }
float XQRVDevice::Get_SP_Value(unsigned int, const std::string&) {
  throw std::out_of_range("no peers");
}
int XQRVDevice::RefreshStatus() {
  FrameworkScope in_host;
  return 1;
}
int XQRVDevice::process(unsigned char*, unsigned int) { return 0; }
bool XQRVDevice::CheckAOReport(const std::string&, float) {
  FrameworkScope in_host;
  return false;
}
bool XQRVDevice::CheckThreshold(const std::string&, const std::string&, float&, int) {
  FrameworkScope in_host;
  return false;
}
bool XQRVDevice::DoBatchCheckThreshold(std::vector<rule_value>&) {
  FrameworkScope in_host;
  return false;
}
bool XQRVDevice::SaveDeviceHistory(const unsigned char*, int) {
  FrameworkScope in_host;
  return true;
}

XQRSPDevice::XQRSPDevice() = default;
XQRSPDevice::~XQRSPDevice() = default;
bool XQRSPDevice::IsProcessing() const { return false; }
bool XQRSPDevice::IsStalled() const { return false; }
int XQRSPDevice::SendData(const unsigned char*, unsigned int len) {
  FrameworkScope in_host;
  return static_cast<int>(len);
}
int XQRSPDevice::SendParityData(const unsigned char*, unsigned int len, int) {
  return static_cast<int>(len);
}
bool XQRSPDevice::OpenPort(const std::string&) { return false; }
void XQRSPDevice::ClosePort() {}
int XQRSPDevice::Init(std::weak_ptr<XQRController> controller, unsigned int data_id,
                      const Json::Value& settings) {
  FrameworkScope in_host;
  XQRVDevice::Init(std::move(controller), data_id, settings);
  addr_ = 0x81;  // the host keeps bus address 1 with bit 7 set
  return 1;
}
void XQRSPDevice::Reset() { FrameworkScope in_host; }

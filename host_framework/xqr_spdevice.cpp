#include "host/xqr_spdevice.h"

#include "host/xqr_port.h"

XQRPort::~XQRPort() = default;

XQRSPDevice::XQRSPDevice() = default;
XQRSPDevice::~XQRSPDevice() = default;

bool XQRSPDevice::IsProcessing() const { return false; }
bool XQRSPDevice::IsStalled() const { return false; }

int XQRSPDevice::SendData(const unsigned char* data, unsigned int len) {
  if (!port_) return -1;
  return port_->Write(data, len);
}

int XQRSPDevice::SendParityData(const unsigned char* data, unsigned int len, int parity) {
  (void)parity;
  return SendData(data, len);
}

bool XQRSPDevice::OpenPort(const std::string& path) {
  (void)path;
  return port_ != nullptr;
}

void XQRSPDevice::ClosePort() { port_.reset(); }

// The host takes the bus address from the device's settings ("address"), before InitSetting.
int XQRSPDevice::Init(std::weak_ptr<XQRController> controller, unsigned int data_id,
                      const Json::Value& settings) {
  XQRVDevice::Init(std::move(controller), data_id, settings);
  if (settings.isObject() && settings.isMember("address") && settings["address"].isIntegral()) {
    addr_ = static_cast<std::uint8_t>(settings["address"].asUInt());
  }
  msg_len_ = 0;
  return 1;
}

void XQRSPDevice::Reset() {
  ++resets_;
  XQRVDevice::Reset();
}

#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/api.h"
#include "host/xqr_vdevice.h"

class XQRPort;

// A device behind a serial port. The host owns the port, reads it, and hands every chunk it reads
// to process(); SendData writes a frame to the port.
class XQR_API XQRSPDevice : public XQRVDevice {
 public:
  static constexpr unsigned int kMsgBufSize = 256;

  XQRSPDevice();
  ~XQRSPDevice() override;

  virtual bool IsProcessing() const;
  virtual bool IsStalled() const;
  virtual int SendData(const unsigned char* data, unsigned int len);
  virtual int SendParityData(const unsigned char* data, unsigned int len, int parity);
  virtual bool OpenPort(const std::string& path);
  virtual void ClosePort();

  int Init(std::weak_ptr<XQRController> controller, unsigned int data_id,
           const Json::Value& settings) override;
  void Reset() override;

  // Host side: where SendData writes. Without a port, frames are dropped.
  void AttachPort(std::shared_ptr<XQRPort> port) { port_ = std::move(port); }

  std::uint8_t addr_ = 0;
  unsigned char msg_buf[kMsgBufSize] = {};
  unsigned int msg_len_ = 0;
  int baud_rate_ = 9600;

 protected:
  std::shared_ptr<XQRPort> port_;
  unsigned int resets_ = 0;  // host bookkeeping: Reset calls
};

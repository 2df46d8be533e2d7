#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/api.h"
#include "host/xqr_vdevice.h"

// A device behind a serial port. The controller owns the port, opens it at baud_rate_, reads it
// and hands every chunk it reads to process(); SendData writes a frame to the port.
class XQR_API XQRSPDevice : public XQRVDevice {
 public:
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

  std::uint8_t addr_ = 0;
  unsigned char msg_buf[256] = {};
  unsigned int msg_len_ = 0;
  int baud_rate_ = 9600;
};

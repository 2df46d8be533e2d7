#pragma once

#include <string>

#include "battery_host/event_log.h"
#include "battery_host/serial_port.h"
#include "host/xqr_port.h"

// Where the device's SendData goes: the serial port, when it is open. A frame the line refuses
// is lost like a frame the module never heard; the device's own re-send logic covers both. A
// write error other than a full output buffer means the line is gone: it is remembered for the
// host loop, which closes the port and reopens it later.
class HostPort : public XQRPort {
 public:
  HostPort(SerialPort& port, EventLog& events) : port_(port), events_(events) {}

  int Write(const unsigned char* data, unsigned int len) override;

  // The error that took the line down since the last call, or empty.
  std::string TakeLoss();

 private:
  SerialPort& port_;
  EventLog& events_;
  std::string loss_;
};

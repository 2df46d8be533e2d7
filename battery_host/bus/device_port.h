#pragma once

#include "host_framework/xqr_port.h"

namespace bus {

class Line;

// Where one device's SendData goes: the serial line it shares with the other devices of that
// line. The line writes the frame, logs it under the device's data id, and knows from it that
// this device now has a request on the wire.
class DevicePort : public XQRPort {
 public:
  DevicePort(Line& line, unsigned int data_id) : line_(line), data_id_(data_id) {}
  int Write(const unsigned char* data, unsigned int len) override;

 private:
  Line& line_;
  unsigned int data_id_;
};

}  // namespace bus

#include "battery_host/bus/device_port.h"

#include "battery_host/bus/line.h"

namespace bus {

int DevicePort::Write(const unsigned char* data, unsigned int len) {
  return line_.Write(data_id_, data, len);
}

}  // namespace bus

#include "battery_host/app/save_interval.h"

#include <cstring>

#include "host/xqr_vdevice.h"

namespace {

constexpr int kDefaultSeconds = 28800;  // the device's 8 hours
constexpr int kControlSaveInterval = 100;

}  // namespace

int ChangeSaveInterval(XQRVDevice& device, std::uint16_t minutes,
                       const std::function<void(unsigned int data_id, int seconds)>& follow) {
  unsigned char in[2];
  std::memcpy(in, &minutes, sizeof in);
  int out_len = 0;
  const int result = device.DeviceIoControl(kControlSaveInterval, in, sizeof in, nullptr, 0,
                                            out_len);
  if (follow) follow(device.DataId(), minutes == 0 ? kDefaultSeconds : minutes * 60);
  return result;
}

#include "battery_host/app/save_interval.h"

#include <cstring>

#include "battery/link_settings.h"
#include "host/xqr_vdevice.h"

namespace app {

int ChangeSaveInterval(XQRVDevice& device, std::uint16_t minutes,
                       const std::function<void(unsigned int data_id, int seconds)>& follow) {
  unsigned char in[2];
  std::memcpy(in, &minutes, sizeof in);
  int out_len = 0;
  const int result = device.DeviceIoControl(link_settings::kControlSaveInterval, in, sizeof in,
                                            nullptr, 0, out_len);
  if (follow) follow(device.DataId(), link_settings::ControlSaveInterval(minutes));
  return result;
}

}  // namespace app

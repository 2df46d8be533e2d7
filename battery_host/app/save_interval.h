#pragma once

// The device's save interval changed while running, the way the controller changes it: through
// the device's control code 100, so that the history follows the device.

#include <cstdint>
#include <functional>

class XQRVDevice;

namespace app {

// Control code 100 with `minutes` (16 bits in the host's byte order, as the device reads them);
// then `follow` is told the device's new interval in seconds (0 minutes: its 8 hours). Returns
// the device's answer.
int ChangeSaveInterval(XQRVDevice& device, std::uint16_t minutes,
                       const std::function<void(unsigned int data_id, int seconds)>& follow);

}  // namespace app

// The device's save interval changed while running through its control code 100.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "battery_host/app/save_interval.h"
#include "host/xqr_vdevice.h"

namespace {

// Takes the control calls a device gets.
class ControlledDevice : public XQRVDevice {
 public:
  bool LoadFromCache(const unsigned char*, int) override { return false; }
  int DeviceIoControl(int code, const unsigned char* in, int in_len, unsigned char*, int,
                      int&) override {
    calls.push_back({code, std::vector<unsigned char>(in, in + in_len)});
    return 0;
  }
  struct Call {
    int code;
    std::vector<unsigned char> in;
  };
  std::vector<Call> calls;
};

TEST(SaveInterval, ChangedThroughControlCode100AndFollowed) {
  ControlledDevice device;
  std::vector<std::pair<unsigned int, int>> followed;
  auto follow = [&](unsigned int id, int seconds) { followed.emplace_back(id, seconds); };
  EXPECT_EQ(app::ChangeSaveInterval(device, 0x0102, follow), 0);
  EXPECT_EQ(app::ChangeSaveInterval(device, 0, follow), 0);
  ASSERT_EQ(device.calls.size(), 2u);
  std::uint16_t host_order = 0x0102;
  unsigned char expected[2];
  std::memcpy(expected, &host_order, 2);  // the host's own byte order, as the device reads it
  EXPECT_EQ(device.calls[0].code, 100);
  EXPECT_EQ(device.calls[0].in, std::vector<unsigned char>(expected, expected + 2));
  EXPECT_EQ(device.calls[1].in, (std::vector<unsigned char>{0, 0}));
  // 0x0102 = 258 minutes; 0 minutes: the device's 8 hours
  EXPECT_EQ(followed, (std::vector<std::pair<unsigned int, int>>{{device.DataId(), 15480},
                                                                 {device.DataId(), 28800}}));
}

}  // namespace

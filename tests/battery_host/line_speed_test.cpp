// A line runs at the speed its devices set in baud_rate_ when they are made: the port is opened
// at it, and devices of one line that ask for different speeds are refused before any port is.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "battery_host/bus/line.h"
#include "host/xqr_spdevice.h"

namespace {

class SpeedDevice : public XQRSPDevice {
 public:
  SpeedDevice(unsigned int data_id, int baud) {
    InitV(data_id);
    baud_rate_ = baud;
  }
  bool LoadFromCache(const unsigned char*, int) override { return false; }
};

struct NoOutput : outputs::Output {
  void Take(const outputs::HostEvent&) override {}
};

struct Pty {
  Pty() { EXPECT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0); }
  ~Pty() {
    close(master);
    close(slave);
  }
  int master = -1;
  int slave = -1;
  char name[128] = {};
};

bus::Line MakeLine(const std::string& path, NoOutput& out) {
  bus::Line::Settings s;
  s.port_path = path;
  s.port_label = path;
  return bus::Line(s, out, [](const std::string&) {});
}

TEST(LineSpeed, ThePortRunsAtTheDevicesSpeed) {
  struct Case {
    int baud;
    speed_t code;
  };
  for (const Case& c : {Case{9600, B9600}, Case{19200, B19200}, Case{115200, B115200}}) {
    SCOPED_TRACE(c.baud);
    Pty pty;
    NoOutput out;
    bus::Line line = MakeLine(pty.name, out);
    SpeedDevice a(1, c.baud), b(2, c.baud);
    line.AddDevice(&a);
    line.AddDevice(&b);
    std::string error;
    ASSERT_TRUE(line.SettleSpeed(&error)) << error;
    ASSERT_TRUE(line.OpenPort(&error)) << error;
    termios tio{};
    ASSERT_EQ(tcgetattr(line.port_fd(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), c.code);
    EXPECT_EQ(cfgetispeed(&tio), c.code);
  }
}

TEST(LineSpeed, DevicesThatDisagreeOrAskForNoSpeedAreRefused) {
  NoOutput out;
  bus::Line line = MakeLine("/dev/ttyS9", out);
  SpeedDevice a(1, 19200), b(2, 19200), c(3, 9600);
  line.AddDevice(&a);
  line.AddDevice(&b);
  line.AddDevice(&c);
  std::string error;
  EXPECT_FALSE(line.SettleSpeed(&error));
  EXPECT_EQ(error,
            "line /dev/ttyS9: its devices ask for different serial speeds (device 1 19200 baud, "
            "device 3 9600 baud); put them on lines of their own");

  bus::Line odd = MakeLine("/dev/ttyS8", out);
  SpeedDevice d(4, 12345);
  odd.AddDevice(&d);
  EXPECT_FALSE(odd.SettleSpeed(&error));
  EXPECT_EQ(error,
            "line /dev/ttyS8: device 4 asks for 12345 baud, which is not a serial port speed");
}

}  // namespace

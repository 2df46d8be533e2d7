// The simulated module on a real pseudo-terminal: Serve() in a thread, the test as the host on
// the slave side. Every wait is poll() on the fd the bytes arrive on; its timeout only guards
// against a hang and is never what the test measures.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "simulator/bms_bus.h"
#include "simulator/bms_module.h"
#include "simulator/serial_line.h"
#include "simulator/serve.h"

using simulator::Bytes;

namespace {

constexpr int kHangGuardMs = 10000;

// Reads exactly n bytes, waiting with poll(); returns fewer only if the line stays quiet for
// the whole guard time.
simulator::Bytes ReadExactly(int fd, std::size_t n) {
  simulator::Bytes got;
  while (got.size() < n) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kHangGuardMs) <= 0) break;
    std::uint8_t buf[128];
    const ssize_t r = read(fd, buf, std::min(sizeof buf, n - got.size()));
    if (r <= 0) break;
    got.insert(got.end(), buf, buf + r);
  }
  return got;
}

void WriteAll(int fd, const simulator::Bytes& b) {
  ASSERT_EQ(write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
}

simulator::Config Flat() {
  simulator::Config c;
  c.cell_spread = 0;
  c.drift_volts = 0;
  c.float_volts = 13.57;
  c.current_wander = 0;
  c.temperature_swing = 0;
  return c;
}

class PtyServe : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(simulator::OpenPty(&pty_, &error)) << error;
    ASSERT_EQ(pipe(stop_pipe_), 0);
  }
  void TearDown() override {
    Stop();
    simulator::ClosePty(&pty_);
    if (stop_pipe_[0] >= 0) close(stop_pipe_[0]);
    if (stop_pipe_[1] >= 0) close(stop_pipe_[1]);
  }
  void Start(simulator::Module& module, int chunk_gap_ms) {
    options_.stop_fd = stop_pipe_[0];
    options_.chunk_gap_ms = chunk_gap_ms;
    server_ =
        std::thread([this, &module] { result_ = simulator::Serve(pty_.master, module, options_); });
  }
  void Stop() {
    if (!server_.joinable()) return;
    const char c = 1;
    ASSERT_EQ(write(stop_pipe_[1], &c, 1), 1);
    server_.join();
  }

  simulator::Pty pty_;
  int stop_pipe_[2] = {-1, -1};
  simulator::ServeOptions options_;
  std::thread server_;
  simulator::ServeResult result_;
};

TEST_F(PtyServe, AnswersRequestsWrittenToTheSlave) {
  simulator::Module module(Flat());
  Start(module, 0);
  const int host = pty_.slave;

  // 20 x 13.57 V = 271.4 V: raw 2714 = 0A 9A; 01 + 0A + 9A = 0xA5
  WriteAll(host, {0xFE, 0xFE, 0x01, 0xA2, 0xA3});
  EXPECT_EQ(ReadExactly(host, 5), (simulator::Bytes{0xED, 0x01, 0x0A, 0x9A, 0xA5}));

  // A request in two writes, after noise, and one for another module that must stay unanswered.
  WriteAll(host, {0xFE, 0xFE, 0x02, 0xA4, 0xA6, 0x00, 0xFE, 0xFE});
  WriteAll(host, {0x01, 0xA4, 0xA5});
  // 25.00 degrees: raw 2500 = 09 C4; 01 + 09 + C4 = 0xCE
  EXPECT_EQ(ReadExactly(host, 5), (simulator::Bytes{0xED, 0x01, 0x09, 0xC4, 0xCE}));

  Stop();
  EXPECT_TRUE(result_.ok) << result_.error;
  EXPECT_EQ(module.counters().requests_seen, 2u);
  EXPECT_EQ(module.counters().requests_ignored, 1u);
  EXPECT_EQ(module.counters().bytes_received, 5u + 8u + 3u);
}

TEST_F(PtyServe, SplitCellFrameArrivesWholeAcrossThePieces) {
  simulator::Config c = Flat();
  c.faults.split = 1.0;
  simulator::Module module(c);
  Start(module, 1);
  WriteAll(pty_.slave, {0xFE, 0xFE, 0x01, 0xA1, 0xA2});
  simulator::Bytes expected{0xED, 0x01};
  for (int i = 0; i < 32; ++i) {
    expected.push_back(i < 20 ? 0x05 : 0x00);
    expected.push_back(i < 20 ? 0x4D : 0x00);
  }
  expected.push_back(0x69);  // 01 + 20 x (05 + 4D) = 1641, mod 256 = 105
  EXPECT_EQ(ReadExactly(pty_.slave, 67), expected);
  Stop();
  EXPECT_TRUE(result_.ok) << result_.error;
  EXPECT_EQ(module.counters().faults[1], 1u);  // bit 1: split
}

TEST_F(PtyServe, StopsOnTheAtomicFlagToo) {
  simulator::Module module(Flat());
  std::atomic<bool> stop{false};
  options_.stop = &stop;
  options_.idle_ms = 10;
  server_ = std::thread([&] { result_ = simulator::Serve(pty_.master, module, options_); });
  WriteAll(pty_.slave, {0xFE, 0xFE, 0x01, 0xA3, 0xA4});
  EXPECT_EQ(ReadExactly(pty_.slave, 5), (simulator::Bytes{0xED, 0x01, 0x00, 0x05, 0x06}));  // 0.5 A
  stop = true;
  server_.join();
  EXPECT_TRUE(result_.ok);
}

TEST_F(PtyServe, BusOfThreeWithOneSetSilentThroughTheControlFd) {
  simulator::Config a = Flat(), b = Flat(), c = Flat();
  b.address = 0x02;
  b.seed = 2;
  b.temperature = 30.0;
  c.address = 0x03;
  c.seed = 3;
  simulator::Bus bus({a, b, c});
  int control[2];
  ASSERT_EQ(pipe(control), 0);
  std::ostringstream log;
  options_.stop_fd = stop_pipe_[0];
  options_.control_fd = control[0];
  options_.control_log = &log;
  server_ = std::thread([&] { result_ = simulator::Serve(pty_.master, bus, options_); });
  const int host = pty_.slave;
  const simulator::Bytes ask{0xFE, 0xFE, 0x01, 0xA4, 0xA5, 0xFE, 0xFE, 0x02,
                             0xA4, 0xA6, 0xFE, 0xFE, 0x03, 0xA4, 0xA7};
  // 25.00 degrees: 09 C4; 30.00 degrees: 0B B8. Sums 01+09+C4 = CE, 02+0B+B8 = C5, 03+09+C4 = D0
  const simulator::Bytes one{0xED, 0x01, 0x09, 0xC4, 0xCE}, two{0xED, 0x02, 0x0B, 0xB8, 0xC5},
      three{0xED, 0x03, 0x09, 0xC4, 0xD0};
  auto join = [](std::vector<simulator::Bytes> parts) {
    simulator::Bytes all;
    for (const simulator::Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
  };
  WriteAll(host, ask);
  EXPECT_EQ(ReadExactly(host, 15), join({one, two, three}));

  // The line is drained, so the loop sees the command no later than the requests after it.
  const std::string commands = "silent 2\nfrobnicate 3\n";
  ASSERT_EQ(write(control[1], commands.data(), commands.size()),
            static_cast<ssize_t>(commands.size()));
  WriteAll(host, ask);
  EXPECT_EQ(ReadExactly(host, 10), join({one, three}));

  // Split across writes; then the control fd ends and the line is served on.
  ASSERT_EQ(write(control[1], "answer 0x02", 11), 11);
  close(control[1]);
  WriteAll(host, simulator::Bytes(ask.begin(), ask.begin() + 7));
  WriteAll(host, simulator::Bytes(ask.begin() + 7, ask.end()));
  EXPECT_EQ(ReadExactly(host, 15), join({one, two, three}));

  Stop();
  close(control[0]);
  EXPECT_TRUE(result_.ok) << result_.error;
  EXPECT_EQ(log.str(),
            "bms-sim: 0x02 silent\n"
            "bms-sim: ignored \"frobnicate 3\": want silent, answer, remove or add and an "
            "address\n"
            "bms-sim: 0x02 answers\n");
  EXPECT_EQ(bus.Find(0x02)->counters().requests_silent, 1u);
  EXPECT_EQ(bus.Find(0x02)->counters().requests_seen, 2u);
  EXPECT_EQ(bus.counters().bytes_received, 45u);
}

TEST(Serve, ReportsALineThatIsNotOpen) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  close(fds[1]);
  simulator::Module module;
  std::atomic<bool> stop{false};
  simulator::ServeOptions o;
  o.stop = &stop;
  const simulator::ServeResult r = simulator::Serve(fds[0], module, o);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, "the line's fd: Bad file descriptor");
}

TEST(SerialLine, PtyIsRaw19200EightNoneOneWithoutFlowControl) {
  simulator::Pty pty;
  std::string error;
  ASSERT_TRUE(simulator::OpenPty(&pty, &error)) << error;
  // Start from a cooked terminal so that every flag below had to be changed.
  termios cooked;
  ASSERT_EQ(tcgetattr(pty.slave, &cooked), 0);
  cooked.c_lflag |= ECHO | ICANON | ISIG;
  cooked.c_iflag |= ICRNL | IXON;
  cooked.c_oflag |= OPOST;
  cooked.c_cflag |= CRTSCTS | PARENB;
  cfsetspeed(&cooked, B9600);
  ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &cooked), 0);

  ASSERT_TRUE(simulator::ConfigureRaw19200(pty.slave, &error)) << error;
  termios t;
  ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B19200));
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_iflag & (ICRNL | IXON | IXOFF | ISTRIP), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_cc[VMIN], 1);
  EXPECT_EQ(t.c_cc[VTIME], 0);
  simulator::ClosePty(&pty);
  EXPECT_EQ(pty.master, -1);
  EXPECT_EQ(pty.slave, -1);
}

TEST(SerialLine, OpenAndSetupFailuresSayWhy) {
  std::string error;
  EXPECT_EQ(simulator::OpenRaw19200("/nonexistent/ttyS9", &error), -1);
  EXPECT_EQ(error, "cannot open /nonexistent/ttyS9: No such file or directory");
  EXPECT_EQ(simulator::OpenRaw19200("/dev/null", &error), -1);
  EXPECT_EQ(error,
            "cannot set up /dev/null as a 19200 8N1 raw line: tcgetattr: Inappropriate ioctl for "
            "device");
}

}  // namespace

// The serial conversation with the battery-monitoring module: request frames, checksums, the poll
// round driven by the host's poll tick and receive callback, re-sends, buffer assembly and the
// decoding of the group voltage, current and temperature replies.
#include <cstring>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "tests/test_support.h"

using namespace test;

namespace {

const Bytes kA1{0xFE, 0xFE, 0x01, 0xA1, 0xA2};
const Bytes kA2{0xFE, 0xFE, 0x01, 0xA2, 0xA3};
const Bytes kA3{0xFE, 0xFE, 0x01, 0xA3, 0xA4};
const Bytes kA4{0xFE, 0xFE, 0x01, 0xA4, 0xA5};
const Bytes kGroupVoltage240{0xED, 0x01, 0x09, 0x60, 0x6A};  // raw 2400
const Bytes kCurrent25{0xED, 0x01, 0x00, 0xFA, 0xFB};        // raw 250
const Bytes kTemperature25_3{0xED, 0x01, 0x09, 0xE2, 0xEC};  // raw 2530

// TestBattery with every request reachable and a note of the poll step RoundDone runs in.
class LinkDevice : public TestBattery {
 public:
  void RoundDone() override {
    TestBattery::RoundDone();
    step_in_round_done = poll_step_;
  }
  using Battery::CallCurrent;
  using Battery::CallGroupVoltage;
  using Battery::CallTemperature;
  int step_in_round_done = -1;
};

// A peer device on the same controller that serves one named value, or fails to.
class PeerDevice : public XQRVDevice {
 public:
  enum Mode { kServes, kNotReady, kBroken };
  PeerDevice(unsigned int id, std::string name, float value, Mode mode = kServes)
      : name_(std::move(name)), value_(value), mode_(mode) {
    InitV(id);
  }
  float Get_Value(unsigned int, const std::string& name) const override {
    asked.push_back(name);
    if (mode_ == kBroken) throw std::runtime_error("peer broken");
    if (mode_ == kNotReady || name != name_) throw std::out_of_range("数据未就绪");
    return value_;
  }
  bool LoadFromCache(const unsigned char*, int) override { return false; }
  mutable std::vector<std::string> asked;

 private:
  std::string name_;
  float value_;
  Mode mode_;
};

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host.Attach(dev, 7);  // the host holds address 0x81
    dev.InitSetting(Json::Value(Json::objectValue));
  }

  int Feed(Bytes b) { return dev.process(b.data(), static_cast<unsigned int>(b.size())); }
  const std::vector<Bytes>& Sent() const { return host.port->frames; }

  // Opens a round and answers it until the request of `step` is outstanding.
  void ToStep(int step) {
    dev.RefreshStatus();
    if (step >= 2) {
      ASSERT_EQ(Feed(CellFrame(0x01, Readings(1200))), 1);
    }
    if (step >= 3) {
      ASSERT_EQ(Feed(kGroupVoltage240), 1);
    }
    if (step >= 4) {
      ASSERT_EQ(Feed(kCurrent25), 1);
    }
    ASSERT_EQ(dev.poll_step_, step);
  }

  void Register(PeerDevice& peer) { host.controller->AddDevice(&peer); }

  Host host;
  LinkDevice dev;
};

TEST_F(LinkTest, FullRoundAtAddressOne) {
  EXPECT_EQ(dev.addr_, 0x01);
  EXPECT_EQ(dev.RefreshStatus(), 1);
  EXPECT_EQ(dev.poll_step_, 1);
  EXPECT_EQ(host.listener.refreshes, 1);

  struct Step {
    Bytes reply;
    int result, step_after;
  };
  const Step steps[] = {{CellFrame(0x01, Readings(1200)), 1, 2},
                        {kGroupVoltage240, 1, 3},
                        {kCurrent25, 1, 4},
                        {kTemperature25_3, 0, 0}};
  for (const Step& s : steps) {
    EXPECT_FALSE(dev.data_ready_);
    EXPECT_EQ(dev.rounds_done, 0);
    EXPECT_EQ(Feed(s.reply), s.result);
    EXPECT_EQ(dev.poll_step_, s.step_after);
    EXPECT_EQ(dev.msg_len_, 0u);
  }
  EXPECT_EQ(Sent(), (std::vector<Bytes>{kA1, kA2, kA3, kA4}));
  EXPECT_EQ(dev.group_voltage_, 240.0f);
  EXPECT_EQ(dev.group_current_, 25.0f);
  EXPECT_EQ(dev.temperature_, 25.3f);
  EXPECT_EQ(dev.rounds_done, 1);
  EXPECT_EQ(dev.step_in_round_done, 0);
  EXPECT_TRUE(dev.data_ready_);

  // Idle now; the next tick opens a new round.
  EXPECT_EQ(dev.RefreshStatus(), 1);
  EXPECT_EQ(Sent().back(), kA1);
  EXPECT_EQ(host.listener.refreshes, 2);
}

TEST(FrameChecksum, SumModulo256ThenModulo254) {
  struct Case {
    Bytes bytes;
    int len;
    unsigned char expected;
  };
  const Case cases[] = {
      {{0x01, 0xA1}, 2, 0xA2},
      {{0x5D, 0xA1}, 2, 0x00},  // 254
      {{0x5E, 0xA1}, 2, 0x01},  // 255
      {{0x80, 0xA1}, 2, 0x21},  // wraps past 256
      {{0x01, 0xFF, 0xFF}, 3, 0x01},
      {{0x01, 0x00, 0x00}, 3, 0x01},
      {{0xFD}, 1, 0xFD},
      {{0xFE}, 1, 0x00},
      {{0xFF}, 1, 0x01},
      {{0x01, 0xFF}, 2, 0x00},  // sum 0 after the wrap
      {{0x05}, 0, 0x00},
      {{0x05}, -3, 0x00},
  };
  TestBattery dev;
  for (const Case& c : cases) {
    Bytes b = c.bytes;
    EXPECT_EQ(dev.GetMMCheckSum(b.data(), c.len), c.expected) << "first byte " << int(b[0]);
  }
}

TEST_F(LinkTest, RequestFramesCarryAddressCommandAndChecksum) {
  struct Case {
    unsigned char addr;
    void (LinkDevice::*call)();
    int step;
    Bytes frame;
  };
  const Case cases[] = {
      {0x01, &LinkDevice::CallVoltage, 1, kA1},
      {0x01, &LinkDevice::CallGroupVoltage, 2, kA2},
      {0x01, &LinkDevice::CallCurrent, 3, kA3},
      {0x01, &LinkDevice::CallTemperature, 4, kA4},
      {0x5D, &LinkDevice::CallVoltage, 1, {0xFE, 0xFE, 0x5D, 0xA1, 0x00}},
      {0x5E, &LinkDevice::CallVoltage, 1, {0xFE, 0xFE, 0x5E, 0xA1, 0x01}},
      {0x80, &LinkDevice::CallVoltage, 1, {0xFE, 0xFE, 0x80, 0xA1, 0x21}},
      {0x5C, &LinkDevice::CallGroupVoltage, 2, {0xFE, 0xFE, 0x5C, 0xA2, 0x00}},
      {0x5D, &LinkDevice::CallTemperature, 4, {0xFE, 0xFE, 0x5D, 0xA4, 0x01}},
  };
  for (const Case& c : cases) {
    dev.addr_ = c.addr;
    dev.msg_len_ = 9;  // a stale partial reply is discarded by every request
    (dev.*c.call)();
    ASSERT_FALSE(Sent().empty());
    EXPECT_EQ(Sent().back(), c.frame);
    EXPECT_EQ(dev.poll_step_, c.step);
    EXPECT_EQ(dev.msg_len_, 0u);
  }
  EXPECT_EQ(Sent().size(), std::size(cases));
}

TEST_F(LinkTest, RequestAndReceiveStampLastUpdate) {
  using boost::posix_time::ptime;
  using boost::posix_time::second_clock;
  Bytes noise(200, 0x00);
  std::vector<std::function<void()>> actions = {
      [&] { dev.RefreshStatus(); }, [&] { dev.process(noise.data(), 2); },
      [&] { dev.process(noise.data(), 200); },  // even a dropped chunk
  };
  for (auto& act : actions) {
    dev.last_update_ = ptime(boost::posix_time::not_a_date_time);
    const ptime before = second_clock::local_time();
    act();
    const ptime after = second_clock::local_time();
    ASSERT_FALSE(dev.last_update_.is_not_a_date_time());
    EXPECT_TRUE(before <= dev.last_update_ && dev.last_update_ <= after);
  }
}

// A module that never answers: A1 on every tick, a new round (with the host's bookkeeping) on
// every fourth tick after the first.
TEST_F(LinkTest, SilentModuleGetsThreeResendsPerRound) {
  struct Tick {
    int retry_after, refreshes_after;
  };
  const Tick ticks[] = {{0, 1}, {1, 1}, {2, 1}, {3, 1}, {0, 2}, {1, 2}, {2, 2}, {3, 2}, {0, 3}};
  const Bytes cells = CellFrame(0x01, Readings(1200));
  for (std::size_t i = 0; i < std::size(ticks); ++i) {
    SCOPED_TRACE("tick " + std::to_string(i + 1));
    if (i > 0) {
      ASSERT_EQ(Feed(Bytes(cells.begin(), cells.begin() + 30)), 1);
    }
    EXPECT_EQ(dev.RefreshStatus(), 1);
    EXPECT_EQ(Sent().size(), i + 1);
    EXPECT_EQ(Sent().back(), kA1);
    EXPECT_EQ(dev.poll_step_, 1);
    EXPECT_EQ(dev.msg_len_, 0u);  // the half-received frame is lost with the re-send
    EXPECT_EQ(dev.retry_count_, ticks[i].retry_after);
    EXPECT_EQ(host.listener.refreshes, ticks[i].refreshes_after);
  }
}

TEST_F(LinkTest, ResendBudgetIsSharedByTheFourSteps) {
  dev.RefreshStatus();
  dev.RefreshStatus();
  dev.RefreshStatus();  // two re-sends of A1
  ASSERT_EQ(Feed(CellFrame(0x01, Readings(1200))), 1);
  ASSERT_EQ(Feed(kGroupVoltage240), 1);
  ASSERT_EQ(dev.poll_step_, 3);
  EXPECT_EQ(dev.retry_count_, 2);  // accepted replies do not give re-sends back

  dev.RefreshStatus();  // the last one
  EXPECT_EQ(Sent().back(), kA3);
  EXPECT_EQ(dev.poll_step_, 3);
  EXPECT_EQ(host.listener.refreshes, 1);

  dev.RefreshStatus();  // the round is abandoned
  EXPECT_EQ(Sent().back(), kA1);
  EXPECT_EQ(dev.poll_step_, 1);
  EXPECT_EQ(dev.retry_count_, 0);
  EXPECT_EQ(host.listener.refreshes, 2);
  EXPECT_EQ(Sent(), (std::vector<Bytes>{kA1, kA1, kA1, kA2, kA3, kA3, kA1}));
}

TEST_F(LinkTest, CellFrameIsCollectedAcrossReceives) {
  Bytes cells = CellFrame(0x01, Readings(1200));
  Bytes noisy{0x00, 0x7F};
  noisy.insert(noisy.end(), cells.begin(), cells.begin() + 30);
  ToStep(1);
  EXPECT_EQ(Feed(noisy), 1);  // noise before the start byte dropped
  EXPECT_EQ(dev.msg_len_, 30u);
  EXPECT_EQ(Bytes(dev.msg_buf, dev.msg_buf + 30), Bytes(cells.begin(), cells.begin() + 30));
  EXPECT_EQ(dev.poll_step_, 1);
  EXPECT_EQ(Feed(Bytes(cells.begin() + 30, cells.end())), 1);
  EXPECT_EQ(Bytes(dev.msg_buf, dev.msg_buf + 67), cells);
  EXPECT_EQ(dev.cell_frames, 2);
  EXPECT_EQ(dev.poll_step_, 2);
  EXPECT_EQ(Sent().back(), kA2);
}

TEST_F(LinkTest, NoiseBeforeTheStartByteIsSkipped) {
  ToStep(2);
  EXPECT_EQ(Feed({0x00, 0x00, 0xED, 0x01, 0x09, 0x60, 0x6A}), 1);
  EXPECT_EQ(dev.group_voltage_, 240.0f);
  EXPECT_EQ(dev.poll_step_, 3);
  EXPECT_EQ(Sent().back(), kA3);
}

TEST_F(LinkTest, IdleDeviceKeepsReceivedBytesUntilTheNextRequest) {
  EXPECT_EQ(Feed({0x11, 0xED, 0x01, 0x09}), 0);
  EXPECT_EQ(dev.poll_step_, 0);
  EXPECT_EQ(dev.msg_len_, 3u);
  EXPECT_EQ(Feed({0x60, 0x6A}), 0);
  EXPECT_EQ(dev.msg_len_, 5u);
  EXPECT_EQ(dev.group_voltage_, 0.0f);
  EXPECT_TRUE(Sent().empty());
  dev.RefreshStatus();
  EXPECT_EQ(dev.msg_len_, 0u);
}

TEST_F(LinkTest, ShortReplySplitInTwoAbandonsTheRound) {
  ToStep(2);
  const std::size_t sent = Sent().size();
  EXPECT_EQ(Feed({0xED, 0x01, 0x09}), 0);
  EXPECT_EQ(dev.poll_step_, 0);
  EXPECT_EQ(dev.msg_len_, 3u);  // held until the next request
  EXPECT_EQ(Feed({0x60, 0x6A}), 0);
  EXPECT_EQ(dev.msg_len_, 5u);
  EXPECT_EQ(dev.group_voltage_, 0.0f);
  EXPECT_EQ(Sent().size(), sent);
  dev.RefreshStatus();
  EXPECT_EQ(Sent().back(), kA1);
  EXPECT_EQ(dev.msg_len_, 0u);
}

// The receive buffer never holds more than 80 bytes: a chunk that would exceed that is dropped
// whole and the round is abandoned, whatever step is awaited.
TEST_F(LinkTest, ReceiveBufferHoldsAtMostEightyBytes) {
  struct Case {
    const char* what;
    unsigned int held;
    unsigned int len;
    int step;
    bool accepted;
  };
  const Case cases[] = {
      {"81-byte chunk", 0, 81, 1, false},
      {"70 held + 11", 70, 11, 1, false},
      {"70 held + 11 while idle", 70, 11, 0, false},
      {"80 held + 1", 80, 1, 2, false},
      {"len wraps the sum", 3, 0xFFFFFFFFu, 1, false},
      {"len wraps with 80 held", 80, 0xFFFFFFB0u, 1, false},
      {"exactly 80 in one chunk", 0, 80, 1, true},
      {"70 held + 10", 70, 10, 1, true},
      {"70 held + 10 while idle", 70, 10, 0, true},
  };
  Bytes chunk(81, 0x55);
  chunk[0] = 0xED;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::memset(dev.msg_buf, 0xAA, sizeof dev.msg_buf);
    dev.msg_buf[0] = 0xED;
    dev.msg_len_ = c.held;
    dev.poll_step_ = c.step;
    const int frames_before = dev.cell_frames;
    const int result = dev.process(chunk.data(), c.len);
    if (c.accepted) {
      EXPECT_EQ(dev.msg_buf[c.held + 1], 0x55);
      EXPECT_EQ(dev.cell_frames, frames_before + (c.step == 1 ? 1 : 0));
      EXPECT_EQ(result, c.step == 1 ? 1 : 0);
      if (c.step == 0) {
        EXPECT_EQ(dev.msg_len_, 80u);
      }
      if (c.step == 1) {
        EXPECT_EQ(Sent().back(), kA2);  // the stand-in accepts any full frame
      }
    } else {
      EXPECT_EQ(result, 0);
      EXPECT_EQ(dev.poll_step_, 0);
      EXPECT_EQ(dev.msg_len_, 0u);
      EXPECT_EQ(dev.cell_frames, frames_before);
      EXPECT_EQ(dev.msg_buf[c.held + 1], 0xAA) << "chunk was copied";
    }
  }
}

// A null chunk is a host fault. Its length is checked against the capacity as given, so that it
// abandons the round exactly like any oversized chunk; one that fits is taken as empty.
TEST_F(LinkTest, NullChunkIsCheckedAsGivenThenTakenAsEmpty) {
  struct Case {
    const char* what;
    unsigned int held;
    unsigned int len;
    int step;
    int result;
    unsigned int held_after;
    int step_after;
    int cell_frames;  // ProcessBatteryVoltage calls
  };
  const Case cases[] = {
      {"78 held + 5 would overflow", 78, 5, 1, 0, 0, 0, 0},
      {"80 held + 1 would overflow", 80, 1, 2, 0, 0, 0, 0},
      {"81 alone while idle", 0, 81, 0, 0, 0, 0, 0},
      {"len wraps the sum", 3, 0xFFFFFFFFu, 1, 0, 0, 0, 0},
      {"60 held + 5: frame still incomplete", 60, 5, 1, 1, 60, 1, 1},
      {"78 held + 2 while idle", 78, 2, 0, 0, 78, 0, 0},
      {"80 held + 0 while idle", 80, 0, 0, 0, 80, 0, 0},
      {"nothing held, short reply awaited", 0, 5, 2, 0, 0, 0, 0},
  };
  const Bytes cells = CellFrame(0x01, Readings(1200));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // What is held would be accepted as it stands: a complete cell frame, or a good short reply.
    const Bytes& held = c.step == 2 ? kGroupVoltage240 : cells;
    std::memset(dev.msg_buf, 0xAA, sizeof dev.msg_buf);
    std::memcpy(dev.msg_buf, held.data(), held.size());
    dev.msg_len_ = c.held;
    dev.poll_step_ = c.step;
    const int frames_before = dev.cell_frames;
    const std::size_t sent_before = Sent().size();
    EXPECT_EQ(dev.process(nullptr, c.len), c.result);
    EXPECT_EQ(dev.msg_len_, c.held_after);
    EXPECT_EQ(dev.poll_step_, c.step_after);
    EXPECT_EQ(dev.cell_frames - frames_before, c.cell_frames);
    EXPECT_EQ(Sent().size(), sent_before) << "a request was sent";
    EXPECT_EQ(dev.group_voltage_, 0.0f) << "the held reply was taken";
  }
}

TEST_F(LinkTest, ChunkInsideTheReceiveBufferIsCopiedSafely) {
  ToStep(1);
  Bytes cells = CellFrame(0x01, Readings(0x1234));
  const Bytes noise{0x00, 0x01, 0x02};
  std::memcpy(dev.msg_buf, noise.data(), noise.size());
  std::memcpy(dev.msg_buf + 3, cells.data(), cells.size());
  EXPECT_EQ(dev.process(dev.msg_buf, 70), 1);
  EXPECT_EQ(Bytes(dev.msg_buf, dev.msg_buf + 67), cells);
  EXPECT_EQ(dev.poll_step_, 2);

  // The same with a short reply moved down by two bytes.
  const Bytes held{0x00, 0x00, 0xED, 0x01, 0x09, 0x60, 0x6A};
  std::memcpy(dev.msg_buf, held.data(), held.size());
  EXPECT_EQ(dev.process(dev.msg_buf, 7), 1);
  EXPECT_EQ(dev.group_voltage_, 240.0f);

  // A host that reads straight into the free part of the buffer.
  dev.poll_step_ = 0;
  ToStep(1);
  std::memcpy(dev.msg_buf, cells.data(), cells.size());
  EXPECT_EQ(dev.process(dev.msg_buf, 30), 1);
  EXPECT_EQ(dev.msg_len_, 30u);
  EXPECT_EQ(dev.process(dev.msg_buf + 30, 37), 1);
  EXPECT_EQ(Bytes(dev.msg_buf, dev.msg_buf + 67), cells);
  EXPECT_EQ(Sent().back(), kA2);
}

// A bad short reply abandons the round in each of the three steps and leaves every decoded value
// as it was.
TEST_F(LinkTest, BadShortReplyAbandonsTheRound) {
  struct Case {
    const char* what;
    Bytes reply;
  };
  const Case cases[] = {
      {"other address, own checksum right", {0xED, 0x02, 0x09, 0x60, 0x6B}},
      {"host form of the address", {0xED, 0x81, 0x09, 0x60, 0xEA}},
      {"checksum one high", {0xED, 0x01, 0x09, 0x60, 0x6B}},
      {"checksum one low", {0xED, 0x01, 0x09, 0x60, 0x69}},
      {"8-bit sum not reduced modulo 254", {0xED, 0x01, 0xFE, 0x00, 0xFF}},
      {"no start byte", {0xEE, 0x01, 0x09, 0x60, 0x6A}},
  };
  for (int step = 2; step <= 4; ++step) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + ", step " + std::to_string(step));
      dev.poll_step_ = 0;
      ToStep(step);
      dev.group_voltage_ = 1.5f;
      dev.group_current_ = 2.5f;
      dev.temperature_ = 3.5f;
      const std::size_t sent = Sent().size();
      EXPECT_EQ(Feed(c.reply), 0);
      EXPECT_EQ(dev.poll_step_, 0);
      EXPECT_EQ(dev.msg_len_, 0u);
      EXPECT_EQ(dev.group_voltage_, 1.5f);
      EXPECT_EQ(dev.group_current_, 2.5f);
      EXPECT_EQ(dev.temperature_, 3.5f);
      EXPECT_EQ(Sent().size(), sent);
      EXPECT_EQ(dev.rounds_done, 0);
      EXPECT_FALSE(dev.data_ready_);
    }
  }
}

TEST_F(LinkTest, GroupVoltageScaling) {
  struct Case {
    int version;
    float a, b;
    Bytes reply;
    float expected;
  };
  const Case cases[] = {
      {1, 1.0f, 0.0f, kGroupVoltage240, 240.0f},
      {2, 1.0f, 0.0f, kGroupVoltage240, 24.0f},
      {1, 2.0f, 1.0f, kGroupVoltage240, 481.0f},
      {3, 1.0f, 0.0f, kGroupVoltage240, 240.0f},  // only 2 selects the divisor 100
      {0, 1.0f, 0.0f, kGroupVoltage240, 240.0f},
      {1, 1.0f, 0.0f, {0xED, 0x01, 0xFF, 0xFF, 0x01}, 6553.5f},  // raw is unsigned
      {1, 1.0f, 0.0f, {0xED, 0x01, 0xFE, 0x00, 0x01}, 6502.4f},
      {1, 1.0f, 0.0f, {0xED, 0x01, 0x00, 0x00, 0x01}, 0.0f},
      {2, 0.5f, -0.25f, kGroupVoltage240, 11.75f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    dev.poll_step_ = 0;
    ToStep(2);
    dev.version_ = c.version;
    dev.group_a_ = c.a;
    dev.group_b_ = c.b;
    dev.group_voltage_valid_ = false;
    EXPECT_EQ(Feed(c.reply), 1);
    EXPECT_EQ(dev.group_voltage_, c.expected);
    EXPECT_TRUE(dev.group_voltage_valid_);
    EXPECT_EQ(dev.poll_step_, 3);
    EXPECT_EQ(Sent().back(), kA3);
  }
}

TEST_F(LinkTest, PeersAddTheirGroupVoltage) {
  PeerDevice p1(5001, "group_voltage", 12.0f);
  PeerDevice p2(5002, "group_voltage", 13.0f);
  PeerDevice not_ready(5003, "group_voltage", 99.0f, PeerDevice::kNotReady);
  Register(p1);
  Register(p2);
  Register(not_ready);

  struct Case {
    std::vector<unsigned int> ids;
    float expected;
    bool valid;
    std::size_t p2_asked;
  };
  const Case cases[] = {
      {{5001, 5002}, 265.0f, true, 1},
      {{5001, 5003}, 0.0f, false, 0},
      {{5003, 5002}, 0.0f, false, 0},  // the remaining peers are skipped
      {{9999, 5002}, 0.0f, false, 0},  // no such device on the controller
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ids[0]);
    p2.asked.clear();
    dev.group_voltage_ids_ = c.ids;
    dev.poll_step_ = 0;
    ToStep(2);
    EXPECT_EQ(Feed(kGroupVoltage240), 1);
    EXPECT_EQ(dev.group_voltage_, c.expected);
    EXPECT_EQ(dev.group_voltage_valid_, c.valid);
    EXPECT_EQ(dev.poll_step_, 3);
    EXPECT_EQ(Sent().back(), kA3);
    EXPECT_EQ(p2.asked.size(), c.p2_asked);
  }
  EXPECT_EQ(p1.asked, (std::vector<std::string>{"group_voltage", "group_voltage"}));

  // Any other exception is not the device's to absorb: it reaches the host with the step still
  // open, so the next tick asks again.
  PeerDevice broken(5004, "group_voltage", 1.0f, PeerDevice::kBroken);
  Register(broken);
  dev.group_voltage_ids_ = {5004};
  dev.poll_step_ = 0;
  ToStep(2);
  EXPECT_THROW(Feed(kGroupVoltage240), std::runtime_error);
  EXPECT_EQ(dev.poll_step_, 2);
  EXPECT_EQ(dev.msg_len_, 0u);
  dev.RefreshStatus();
  EXPECT_EQ(Sent().back(), kA2);
}

TEST_F(LinkTest, CurrentFormulaAndPeerCurrent) {
  PeerDevice meter(6001, "i_total", 31.5f);
  PeerDevice silent(6002, "i_total", 1.0f, PeerDevice::kNotReady);
  Register(meter);
  Register(silent);
  struct Case {
    int ratio;
    int peer;
    const char* field;
    std::uint16_t raw;
    float expected;
  };
  const Case cases[] = {
      {1, 0, "", 2500, 0.0f},
      {1, 0, "", 3750, 50.0f},
      {1, 0, "", 1250, -50.0f},
      {1, 0, "", 0, -100.0f},
      {-1, 0, "", 3750, 50.0f},
      {1, 6001, "i_total", 3750, 50.0f},  // the sensor wins
      {0, 0, "", 3750, 375.0f},
      {0, 6001, "", 3750, 375.0f},
      {0, 0, "i_total", 3750, 375.0f},
      {0, 6001, "i_total", 3750, 31.5f},  // the reply's own value is not used
      {0, 6002, "i_total", 3750, -7.0f},  // failing peer: previous current kept
      {0, 6009, "i_total", 3750, -7.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.ratio << " " << c.peer << " " << c.raw);
    dev.poll_step_ = 0;
    ToStep(3);
    dev.current_ratio_ = c.ratio;
    dev.r_data_id_ = c.peer;
    dev.r_current_field_ = c.field;
    dev.group_current_ = -7.0f;
    EXPECT_EQ(Feed(ShortReply(0x01, c.raw)), 1);
    EXPECT_EQ(dev.group_current_, c.expected);
    EXPECT_EQ(dev.poll_step_, 4);
    EXPECT_EQ(Sent().back(), kA4);
  }
  EXPECT_EQ(ShortReply(0x01, 3750), (Bytes{0xED, 0x01, 0x0E, 0xA6, 0xB5}));
}

TEST_F(LinkTest, TemperatureWindowAndEndOfRound) {
  struct Case {
    std::uint16_t raw;
    float expected;
  };
  const Case cases[] = {{2530, 25.3f}, {10000, 100.0f}, {1, 0.01f},
                        {0, 3.5f},     {10001, 3.5f},   {65535, 3.5f}};
  int rounds = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.raw);
    dev.poll_step_ = 0;
    ToStep(4);
    dev.temperature_ = 3.5f;
    EXPECT_EQ(Feed(ShortReply(0x01, c.raw)), 0);
    EXPECT_EQ(dev.temperature_, c.expected);
    EXPECT_EQ(dev.poll_step_, 0);
    EXPECT_EQ(dev.rounds_done, ++rounds);  // a refused temperature still ends the round
    EXPECT_TRUE(dev.data_ready_);
  }
}

// Replies carry no command code: one that arrives after the next request went out is taken as
// the answer to that request.
TEST_F(LinkTest, LateReplyIsJudgedAsTheReplyToTheNewRequest) {
  ToStep(2);
  ASSERT_EQ(Feed(kGroupVoltage240), 1);  // A3 is out now
  EXPECT_EQ(Feed(kGroupVoltage240), 1);  // the module answers a re-sent A2 a second time
  EXPECT_EQ(dev.group_current_, 240.0f);
  EXPECT_EQ(dev.poll_step_, 4);
  EXPECT_EQ(Sent().back(), kA4);
}

}  // namespace

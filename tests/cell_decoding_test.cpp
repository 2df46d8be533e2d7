// Decoding of the module's 67-byte cell-voltage reply by the 32-cell and the 20-cell device,
// driven the way the host drives it: a poll tick sends the A1 request, then process() gets the
// bytes read from the port.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "tests/test_support.h"

using namespace test;

namespace {

constexpr unsigned int kDataId = 4000000000u;  // above INT_MAX: diagnostics print it unsigned
constexpr float kUntouched = 99.0f;            // preset in every cell slot before a frame
const Bytes kGroupVoltageRequest{0xFE, 0xFE, 0x01, 0xA2, 0xA3};

// How the two string sizes differ. Readings in the ramp frame are 1100 + 10 i (11.00 V up).
template <typename Device>
struct Decoder;

template <>
struct Decoder<OpenBattery32> {
  static constexpr int kCells = 32;
  static constexpr unsigned int kHeldAfterRejecting70 = 0;  // the whole buffer is dropped
  static constexpr bool kReports = true;
  static constexpr float kRampSecondLast = 14.0f;  // reading 30
  static constexpr float kRampLast = 14.1f;        // reading 31
  static constexpr float kRampLastPlusHalf = 14.6f;
};

template <>
struct Decoder<OpenOndrell20> {
  static constexpr int kCells = 20;
  static constexpr unsigned int kHeldAfterRejecting70 = 3;  // only the frame's 67 bytes go
  static constexpr bool kReports = false;
  static constexpr float kRampSecondLast = 12.8f;  // reading 18
  static constexpr float kRampLast = 12.9f;        // reading 19
  static constexpr float kRampLastPlusHalf = 13.4f;
};

std::array<std::uint16_t, 32> Ramp() {
  std::array<std::uint16_t, 32> r;
  for (int i = 0; i < 32; ++i) r[i] = static_cast<std::uint16_t>(1100 + 10 * i);
  return r;
}

// One device on its own recording host at bus address 0x01, every cell slot preset.
template <typename Device>
struct Bench {
  Bench() {
    host.Attach(dev, kDataId);
    dev.InitSetting(Json::Value(Json::objectValue));
    std::fill(std::begin(dev.cells_), std::end(dev.cells_), kUntouched);
  }

  // The poll tick that asks for the cell voltages; the request itself is not of interest here.
  void Tick() {
    dev.RefreshStatus();
    ASSERT_EQ(dev.poll_step_, 1);
    host.port->frames.clear();
  }

  // One receive from the port; stdout of the call goes to `out`.
  int Deliver(Bytes chunk) {
    testing::internal::CaptureStdout();
    const int rc = dev.process(chunk.data(), static_cast<unsigned int>(chunk.size()));
    out = testing::internal::GetCapturedStdout();
    return rc;
  }

  void ExpectCellsUntouched() const {
    for (int i = 0; i < 32; ++i) EXPECT_EQ(dev.cells_[i], kUntouched) << "cell " << i;
  }

  // A rejected frame ends the round: nothing is sent and the next tick starts over.
  void ExpectRejected(int rc) const {
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(dev.poll_step_, 0);
    EXPECT_TRUE(host.port->frames.empty());
    ExpectCellsUntouched();
  }

  // An accepted frame asks for the group voltage next.
  void ExpectAccepted(int rc) const {
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(dev.poll_step_, 2);
    EXPECT_EQ(dev.msg_len_, 0u);
    ASSERT_EQ(host.port->frames.size(), 1u);
    EXPECT_EQ(host.port->frames[0], kGroupVoltageRequest);
  }

  Host host;
  Device dev;
  std::string out;
};

template <typename Device>
class CellDecoding : public ::testing::Test {
 protected:
  using D = Decoder<Device>;
  static constexpr int N = D::kCells;

  static std::string Line(const std::string& text) {
    return D::kReports ? text + "\n" : std::string();
  }
};

using StringDevices = ::testing::Types<OpenBattery32, OpenOndrell20>;
TYPED_TEST_SUITE(CellDecoding, StringDevices);

TYPED_TEST(CellDecoding, WaitsFor67BytesAndDecodesOnlyThoseWhenMoreAreHeld) {
  Bench<TypeParam> b;
  b.Tick();
  const Bytes frame = CellFrame(0x01, Readings(1200));

  const int rc66 = b.Deliver(Bytes(frame.begin(), frame.begin() + 66));
  EXPECT_EQ(rc66, 1);
  EXPECT_EQ(b.dev.msg_len_, 66u);
  EXPECT_EQ(b.dev.poll_step_, 1);
  EXPECT_EQ(b.out, "");
  EXPECT_TRUE(b.host.port->frames.empty());
  b.ExpectCellsUntouched();

  // The checksum byte and three bytes of line noise arrive together: 70 bytes held.
  const int rc70 = b.Deliver(Bytes{frame[66], 0xED, 0x01, 0x00});
  b.ExpectAccepted(rc70);
  for (int i = 0; i < 32; ++i) {
    EXPECT_EQ(b.dev.cells_[i], i < this->N ? 12.0f : kUntouched) << "cell " << i;
  }
}

TYPED_TEST(CellDecoding, RejectedFrameWith70BytesHeld) {
  Bench<TypeParam> b;
  b.Tick();
  Bytes chunk = CellFrame(0x01, Readings(1200));
  chunk[66] = static_cast<unsigned char>(chunk[66] + 1);
  chunk.insert(chunk.end(), {0xED, 0x01, 0x00});
  b.ExpectRejected(b.Deliver(chunk));
  EXPECT_EQ(b.dev.msg_len_, Decoder<TypeParam>::kHeldAfterRejecting70);
}

struct WindowCase {
  int battery_type;
  float adjust;
  std::uint16_t raw;
  float expected;
};

TYPED_TEST(CellDecoding, PlausibilityWindowAppliesToTheFinalValue) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const WindowCase cases[] = {
      // 6 V blocks: millivolts, 4.5 to 7.5 V
      {6, 0.0f, 4500, 4.5f},
      {6, 0.0f, 7500, 7.5f},
      {6, 0.0f, 4499, 0.0f},
      {6, 0.0f, 7501, 0.0f},
      {6, 0.0f, 1200, 0.0f},  // a 12 V reading is 1.2 V here
      {6, 0.5f, 7000, 7.5f},
      {6, 0.5f, 7001, 0.0f},
      // every other type: centivolts, 9.0 to 15.0 V
      {12, 0.0f, 900, 9.0f},
      {12, 0.0f, 1500, 15.0f},
      {12, 0.0f, 899, 0.0f},
      {12, 0.0f, 1501, 0.0f},
      {0, 0.0f, 900, 9.0f},
      {0, 0.0f, 1500, 15.0f},
      {0, 0.0f, 899, 0.0f},
      {0, 0.0f, 1501, 0.0f},
      {0, 0.0f, 1234, 12.34f},
      // offsets first, then the window
      {12, 0.5f, 1480, 0.0f},  // 14.8 + 0.5 = 15.3
      {12, 0.5f, 1450, 15.0f},
      {12, 0.5f, 850, 9.0f},
      {12, -0.5f, 950, 9.0f},
      {12, -0.5f, 940, 0.0f},
      {12, nan, 1200, 0.0f},
      {6, nan, 6000, 0.0f},
  };
  for (const WindowCase& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "type " << c.battery_type << " adjust " << c.adjust << " raw " << c.raw);
    Bench<TypeParam> b;
    b.dev.battery_type_ = c.battery_type;
    b.dev.battery_adjust_ = c.adjust;
    b.Tick();
    b.ExpectAccepted(b.Deliver(CellFrame(0x01, Readings(c.raw))));
    for (int i = 0; i < 32; ++i) {
      EXPECT_EQ(b.dev.cells_[i], i < this->N ? c.expected : kUntouched) << "cell " << i;
    }
  }
}

TYPED_TEST(CellDecoding, EndOffsetsFollowTheReadingNotTheSlot) {
  using D = Decoder<TypeParam>;
  const int last = this->N - 1;
  for (int dir : {0, 1}) {
    SCOPED_TRACE(::testing::Message() << "dir " << dir);
    Bench<TypeParam> b;
    b.dev.dir_ = dir;
    b.dev.t0_ = 0.25f;
    b.dev.t31_ = 0.5f;
    b.Tick();
    b.ExpectAccepted(b.Deliver(CellFrame(0x01, Ramp())));
    // Reading 0 (11.00 V) carries t0, the last decoded reading carries t31.
    const int first_slot = dir ? last : 0;
    const int last_slot = dir ? 0 : last;
    EXPECT_EQ(b.dev.cells_[first_slot], 11.25f);
    EXPECT_EQ(b.dev.cells_[dir ? last - 1 : 1], 11.1f);
    EXPECT_EQ(b.dev.cells_[dir ? 1 : last - 1], D::kRampSecondLast);
    EXPECT_EQ(b.dev.cells_[last_slot], D::kRampLastPlusHalf);
    for (int i = this->N; i < 32; ++i) EXPECT_EQ(b.dev.cells_[i], kUntouched) << "cell " << i;
  }
}

TYPED_TEST(CellDecoding, NanEndOffsetsClearOnlyTheirCell) {
  using D = Decoder<TypeParam>;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const int last = this->N - 1;
  for (bool first : {true, false}) {
    SCOPED_TRACE(first ? "t0 NaN" : "t31 NaN");
    Bench<TypeParam> b;
    (first ? b.dev.t0_ : b.dev.t31_) = nan;
    b.Tick();
    b.ExpectAccepted(b.Deliver(CellFrame(0x01, Ramp())));
    EXPECT_EQ(b.dev.cells_[0], first ? 0.0f : 11.0f);
    EXPECT_EQ(b.dev.cells_[1], 11.1f);
    EXPECT_EQ(b.dev.cells_[last], first ? D::kRampLast : 0.0f);
    for (int i = 0; i < this->N; ++i) EXPECT_FALSE(std::isnan(b.dev.cells_[i])) << "cell " << i;
  }
}

struct ChecksumCase {
  std::uint16_t reading0;  // with 31 readings of 1200 and address 0x01
  unsigned int byte_sum;   // of offsets 1..65, modulo 256
  unsigned char checksum;  // byte 66 as sent
  bool accepted;
  float cell0;
};

TYPED_TEST(CellDecoding, ByteSumsOf254And255WrapToChecksums0And1) {
  const ChecksumCase cases[] = {
      {1069, 254, 0x00, true, 10.69f}, {1069, 254, 0xFE, false, kUntouched},
      {1070, 255, 0x01, true, 10.7f},  {1070, 255, 0xFF, false, kUntouched},
      {1071, 0, 0x00, true, 10.71f},
  };
  for (const ChecksumCase& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "reading0 " << c.reading0 << " checksum " << int(c.checksum));
    auto readings = Readings(1200);
    readings[0] = c.reading0;
    Bytes frame = CellFrame(0x01, readings);
    unsigned int sum = 0;
    for (int i = 1; i <= 65; ++i) sum += frame[i];
    ASSERT_EQ(sum % 256, c.byte_sum);
    frame[66] = c.checksum;

    Bench<TypeParam> b;
    b.Tick();
    const int rc = b.Deliver(frame);
    if (c.accepted) {
      b.ExpectAccepted(rc);
      EXPECT_EQ(b.dev.cells_[0], c.cell0);
      EXPECT_EQ(b.out, this->Line("Battery32 4000000000 before CallGroupVoltage") +
                           this->Line("Battery32 4000000000 after CallGroupVoltage"));
    } else {
      b.ExpectRejected(rc);
      EXPECT_EQ(b.out, this->Line("Battery32 4000000000 checksum failed"));
    }
  }
}

TYPED_TEST(CellDecoding, WrongAddressIsRejectedEvenWithAMatchingChecksum) {
  // 0x81 is the address as the host keeps it; on the bus the module answers as 0x01.
  for (unsigned char addr : {0x02, 0x81, 0x00}) {
    SCOPED_TRACE(::testing::Message() << "address " << int(addr));
    Bench<TypeParam> b;
    b.Tick();
    b.ExpectRejected(b.Deliver(CellFrame(addr, Readings(1200))));
    EXPECT_EQ(b.out, this->Line("msg_buf[0] == 0xed && msg_buf[1] == addr_ failed"));
  }
}

TYPED_TEST(CellDecoding, WrongStartByteIsRejected) {
  // The receiver only ever starts a frame at an 0xED byte, so a frame with another first byte
  // can only be met in the buffer itself.
  Bench<TypeParam> b;
  b.Tick();
  Bytes frame = CellFrame(0x01, Readings(1200));
  frame[0] = 0xEC;
  std::memcpy(b.dev.msg_buf, frame.data(), frame.size());
  b.dev.msg_len_ = 67;
  testing::internal::CaptureStdout();
  const int rc = b.dev.ProcessBatteryVoltage();
  b.out = testing::internal::GetCapturedStdout();
  b.ExpectRejected(rc);
  EXPECT_EQ(b.out, this->Line("msg_buf[0] == 0xed && msg_buf[1] == addr_ failed"));
}

TEST(Ondrell20CellDecoding, ReadingsTwentyToThirtyOneOnlyFeedTheChecksum) {
  auto readings = Readings(1200);
  for (int i = 20; i < 32; ++i) readings[i] = 0xFFFF;  // outside every window
  const Bytes good = CellFrame(0x01, readings);
  Bytes stale = good;
  stale[2 + 2 * 25] = 0x00;  // reading 25, high byte; checksum left as it was
  Bytes fixed = stale;
  fixed[66] = Sum254(&fixed[1], 65);
  ASSERT_NE(fixed[66], good[66]);

  {
    Bench<OpenOndrell20> b;
    b.Tick();
    b.ExpectAccepted(b.Deliver(good));
    for (int i = 0; i < 32; ++i) {
      EXPECT_EQ(b.dev.cells_[i], i < 20 ? 12.0f : kUntouched) << "cell " << i;
    }
  }
  {
    Bench<OpenOndrell20> b;
    b.Tick();
    b.ExpectRejected(b.Deliver(stale));
    EXPECT_EQ(b.out, "");
  }
  {
    Bench<OpenOndrell20> b;
    b.Tick();
    b.ExpectAccepted(b.Deliver(fixed));
    EXPECT_EQ(b.dev.cells_[19], 12.0f);
    EXPECT_EQ(b.dev.cells_[20], kUntouched);
  }
}

}  // namespace

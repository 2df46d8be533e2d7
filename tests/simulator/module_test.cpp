// The simulated battery-monitoring module: exact frames, request parsing, each injected fault,
// and the values it reports. Expected bytes are worked out by hand (or with the independent
// sum of tests/host_recorder.h), never taken from the simulator itself.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "simulator/bms_module.h"
#include "tests/host_recorder.h"

using simulator::Bytes;
using simulator::Config;
using simulator::Module;
using simulator::Reply;

namespace {

// A module whose values do not move: every cell 13.57 V, 0.5 A, 25.00 degrees.
simulator::Config Flat() {
  simulator::Config c;
  c.cell_spread = 0;
  c.drift_volts = 0;
  c.float_volts = 13.57;
  c.float_current = 0.5;
  c.current_wander = 0;
  c.temperature = 25.0;
  c.temperature_swing = 0;
  return c;
}

// What the flat module sends when healthy, worked by hand:
//   cells: 32 readings, 20 of 1357 = 05 4D and 12 of 0; sum 01 + 20 x (05 + 4D) = 1641,
//          1641 mod 256 = 105 = 0x69
//   group voltage: 20 x 13.57 V = 271.4 V, raw 2714 = 0A 9A; 01 + 0A + 9A = 0xA5
//   current: 0.5 A, raw 5; 01 + 00 + 05 = 06
//   temperature: 25.00, raw 2500 = 09 C4; 01 + 09 + C4 = 0xCE
simulator::Bytes FlatCells() {
  simulator::Bytes b{0xED, 0x01};
  for (int i = 0; i < 32; ++i) {
    b.push_back(i < 20 ? 0x05 : 0x00);
    b.push_back(i < 20 ? 0x4D : 0x00);
  }
  b.push_back(0x69);
  return b;
}
const simulator::Bytes kFlatGroupVoltage{0xED, 0x01, 0x0A, 0x9A, 0xA5};
const simulator::Bytes kFlatCurrent{0xED, 0x01, 0x00, 0x05, 0x06};
const simulator::Bytes kFlatTemperature{0xED, 0x01, 0x09, 0xC4, 0xCE};

simulator::Bytes CleanFlat(std::uint8_t cmd) {
  switch (cmd) {
    case 0xA1:
      return FlatCells();
    case 0xA2:
      return kFlatGroupVoltage;
    case 0xA3:
      return kFlatCurrent;
    default:
      return kFlatTemperature;
  }
}

std::vector<simulator::Reply> Send(simulator::Module& m, const simulator::Bytes& bytes) {
  return m.Receive(bytes.data(), bytes.size());
}

simulator::Reply Ask(simulator::Module& m, std::uint8_t cmd, std::uint8_t addr = 0x01) {
  const std::vector<simulator::Reply> r = Send(m, test::Request(addr, cmd));
  EXPECT_EQ(r.size(), 1u);
  return r.empty() ? simulator::Reply() : r[0];
}

const std::uint8_t kCommands[] = {0xA1, 0xA2, 0xA3, 0xA4};

// ---------------------------------------------------------------------------------------------
// Frames

TEST(SimFrames, RequestsCarryTheSumOfAddressAndCommand) {
  struct Case {
    std::uint8_t addr, cmd;
    simulator::Bytes expected;
  } cases[] = {
      {0x01, 0xA1, {0xFE, 0xFE, 0x01, 0xA1, 0xA2}}, {0x01, 0xA2, {0xFE, 0xFE, 0x01, 0xA2, 0xA3}},
      {0x01, 0xA3, {0xFE, 0xFE, 0x01, 0xA3, 0xA4}}, {0x01, 0xA4, {0xFE, 0xFE, 0x01, 0xA4, 0xA5}},
      {0x5D, 0xA1, {0xFE, 0xFE, 0x5D, 0xA1, 0x00}},  // sum 254
      {0x5E, 0xA1, {0xFE, 0xFE, 0x5E, 0xA1, 0x01}},  // sum 255
      {0x80, 0xA1, {0xFE, 0xFE, 0x80, 0xA1, 0x21}},  // 0x121 wraps to 0x21
  };
  for (const Case& c : cases) {
    EXPECT_EQ(simulator::BuildRequest(c.addr, c.cmd), c.expected)
        << int(c.addr) << " " << int(c.cmd);
    const auto parsed = simulator::ParseRequest(c.expected.data(), c.expected.size());
    ASSERT_TRUE(parsed.has_value());
    EXPECT_FALSE(simulator::ParseRequest(c.expected.data(), 4).has_value());
    EXPECT_EQ(parsed->address, c.addr);
    EXPECT_EQ(parsed->command, c.cmd);
  }
}

TEST(SimFrames, ShortRepliesForWorkedValues) {
  struct Case {
    std::uint16_t raw;
    simulator::Bytes expected;
  } cases[] = {
      {2400, {0xED, 0x01, 0x09, 0x60, 0x6A}},    // 240.0 V
      {250, {0xED, 0x01, 0x00, 0xFA, 0xFB}},     // 25.0 A
      {2530, {0xED, 0x01, 0x09, 0xE2, 0xEC}},    // 25.30 degrees
      {3750, {0xED, 0x01, 0x0E, 0xA6, 0xB5}},    // sensor 50 A
      {0xFFFF, {0xED, 0x01, 0xFF, 0xFF, 0x01}},  // 8-bit sum 0xFF, then mod 254
      {0, {0xED, 0x01, 0x00, 0x00, 0x01}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(simulator::BuildShortReply(0x01, c.raw), c.expected) << c.raw;
}

TEST(SimFrames, CellFrameIsBigEndianWithSumOverAddressAndReadings) {
  simulator::Readings r{};
  for (int i = 0; i < 20; ++i) r[i] = 1357;
  EXPECT_EQ(simulator::BuildCellFrame(0x01, r), FlatCells());

  // Byte sum 01 + FD = 0xFE needs checksum 0; 01 + FE = 0xFF needs 1.
  simulator::Readings low{};
  low[0] = 0x00FD;
  simulator::Bytes f = simulator::BuildCellFrame(0x01, low);
  ASSERT_EQ(f.size(), 67u);
  EXPECT_EQ(f[2], 0x00);
  EXPECT_EQ(f[3], 0xFD);
  EXPECT_EQ(f[66], 0x00);
  low[31] = 0x0001;  // last reading: bytes 64, 65
  f = simulator::BuildCellFrame(0x01, low);
  EXPECT_EQ(f[65], 0x01);
  EXPECT_EQ(f[66], 0x01);
}

// ---------------------------------------------------------------------------------------------
// Request parsing

TEST(SimRequests, FoundInPiecesNoiseAndRuns) {
  const simulator::Bytes a1{0xFE, 0xFE, 0x01, 0xA1, 0xA2};
  const simulator::Bytes a2{0xFE, 0xFE, 0x01, 0xA2, 0xA3};
  struct Case {
    const char* name;
    std::vector<simulator::Bytes> writes;
    std::vector<std::uint8_t> commands;
  } cases[] = {
      {"one request", {a1}, {0xA1}},
      {"byte by byte", {{0xFE}, {0xFE}, {0x01}, {0xA1}, {0xA2}}, {0xA1}},
      {"two in one write",
       {{0xFE, 0xFE, 0x01, 0xA1, 0xA2, 0xFE, 0xFE, 0x01, 0xA2, 0xA3}},
       {0xA1, 0xA2}},
      {"split across the second",
       {{0xFE, 0xFE, 0x01, 0xA1, 0xA2, 0xFE, 0xFE}, {0x01, 0xA2, 0xA3}},
       {0xA1, 0xA2}},
      {"noise before", {{0x00, 0x13, 0xED, 0xFF, 0xFE, 0xFE, 0x01, 0xA1, 0xA2}}, {0xA1}},
      // FE FE FE 01 A1 fails its sum (FE + 01 = 0xFF -> 1); one byte on, the real request.
      {"three FE", {{0xFE, 0xFE, 0xFE, 0x01, 0xA1, 0xA2}}, {0xA1}},
      {"bad sum then good", {{0xFE, 0xFE, 0x01, 0xA1, 0xA3}, a2}, {0xA2}},
      // FE FE 01 FE FE fails its sum (01 + FE); the parser steps on and finds the whole one.
      {"truncated then whole", {{0xFE, 0xFE, 0x01}, a1}, {0xA1}},
      {"nothing", {{0x00, 0x01, 0x02}}, {}},
  };
  for (const Case& c : cases) {
    simulator::Module m(Flat());
    std::vector<std::uint8_t> got;
    for (const simulator::Bytes& w : c.writes) {
      for (const simulator::Reply& r : Send(m, w)) got.push_back(r.command);
    }
    EXPECT_EQ(got, c.commands) << c.name;
  }
}

TEST(SimRequests, OtherAddressBadSumAndUnknownCommandGetNoReply) {
  simulator::Module m(Flat());
  EXPECT_TRUE(Send(m, test::Request(0x02, 0xA1)).empty());
  EXPECT_TRUE(Send(m, {0xFE, 0xFE, 0x01, 0xA1, 0xA1}).empty());  // sum off by one
  EXPECT_TRUE(Send(m, {0xFE, 0xFE, 0x01, 0xA1, 0xA3}).empty());
  EXPECT_TRUE(Send(m, test::Request(0x01, 0xA5)).empty());
  EXPECT_TRUE(Send(m, test::Request(0x01, 0x00)).empty());
  EXPECT_EQ(m.counters().requests_seen, 0u);
  EXPECT_EQ(m.counters().requests_ignored, 5u);
  EXPECT_EQ(m.counters().replies_sent, 0u);
  // Still answering afterwards.
  EXPECT_EQ(Ask(m, 0xA2).Joined(), kFlatGroupVoltage);
}

TEST(SimRequests, ModuleAtAnotherAddressAnswersWithIt) {
  simulator::Config c = Flat();
  c.address = 0x5E;
  simulator::Module m(c);
  EXPECT_TRUE(Send(m, test::Request(0x01, 0xA4)).empty());
  // 5E + 09 + C4 = 0x12B -> 0x2B
  EXPECT_EQ(Ask(m, 0xA4, 0x5E).Joined(), (simulator::Bytes{0xED, 0x5E, 0x09, 0xC4, 0x2B}));
}

// ---------------------------------------------------------------------------------------------
// Healthy replies

TEST(SimReplies, CleanRepliesAreOneFrameWithTheTrueValues) {
  simulator::Module m(Flat());
  for (std::uint8_t cmd : kCommands) {
    const simulator::Reply r = Ask(m, cmd);
    EXPECT_EQ(r.command, cmd);
    EXPECT_TRUE(r.clean);
    EXPECT_EQ(r.faults, 0u);
    ASSERT_EQ(r.chunks.size(), 1u);
    EXPECT_EQ(r.chunks[0], CleanFlat(cmd)) << int(cmd);
  }
  const simulator::Reply cells = Ask(m, 0xA1);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(cells.readings[i], i < 20 ? 1357 : 0) << i;
  EXPECT_EQ(Ask(m, 0xA2).raw, 2714);
  EXPECT_EQ(Ask(m, 0xA3).raw, 5);
  EXPECT_EQ(Ask(m, 0xA4).raw, 2500);
  EXPECT_EQ(m.counters().requests_seen, 8u);
  EXPECT_EQ(m.counters().replies_sent, 8u);
  EXPECT_EQ(m.counters().replies_clean, 8u);
}

TEST(SimReplies, CurrentEncodings) {
  struct Case {
    const char* name;
    bool discharge;
    simulator::CurrentEncoding encoding;
    std::uint16_t raw;
    simulator::Bytes expected;
  } cases[] = {
      // -30.0 A in tenths: -300 = 0xFED4; 01 + FE + D4 = 0x1D3 -> 0xD3
      {"discharge, tenths",
       true,
       simulator::CurrentEncoding::kTenths,
       0xFED4,
       {0xED, 0x01, 0xFE, 0xD4, 0xD3}},
      // sensor: (-30 / 50 + 2) x 1250 = 1750 = 06 D6; 01 + 06 + D6 = 0xDD
      {"discharge, sensor",
       true,
       simulator::CurrentEncoding::kSensor,
       1750,
       {0xED, 0x01, 0x06, 0xD6, 0xDD}},
      // sensor: (1.0 / 50 + 2) x 1250 = 2525 = 09 DD; 01 + 09 + DD = 0xE7
      {"float, sensor",
       false,
       simulator::CurrentEncoding::kSensor,
       2525,
       {0xED, 0x01, 0x09, 0xDD, 0xE7}},
  };
  for (const Case& c : cases) {
    simulator::Config cfg = Flat();
    cfg.discharge = c.discharge;
    cfg.discharge_current = -30.0;
    cfg.float_current = 1.0;
    cfg.current_encoding = c.encoding;
    simulator::Module m(cfg);
    const simulator::Reply r = Ask(m, 0xA3);
    EXPECT_EQ(r.raw, c.raw) << c.name;
    EXPECT_EQ(r.Joined(), c.expected) << c.name;
  }
}

TEST(SimReplies, FewerCellsLeaveTheOtherReadingsZero) {
  simulator::Config c = Flat();
  c.cells = 3;
  simulator::Module m(c);
  const simulator::Reply r = Ask(m, 0xA1);
  // 01 + 3 x (05 + 4D) = 247 = 0xF7
  simulator::Bytes expected{0xED, 0x01, 0x05, 0x4D, 0x05, 0x4D, 0x05, 0x4D};
  expected.resize(66, 0x00);
  expected.push_back(0xF7);
  EXPECT_EQ(r.Joined(), expected);
  // 3 x 13.57 = 40.71 V, raw 407 = 01 97; 01 + 01 + 97 = 0x99
  EXPECT_EQ(Ask(m, 0xA2).Joined(), (simulator::Bytes{0xED, 0x01, 0x01, 0x97, 0x99}));
}

// Decodes a cell frame the way a receiver must, written out here on its own.
std::vector<double> DecodeCells(const simulator::Bytes& f, int cells) {
  std::vector<double> v;
  for (int i = 0; i < cells; ++i) v.push_back(((f[2 + 2 * i] << 8) | f[3 + 2 * i]) / 100.0);
  return v;
}

TEST(SimValues, FloatChargeStaysInItsBandAndAgreesWithTheGroupVoltage) {
  simulator::Config c;
  c.seed = 7;
  simulator::Module m(c);
  for (int step = 0; step < 48; ++step) {  // 12 hours in quarter hours
    const simulator::Bytes cells = Ask(m, 0xA1).Joined();
    ASSERT_EQ(cells.size(), 67u);
    EXPECT_EQ(cells[66], test::Sum254(&cells[1], 65));
    double sum = 0;
    for (double v : DecodeCells(cells, 20)) {
      EXPECT_GE(v, 13.50);
      EXPECT_LE(v, 13.65);
      EXPECT_GE(v, 9.0);
      EXPECT_LE(v, 15.0);
      sum += v;
    }
    const std::uint16_t group = Ask(m, 0xA2).raw;
    EXPECT_NEAR(group / 10.0, sum, 0.05 + 1e-9);
    const std::uint16_t amps = Ask(m, 0xA3).raw;
    EXPECT_GT(amps, 0);
    EXPECT_LE(amps, 10);  // at most 1.0 A
    const std::uint16_t temp = Ask(m, 0xA4).raw;
    EXPECT_GE(temp, 2400);
    EXPECT_LE(temp, 2600);
    m.Advance(900);
  }
  EXPECT_EQ(m.elapsed(), 48 * 900.0);
}

TEST(SimValues, DischargeDrawsAConstantCurrentAndTheCellsFallAfterTheDip) {
  simulator::Config c;
  c.discharge = true;
  c.current_encoding = simulator::CurrentEncoding::kSensor;
  simulator::Module m(c);
  m.Advance(600);  // past the initial dip and its recovery
  double previous_group = 1e9;
  for (int step = 0; step < 10; ++step) {  // 10 to 110 minutes
    EXPECT_EQ(m.current(), -50.0);
    // Decoded from the sensor's raw value: ((raw / 10) / 125 - 2) x 50
    const double decoded = ((Ask(m, 0xA3).raw / 10.0) / 125.0 - 2.0) * 50.0;
    EXPECT_NEAR(decoded, -50.0, 0.05);
    const double group = Ask(m, 0xA2).raw / 10.0;
    EXPECT_LT(group, previous_group);
    previous_group = group;
    for (double v : DecodeCells(Ask(m, 0xA1).Joined(), 20)) {
      EXPECT_GE(v, 10.5);
      EXPECT_LE(v, 12.2);
    }
    m.Advance(600);
  }
}

TEST(SimValues, AdvanceIsTheOnlyThingThatMovesValues) {
  simulator::Module m;  // default drift
  const simulator::Bytes before = Ask(m, 0xA1).Joined();
  EXPECT_EQ(Ask(m, 0xA1).Joined(), before);
  m.Advance(0);
  m.Advance(-5);  // ignored
  EXPECT_EQ(Ask(m, 0xA1).Joined(), before);
  m.Advance(600);
  EXPECT_NE(Ask(m, 0xA1).Joined(), before);
}

// ---------------------------------------------------------------------------------------------
// Faults

simulator::Faults Only(double simulator::Faults::*rate) {
  simulator::Faults f;
  f.*rate = 1.0;
  return f;
}

simulator::Module FlatWith(const simulator::Faults& f, std::uint64_t seed = 1) {
  simulator::Config c = Flat();
  c.faults = f;
  c.seed = seed;
  return simulator::Module(c);
}

// Every reply of a few seeds, for each command.
template <typename Check>
void ForSomeReplies(const simulator::Faults& f, Check check) {
  for (std::uint64_t seed = 1; seed <= 5; ++seed) {
    simulator::Module m = FlatWith(f, seed);
    for (int round = 0; round < 10; ++round) {
      for (std::uint8_t cmd : kCommands) check(Ask(m, cmd), CleanFlat(cmd));
    }
  }
}

TEST(SimFaults, NoiseIsAFewBytesWithoutTheStartByteBeforeTheFrame) {
  ForSomeReplies(Only(&simulator::Faults::noise),
                 [](const simulator::Reply& r, const simulator::Bytes& clean) {
                   EXPECT_FALSE(r.clean);
                   EXPECT_EQ(r.faults, simulator::kFaultNoise);
                   ASSERT_EQ(r.chunks.size(), 1u);
                   const simulator::Bytes& b = r.chunks[0];
                   ASSERT_GT(b.size(), clean.size());
                   const std::size_t noise = b.size() - clean.size();
                   EXPECT_LE(noise, 8u);
                   for (std::size_t i = 0; i < noise; ++i) EXPECT_NE(b[i], 0xED);
                   EXPECT_EQ(simulator::Bytes(b.begin() + noise, b.end()), clean);
                 });
}

TEST(SimFaults, SplitWritesTheSameFrameInTwoToFourPieces) {
  std::set<std::size_t> piece_counts;
  ForSomeReplies(Only(&simulator::Faults::split),
                 [&](const simulator::Reply& r, const simulator::Bytes& clean) {
                   EXPECT_FALSE(r.clean);
                   EXPECT_EQ(r.faults, simulator::kFaultSplit);
                   EXPECT_GE(r.chunks.size(), 2u);
                   EXPECT_LE(r.chunks.size(), 4u);
                   for (const simulator::Bytes& c : r.chunks) EXPECT_FALSE(c.empty());
                   EXPECT_EQ(r.Joined(), clean);
                   piece_counts.insert(r.chunks.size());
                 });
  EXPECT_EQ(piece_counts, (std::set<std::size_t>{2, 3, 4}));
}

TEST(SimFaults, DropSendsNothing) {
  simulator::Module m = FlatWith(Only(&simulator::Faults::drop));
  for (std::uint8_t cmd : kCommands) {
    const simulator::Reply r = Ask(m, cmd);
    EXPECT_TRUE(r.chunks.empty());
    EXPECT_FALSE(r.clean);
    EXPECT_EQ(r.faults, simulator::kFaultDrop);
  }
  EXPECT_EQ(m.counters().requests_seen, 4u);
  EXPECT_EQ(m.counters().replies_sent, 0u);
  EXPECT_EQ(m.counters().faults[2], 4u);  // bit 2: drop
}

TEST(SimFaults, BadChecksumChangesOnlyTheLastByte) {
  ForSomeReplies(Only(&simulator::Faults::bad_checksum),
                 [](const simulator::Reply& r, const simulator::Bytes& clean) {
                   EXPECT_FALSE(r.clean);
                   EXPECT_EQ(r.faults, simulator::kFaultBadChecksum);
                   const simulator::Bytes b = r.Joined();
                   ASSERT_EQ(b.size(), clean.size());
                   EXPECT_EQ(simulator::Bytes(b.begin(), b.end() - 1),
                             simulator::Bytes(clean.begin(), clean.end() - 1));
                   EXPECT_NE(b.back(), clean.back());
                 });
}

TEST(SimFaults, WrongAddressCarriesASumThatMatchesItsOwnBytes) {
  ForSomeReplies(Only(&simulator::Faults::wrong_address),
                 [](const simulator::Reply& r, const simulator::Bytes& clean) {
                   EXPECT_FALSE(r.clean);
                   EXPECT_EQ(r.faults, simulator::kFaultWrongAddress);
                   const simulator::Bytes b = r.Joined();
                   ASSERT_EQ(b.size(), clean.size());
                   EXPECT_EQ(b[0], 0xED);
                   EXPECT_NE(b[1], 0x01);
                   EXPECT_EQ(simulator::Bytes(b.begin() + 2, b.end() - 1),
                             simulator::Bytes(clean.begin() + 2, clean.end() - 1));
                   EXPECT_EQ(b.back(), test::Sum254(&b[1], b.size() - 2));
                 });
}

TEST(SimFaults, OutOfWindowPutsOneCellOrTheTemperatureOutside) {
  simulator::Module m = FlatWith(Only(&simulator::Faults::out_of_window));
  for (int round = 0; round < 40; ++round) {
    const simulator::Reply cells = Ask(m, 0xA1);
    EXPECT_FALSE(cells.clean);
    EXPECT_EQ(cells.faults, simulator::kFaultOutOfWindow);
    const simulator::Bytes f = cells.Joined();
    ASSERT_EQ(f.size(), 67u);
    EXPECT_EQ(f[66], test::Sum254(&f[1], 65));  // otherwise a well-formed frame
    int outside = 0;
    for (int i = 0; i < 32; ++i) {
      const int raw = (f[2 + 2 * i] << 8) | f[3 + 2 * i];
      EXPECT_EQ(cells.readings[i], raw);
      if (i >= 20) {
        EXPECT_EQ(raw, 0);
      } else if (raw != 1357) {
        EXPECT_TRUE(raw < 900 || raw > 1500) << raw;
        ++outside;
      }
    }
    EXPECT_EQ(outside, 1);

    const simulator::Reply temp = Ask(m, 0xA4);
    EXPECT_FALSE(temp.clean);
    EXPECT_TRUE(temp.raw == 0 || temp.raw > 10000) << temp.raw;
    EXPECT_EQ(temp.Joined(), simulator::BuildShortReply(0x01, temp.raw));
    // Group voltage and current have no window: left alone.
    EXPECT_TRUE(Ask(m, 0xA2).clean);
    EXPECT_TRUE(Ask(m, 0xA3).clean);
  }
}

TEST(SimFaults, GarbageIsALongerBurstWrittenBeforeTheFrame) {
  bool saw_start_byte = false;
  ForSomeReplies(Only(&simulator::Faults::garbage),
                 [&](const simulator::Reply& r, const simulator::Bytes& clean) {
                   EXPECT_FALSE(r.clean);
                   EXPECT_EQ(r.faults, simulator::kFaultGarbage);
                   ASSERT_EQ(r.chunks.size(), 2u);
                   EXPECT_GE(r.chunks[0].size(), 16u);
                   EXPECT_LE(r.chunks[0].size(), 48u);
                   EXPECT_EQ(r.chunks[1], clean);
                   for (std::uint8_t b : r.chunks[0]) saw_start_byte |= b == 0xED;
                 });
  EXPECT_TRUE(saw_start_byte);
}

TEST(SimFaults, SilenceLastsTheConfiguredNumberOfRequestsThenTheModuleAnswers) {
  simulator::Faults f;
  f.silence = 1.0;
  f.silence_requests = 3;
  simulator::Module m = FlatWith(f);
  simulator::Reply r = Ask(m, 0xA1);
  EXPECT_TRUE(r.chunks.empty());
  EXPECT_EQ(r.faults, simulator::kFaultSilence);
  EXPECT_EQ(m.silence_left(), 2u);

  m.set_faults(simulator::Faults());  // no new faults: the silence runs out
  EXPECT_TRUE(Ask(m, 0xA1).chunks.empty());
  EXPECT_TRUE(Ask(m, 0xA2).chunks.empty());
  EXPECT_EQ(m.silence_left(), 0u);
  r = Ask(m, 0xA1);
  EXPECT_TRUE(r.clean);
  EXPECT_EQ(r.Joined(), FlatCells());
  EXPECT_EQ(m.counters().faults[7], 3u);  // bit 7: silence, one per unanswered request
  EXPECT_EQ(m.counters().replies_sent, 1u);
}

TEST(SimFaults, FaultNamesForReports) {
  const char* expected[] = {"noise",         "split",         "drop",    "bad-checksum",
                            "wrong-address", "out-of-window", "garbage", "silence"};
  for (int b = 0; b < simulator::kFaultKinds; ++b) {
    EXPECT_EQ(std::string(simulator::FaultName(1u << b)), expected[b]);
  }
  EXPECT_EQ(std::string(simulator::FaultName(3)), "");
}

// ---------------------------------------------------------------------------------------------
// Repeatability

std::vector<simulator::Reply> RunWithFaults(std::uint64_t seed) {
  simulator::Config c;  // default drift, every fault sometimes
  c.seed = seed;
  c.faults.noise = c.faults.split = c.faults.drop = c.faults.bad_checksum = 0.1;
  c.faults.wrong_address = c.faults.out_of_window = c.faults.garbage = c.faults.silence = 0.1;
  c.faults.silence_requests = 2;
  simulator::Module m(c);
  std::vector<simulator::Reply> all;
  for (int round = 0; round < 100; ++round) {
    for (std::uint8_t cmd : kCommands) {
      for (simulator::Reply& r : Send(m, test::Request(0x01, cmd))) all.push_back(std::move(r));
    }
    m.Advance(2.5);
  }
  return all;
}

TEST(SimRepeat, SameSeedSameBytesOtherSeedOtherBytes) {
  const std::vector<simulator::Reply> a = RunWithFaults(42), b = RunWithFaults(42),
                                      c = RunWithFaults(43);
  ASSERT_EQ(a.size(), 400u);
  ASSERT_EQ(b.size(), 400u);
  bool differs = false;
  std::uint32_t seen = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].chunks, b[i].chunks) << i;
    EXPECT_EQ(a[i].faults, b[i].faults) << i;
    differs |= a[i].chunks != c[i].chunks;
    seen |= a[i].faults;
  }
  EXPECT_TRUE(differs);
  EXPECT_EQ(seen, 0xFFu);  // every kind turned up
}

}  // namespace

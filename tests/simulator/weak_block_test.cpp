// The capacity test's discharge: the lead-acid curve at worked points, the weak block reaching
// the end voltage first whatever the seed, the load tripping at the string's end voltage, the
// load step measuring each block's resistance, and the settings under which nothing shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "simulator/bms_module.h"

using simulator::Config;
using simulator::Module;
using simulator::Readings;

namespace {

simulator::Config Discharge(std::uint64_t seed, int weak_cell) {
  simulator::Config c;
  c.discharge = true;
  c.seed = seed;
  c.weak_cell = weak_cell;
  return c;
}

simulator::Readings At(simulator::Config c, double seconds) {
  simulator::Module m(c);
  m.Advance(seconds);
  return m.CellReadings();
}

TEST(DischargeCurve, WorkedPoints) {
  // 12.85 - 0.85 f - 50 x 0.004 - 0.55 - 0.06 f / (1.08 - f) - dip, long after the dip:
  struct Case {
    double f, volts;
  } cases[] = {
      {0.0, 12.10}, {0.5, 12.425 - 0.75 - 0.03 / 0.58}, {0.9, 12.085 - 0.75 - 0.3},
      {1.0, 10.50}, {1.04, 11.966 - 0.75 - 1.56},       {1.06, 11.949 - 0.75 - 0.0636 / 0.02},
      {1.08, 1.0}};
  for (const Case& c : cases) {
    EXPECT_NEAR(simulator::DischargeVolts(c.f, 50, 0.004, 3600), c.volts, 1e-9) << c.f;
  }
  // The dip: 0.12 V at two minutes, none at the start, nearly gone by ten.
  EXPECT_NEAR(simulator::DischargeVolts(0, 50, 0.004, 0), 12.10, 1e-12);
  EXPECT_NEAR(simulator::DischargeVolts(0, 50, 0.004, 120), 12.10 - 0.12, 1e-12);
  EXPECT_GT(simulator::DischargeVolts(0, 50, 0.004, 600), 12.10 - 0.012);
}

// Minutes from the start to each block's first reading at or below 10.50 V, in steps of 30 s.
std::vector<double> CrossingMinutes(const simulator::Config& c, double* trip_minutes) {
  simulator::Module m(c);
  std::vector<double> at(c.cells, -1);
  while (!m.tripped_at() && m.elapsed() < 4 * 3600) {
    m.Advance(30);
    const simulator::Readings r = m.CellReadings();
    for (int i = 0; i < c.cells; ++i) {
      if (at[i] < 0 && r[i] <= 1050) at[i] = m.elapsed() / 60;
    }
  }
  *trip_minutes = m.tripped_at() ? *m.tripped_at() / 60 : -1;
  return at;
}

TEST(WeakBlock, ReachesTheEndVoltageFirstWhateverTheSeed) {
  // 50 A from blocks of 97..103 Ah: healthy ones reach 10.5 V at 116..124 min; the weak one
  // (0.8 of its own 97..103 Ah, more resistance) at most at 0.8 x 124 = 99 min.
  for (std::uint64_t seed = 1; seed <= 8; ++seed) {
    simulator::Config c = Discharge(seed, 7);
    c.weak_capacity = 0.8;
    double trip = 0;
    const std::vector<double> at = CrossingMinutes(c, &trip);
    ASSERT_GT(at[6], 0) << seed;
    EXPECT_LE(at[6], 99) << seed;
    for (int i = 0; i < 20; ++i) {
      if (i != 6 && at[i] > 0) {
        EXPECT_GE(at[i] - at[6], 10) << seed << " block " << i + 1;
      }
    }
    EXPECT_GT(trip, at[6]) << seed;  // the string still carries it for a while
    EXPECT_LT(trip, 125) << seed;
  }
}

TEST(WeakBlock, LoadTripsAtTheStringsEndVoltageAndTheBlocksRecover) {
  simulator::Module m(Discharge(3, 0));
  m.Advance(2 * 3600 + 600);
  ASSERT_TRUE(m.tripped_at());
  // Healthy blocks of 97..103 Ah: the average block is at 10.5 V near two hours.
  EXPECT_GT(*m.tripped_at(), 116 * 60.0);
  EXPECT_LT(*m.tripped_at(), 124 * 60.0);
  EXPECT_EQ(m.current(), 0.0);
  EXPECT_NEAR(m.delivered_ah(), 50.0 * *m.tripped_at() / 3600, 0.02);
  for (int i = 0; i < 20; ++i) EXPECT_GT(m.cell_volts(i), 11.5) << i;  // resting, 10+ min on
}

TEST(WeakBlock, LoadStepShowsEachBlocksResistance) {
  simulator::Config c = Discharge(5, 4);
  c.load_step = 20;
  simulator::Module m(c);
  m.Advance(299.5);
  EXPECT_EQ(m.current(), -50.0);
  std::vector<double> before;
  for (int i = 0; i < 20; ++i) before.push_back(m.cell_volts(i));
  m.Advance(1);  // 5 minutes in: 70 A for a minute
  EXPECT_EQ(m.current(), -70.0);
  for (int i = 0; i < 20; ++i) {
    EXPECT_NEAR((before[i] - m.cell_volts(i)) / 20, m.block_ohms(i), 2e-5) << i;
  }
  EXPECT_NEAR(m.block_ohms(3), 0.004 * 1.1 / 0.25, 0.004 * 0.2 / 0.25);  // weak: / 0.5 squared
  m.Advance(60);
  EXPECT_EQ(m.current(), -50.0);
}

TEST(WeakBlock, NoWeakBlockShowsNothing) {
  const simulator::Readings plain = At(Discharge(4, 0), 5400);
  EXPECT_EQ(At(Discharge(4, 21), 5400), plain);  // beyond the 20 cells
  simulator::Config full = Discharge(4, 3);
  full.weak_capacity = 1.0;  // as big as the others: same capacity, same resistance
  EXPECT_EQ(At(full, 5400), plain);
  simulator::Config floating = Discharge(4, 3);
  floating.discharge = false;
  simulator::Config floating_plain = floating;
  floating_plain.weak_cell = 0;
  EXPECT_EQ(At(floating, 5400), At(floating_plain, 5400));
}

}  // namespace

// The weak block of a discharge test: worked values at the start and after an hour, for many
// seeds, and the settings under which it must not show at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "simulator/bms_module.h"

using bms_sim::Config;
using bms_sim::Module;
using bms_sim::Readings;

namespace {

Config Discharge(std::uint64_t seed, int weak_cell) {
  Config c;
  c.discharge = true;
  c.seed = seed;
  c.weak_cell = weak_cell;
  return c;
}

Readings At(Config c, double seconds) {
  Module m(c);
  m.Advance(seconds);
  return m.CellReadings();
}

TEST(WeakBlock, SagsByItsExtraResistanceFromTheStart) {
  // No spread, a steady 30 A: healthy blocks 12.80 V. Extra resistance 5 mOhm x (1/c - 1):
  // c = 0.5: 12.80 - 0.005 x 1 x 30 = 12.65 V; c = 0.25: 12.80 - 0.005 x 3 x 30 = 12.35 V.
  Config c = Discharge(1, 7);
  c.cell_spread = 0;
  c.current_wander = 0;
  Readings r = At(c, 0);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(r[i], i == 6 ? 1265 : 1280) << i;
  c.weak_capacity = 0.25;
  EXPECT_EQ(At(c, 0)[6], 1235);
  c.weak_cell = 1;  // counted from 1
  r = At(c, 0);
  EXPECT_EQ(r[0], 1235);
  EXPECT_EQ(r[6], 1280);
}

TEST(WeakBlock, ClearlyLowestAndFallenMostAfterAnHourWhateverTheSeed) {
  // Steady 30 A, spread +-0.04 V, slopes 0.9..1.1 of 0.6 V an hour (the weak one / 0.5):
  //   t = 0    healthy 12.76..12.84, weak 12.61..12.69
  //   t = 1 h  healthy 12.10..12.30, weak 11.29..11.61
  for (std::uint64_t seed = 1; seed <= 12; ++seed) {
    Config c = Discharge(seed, 12);
    c.current_wander = 0;
    const Readings start = At(c, 0), hour = At(c, 3600);
    for (int i = 0; i < 20; ++i) {
      const int drop = start[i] - hour[i];
      if (i == 11) {
        EXPECT_TRUE(start[i] >= 1261 && start[i] <= 1269) << seed << " " << start[i];
        EXPECT_TRUE(hour[i] >= 1129 && hour[i] <= 1161) << seed << " " << hour[i];
        EXPECT_GE(drop, 107) << seed;
      } else {
        EXPECT_TRUE(start[i] >= 1276 && start[i] <= 1284) << seed << " " << i;
        EXPECT_TRUE(hour[i] >= 1210 && hour[i] <= 1230) << seed << " " << i;
        EXPECT_LE(drop, 67) << seed;
      }
    }
  }
}

TEST(WeakBlock, MarginsHoldWithTheLoadWandering) {
  // 22.5..37.5 A: the extra drop is 0.11..0.19 V, the same at t = 0 and t = 1 h (the load's
  // period is 15 minutes). Lowest: healthy >= 12.10, weak <= 12.84 - 1.08 - 0.1125 = 11.65, a
  // gap of at least 0.45 V; fall: weak >= 1.08, healthy <= 0.66 V, 0.42 V apart.
  for (std::uint64_t seed = 1; seed <= 30; ++seed) {
    const Config c = Discharge(seed, 5);
    const Readings start = At(c, 0), hour = At(c, 3600);
    int lowest_other = 65535, largest_other_drop = 0;
    for (int i = 0; i < 20; ++i) {
      if (i == 4) continue;
      lowest_other = std::min<int>(lowest_other, hour[i]);
      largest_other_drop = std::max(largest_other_drop, start[i] - hour[i]);
    }
    EXPECT_GE(lowest_other - hour[4], 44) << seed;
    EXPECT_GE((start[4] - hour[4]) - largest_other_drop, 40) << seed;
  }
}

TEST(WeakBlock, StopsAtTheEndVoltage) {
  // The weak block falls 1.08..1.32 V an hour from at most 12.84 - 0.11: below 10.5 V by 3 h.
  const Readings r = At(Discharge(3, 20), 3 * 3600);
  EXPECT_EQ(r[19], 1050);
  for (int i = 0; i < 19; ++i) EXPECT_GT(r[i], 1050) << i;  // 12.8 - 1.98 - 0.04 at least
}

TEST(WeakBlock, NoWeakBlockShowsNothing) {
  const Readings plain = At(Discharge(4, 0), 5400);
  EXPECT_EQ(At(Discharge(4, 21), 5400), plain);  // beyond the 20 cells
  Config full = Discharge(4, 3);
  full.weak_capacity = 1.0;  // as big as the others: no faster fall, no extra resistance
  EXPECT_EQ(At(full, 5400), plain);
  Config floating = Discharge(4, 3);
  floating.discharge = false;
  Config floating_plain = floating;
  floating_plain.weak_cell = 0;
  EXPECT_EQ(At(floating, 5400), At(floating_plain, 5400));
}

}  // namespace

// The soak's own ledger and decoding, and short soaks whose outcome is known in advance: a quiet
// line completes every round, a dead line completes none and blames the silence, a line that
// only splits replies loses exactly the rounds whose short replies were split.

#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

#include "soak/soak.h"

namespace {

// The devices' diagnostic lines would drown the test output.
class QuietStdout : public ::testing::Test {
 protected:
  void SetUp() override {
    std::fflush(stdout);
    saved_ = dup(fileno(stdout));
    ASSERT_NE(std::freopen("/dev/null", "w", stdout), nullptr);
  }
  void TearDown() override {
    std::fflush(stdout);
    dup2(saved_, fileno(stdout));
    close(saved_);
  }
  int saved_ = -1;
};

TEST(SoakDecoding, CellsAreHundredthsOfAVoltInsideTheWindow) {
  EXPECT_EQ(soak::DecodeCell(1180), 11.8f);
  EXPECT_EQ(soak::DecodeCell(900), 9.0f);    // lower bound belongs to the window
  EXPECT_EQ(soak::DecodeCell(1500), 15.0f);  // upper bound too
  EXPECT_EQ(soak::DecodeCell(899), 0.0f);
  EXPECT_EQ(soak::DecodeCell(1501), 0.0f);
  EXPECT_EQ(soak::DecodeCell(0), 0.0f);
}

TEST(SoakDecoding, ShortReplies) {
  EXPECT_EQ(soak::DecodeGroupVoltage(2400), 240.0f);
  EXPECT_EQ(soak::DecodeCurrentTenths(250), 25.0f);
  // Hall sensor: 2.5 V is no current, 1.25 V per 50 A.
  EXPECT_EQ(soak::DecodeCurrentSensor(2500), 0.0f);
  EXPECT_EQ(soak::DecodeCurrentSensor(3750), 50.0f);
  EXPECT_EQ(soak::DecodeCurrentSensor(1250), -50.0f);
  EXPECT_EQ(soak::DecodeCurrentSensor(0), -100.0f);
  float t = -1.0f;
  EXPECT_TRUE(soak::DecodeTemperature(2530, &t));
  EXPECT_EQ(t, 25.3f);
  EXPECT_TRUE(soak::DecodeTemperature(10000, &t));
  EXPECT_EQ(t, 100.0f);
  t = -1.0f;
  EXPECT_FALSE(soak::DecodeTemperature(0, &t));
  EXPECT_FALSE(soak::DecodeTemperature(10001, &t));
  EXPECT_EQ(t, -1.0f);
}

TEST(SoakDecoding, FaultNamesJoinTheBitsInOrder) {
  EXPECT_EQ(soak::FaultNames(0), "clean");
  EXPECT_EQ(soak::FaultNames(simulator::kFaultDrop), "drop");
  EXPECT_EQ(soak::FaultNames(simulator::kFaultNoise | simulator::kFaultSplit), "noise+split");
}

using SoakRun = QuietStdout;

TEST_F(SoakRun, QuietLineCompletesEveryRound) {
  soak::Soak run(soak::DefaultStations(), simulator::Faults{}, 3);
  const soak::Report& r = run.Run(400);
  EXPECT_EQ(r.mismatches, 0u) << (r.first_mismatches.empty() ? "" : r.first_mismatches[0]);
  // One round per device and tick, four replies each, all clean and all taken.
  EXPECT_EQ(r.ticks, 100u);
  EXPECT_EQ(r.rounds_started, 400u);
  EXPECT_EQ(r.rounds_completed, 400u);
  EXPECT_EQ(r.rounds_abandoned, 0u);
  EXPECT_EQ(r.replies, 1600u);
  EXPECT_EQ(r.replies_clean, 1600u);
  EXPECT_EQ(r.clean_replies_taken, 1600u);
  EXPECT_EQ(r.history_records_checked, 400u);
  EXPECT_EQ(r.completed_per_device, (std::vector<std::uint64_t>{100, 100, 100, 100}));
}

TEST_F(SoakRun, DeadLineCompletesNothingAndBlamesTheSilence) {
  simulator::Faults f;
  f.drop = 1.0;
  soak::Soak run(soak::DefaultStations(), f, 3);
  const soak::Report& r = run.Run(40);
  EXPECT_EQ(r.mismatches, 0u);
  // A1 and three re-sends per round: four ticks each, then the next tick abandons it.
  EXPECT_EQ(r.rounds_completed, 0u);
  EXPECT_EQ(r.rounds_started, 40u);
  EXPECT_EQ(r.ticks, 37u);  // rounds start on ticks 1, 5, ..., 37 for each of the 4 devices
  EXPECT_EQ(r.rounds_abandoned, 36u);
  EXPECT_EQ(r.rounds_open_at_end, 4u);
  ASSERT_EQ(r.abandoned_by_cause.size(), 1u);
  EXPECT_EQ(r.abandoned_by_cause.begin()->first, "step 1: drop");
  EXPECT_EQ(r.history_records_checked, 0u);
}

TEST_F(SoakRun, SplitRepliesOnlyCostTheRoundsWhoseShortRepliesWereSplit) {
  simulator::Faults f;
  f.split = 1.0;  // every reply in pieces: cell frames are collected, short replies are not
  soak::Soak run(soak::DefaultStations(), f, 3);
  const soak::Report& r = run.Run(80);
  EXPECT_EQ(r.mismatches, 0u) << (r.first_mismatches.empty() ? "" : r.first_mismatches[0]);
  EXPECT_EQ(r.rounds_completed, 0u);
  EXPECT_EQ(r.rounds_abandoned + r.rounds_open_at_end, 80u);
  ASSERT_EQ(r.abandoned_by_cause.size(), 1u);
  EXPECT_EQ(r.abandoned_by_cause.begin()->first, "step 2: split");
  // Every split cell frame was taken all the same.
  EXPECT_EQ(r.faulty_replies_taken, r.rounds_started);
}

TEST_F(SoakRun, RealisticLineMatchesTheLedger) {
  soak::Soak run(soak::DefaultStations(), soak::RealisticFaults(), 11);
  const soak::Report& r = run.Run(2000);
  EXPECT_EQ(r.mismatches, 0u) << (r.first_mismatches.empty() ? "" : r.first_mismatches[0]);
  EXPECT_GT(r.rounds_completed, 1500u);
  EXPECT_GT(r.rounds_abandoned, 0u);
  EXPECT_EQ(r.history_records_checked, r.rounds_completed);
}

}  // namespace

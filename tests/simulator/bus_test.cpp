// Several simulated modules on one line: routing by address, parsing once for the line, the
// run-time commands and the module settings as text. Expected bytes are worked out by hand.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "simulator/bms_bus.h"
#include "simulator/module_options.h"

using simulator::Bus;
using simulator::Bytes;
using simulator::Config;

namespace {

simulator::Config Flat(std::uint8_t address, std::uint64_t seed) {
  simulator::Config c;
  c.address = address;
  c.seed = seed;
  c.cell_spread = c.drift_volts = c.current_wander = c.temperature_swing = 0;
  c.float_volts = 13.57;
  return c;
}

// 0x01: 13.57 V blocks, 25.00 degrees. 0x02: 30.00 degrees. 0x03: 13.40 V blocks.
simulator::Bus ThreeModules() {
  simulator::Config a = Flat(0x01, 1), b = Flat(0x02, 2), c = Flat(0x03, 3);
  b.temperature = 30.0;
  c.float_volts = 13.40;
  return simulator::Bus({a, b, c});
}

std::vector<simulator::BusReply> Send(simulator::Bus& bus, const simulator::Bytes& bytes) {
  return bus.Receive(bytes.data(), bytes.size());
}

const simulator::Bytes kAsk1A2{0xFE, 0xFE, 0x01, 0xA2, 0xA3};
const simulator::Bytes kAsk2A4{0xFE, 0xFE, 0x02, 0xA4, 0xA6};
const simulator::Bytes kAsk3A2{0xFE, 0xFE, 0x03, 0xA2, 0xA5};
const simulator::Bytes kAsk3A4{0xFE, 0xFE, 0x03, 0xA4, 0xA7};
const simulator::Bytes kAsk4A1{0xFE, 0xFE, 0x04, 0xA1, 0xA5};

TEST(Bus, EachRequestIsAnsweredByItsModuleAlone) {
  struct Case {
    simulator::Bytes request;
    simulator::Bytes reply;
  } cases[] = {
      // 20 x 13.57 V = 271.4 V: 2714 = 0A 9A; 01 + 0A + 9A = 0xA5
      {kAsk1A2, {0xED, 0x01, 0x0A, 0x9A, 0xA5}},
      // 30.00 degrees: 3000 = 0B B8; 02 + 0B + B8 = 0xC5
      {kAsk2A4, {0xED, 0x02, 0x0B, 0xB8, 0xC5}},
      // 20 x 13.40 V = 268.0 V: 2680 = 0A 78; 03 + 0A + 78 = 0x85
      {kAsk3A2, {0xED, 0x03, 0x0A, 0x78, 0x85}},
      // 25.00 degrees: 2500 = 09 C4; 03 + 09 + C4 = 0xD0
      {kAsk3A4, {0xED, 0x03, 0x09, 0xC4, 0xD0}},
  };
  simulator::Bus bus = ThreeModules();
  for (const Case& c : cases) {
    const auto replies = Send(bus, c.request);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].address, c.reply[1]);
    EXPECT_EQ(replies[0].reply.Joined(), c.reply);
  }
  EXPECT_EQ(bus.Find(0x01)->counters().requests_seen, 1u);
  EXPECT_EQ(bus.Find(0x02)->counters().requests_seen, 1u);
  EXPECT_EQ(bus.Find(0x03)->counters().requests_seen, 2u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(bus.module(i).counters().requests_ignored, 0u);
}

TEST(Bus, NoModuleAtTheAddressNoReply) {
  simulator::Bus bus = ThreeModules();
  EXPECT_TRUE(Send(bus, kAsk4A1).empty());
  EXPECT_TRUE(Send(bus, {0xFE, 0xFE, 0x01, 0xA2, 0xA4}).empty());  // sum off by one
  EXPECT_EQ(bus.counters().requests, 1u);
  EXPECT_EQ(bus.counters().unclaimed, 1u);
  EXPECT_EQ(bus.counters().bad_checksums, 1u);  // once for the line, not once per module
  EXPECT_EQ(bus.counters().bytes_received, 10u);
  EXPECT_EQ(bus.Find(0x04), nullptr);
}

TEST(Bus, RequestsTogetherOrInPieces) {
  simulator::Bus bus = ThreeModules();
  simulator::Bytes both = kAsk3A2;
  both.insert(both.end(), kAsk1A2.begin(), kAsk1A2.end());
  auto replies = Send(bus, both);
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0].reply.Joined(), (simulator::Bytes{0xED, 0x03, 0x0A, 0x78, 0x85}));
  EXPECT_EQ(replies[1].reply.Joined(), (simulator::Bytes{0xED, 0x01, 0x0A, 0x9A, 0xA5}));

  EXPECT_TRUE(Send(bus, {0xFE, 0xFE, 0x02}).empty());
  replies = Send(bus, {0xA4, 0xA6});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].reply.Joined(), (simulator::Bytes{0xED, 0x02, 0x0B, 0xB8, 0xC5}));
  EXPECT_EQ(bus.Find(0x02)->counters().requests_seen, 1u);
}

TEST(Bus, EachModuleDrawsItsOwnFaultsAsIfAlone) {
  // Requests to the other modules must not use up module 2's draws.
  simulator::Config c = Flat(0x02, 12);
  c.faults.noise = c.faults.split = c.faults.drop = c.faults.garbage = 0.3;
  simulator::Config a = c, b = c;
  a.address = 0x01;
  a.seed = 11;
  b.address = 0x03;
  b.seed = 13;
  simulator::Bus bus({a, c, b});
  simulator::Module alone(c);
  for (int round = 0; round < 50; ++round) {
    for (const simulator::Bytes* ask : {&kAsk1A2, &kAsk2A4, &kAsk3A2}) {
      for (const auto& r : Send(bus, *ask)) {
        if (r.address != 0x02) continue;
        const auto expected = alone.Receive(kAsk2A4.data(), kAsk2A4.size());
        ASSERT_EQ(expected.size(), 1u);
        EXPECT_EQ(r.reply.chunks, expected[0].chunks) << round;
        EXPECT_EQ(r.reply.faults, expected[0].faults) << round;
      }
    }
  }
  EXPECT_EQ(bus.Find(0x02)->counters().requests_seen, 50u);
}

TEST(Bus, TwoModulesAtOneAddressAreRefused) {
  EXPECT_EQ(simulator::DuplicateAddress({Flat(1, 1), Flat(2, 1), Flat(2, 2)}),
            "two modules at address 0x02");
  EXPECT_EQ(simulator::DuplicateAddress({Flat(1, 1), Flat(2, 1)}), "");
  EXPECT_THROW(simulator::Bus({Flat(7, 1), Flat(7, 2)}), std::invalid_argument);
}

// Which of 0x01..0x03 answer one temperature request each.
std::vector<int> Answering(simulator::Bus& bus) {
  std::vector<int> who;
  for (std::uint8_t a = 1; a <= 3; ++a) {
    const simulator::Bytes ask{0xFE, 0xFE, a, 0xA4, static_cast<std::uint8_t>(a + 0xA4)};
    for (const auto& r : Send(bus, ask)) who.push_back(r.address);
  }
  return who;
}

TEST(BusControl, CommandsChangeExactlyWhoAnswers) {
  struct Step {
    const char* command;
    const char* report;
    std::vector<int> answering;
  } steps[] = {
      {"silent 2", "0x02 silent", {1, 3}},       {"answer 0x02", "0x02 answers", {1, 2, 3}},
      {"remove 3", "0x03 removed", {1, 2}},      {"add 3", "0x03 added", {1, 2, 3}},
      {"  silent 0x01 ", "0x01 silent", {2, 3}}, {"remove 1", "0x01 removed", {2, 3}},
      {"add 1", "0x01 added", {2, 3}},  // back, and still silent
      {"answer 1", "0x01 answers", {1, 2, 3}},
  };
  simulator::Bus bus = ThreeModules();
  ASSERT_EQ(Answering(bus), (std::vector<int>{1, 2, 3}));
  for (const Step& s : steps) {
    std::string report;
    EXPECT_TRUE(bus.Command(s.command, &report)) << s.command;
    EXPECT_EQ(report, s.report);
    EXPECT_EQ(Answering(bus), s.answering) << s.command;
  }
  // 0x02: 8 of 9 rounds answered, one heard while silent. 0x03: one round off the line, so
  // one request for no module, and the module kept its count.
  EXPECT_EQ(bus.Find(0x02)->counters().requests_seen, 8u);
  EXPECT_EQ(bus.Find(0x02)->counters().requests_silent, 1u);
  EXPECT_EQ(bus.Find(0x03)->counters().requests_seen, 8u);
  EXPECT_EQ(bus.Find(0x01)->counters().requests_silent, 2u);  // "silent 0x01", "add 1"
  EXPECT_EQ(bus.counters().unclaimed, 2u);                    // "remove 3", "remove 1"
}

TEST(BusControl, BadCommandsAreIgnoredWithTheReason) {
  const std::string form = "want silent, answer, remove or add and an address";
  struct Case {
    const char* line;
    std::string report;
  } cases[] = {
      {"mute 2", form},
      {"silent", form},
      {"silent 2 3", form},
      {"Silent 2", form},
      {"silent 256", "the address is 0..255, decimal or 0x.., not \"256\""},
      {"silent 0x", "the address is 0..255, decimal or 0x.., not \"0x\""},
      {"silent -1", "the address is 0..255, decimal or 0x.., not \"-1\""},
      {"silent 9", "no module at address 0x09"},
      {"add 0x04", "no module at address 0x04"},
  };
  simulator::Bus bus = ThreeModules();
  for (const Case& c : cases) {
    std::string report;
    EXPECT_FALSE(bus.Command(c.line, &report)) << c.line;
    EXPECT_EQ(report, "ignored \"" + std::string(c.line) + "\": " + c.report);
  }
  EXPECT_EQ(Answering(bus), (std::vector<int>{1, 2, 3}));
}

TEST(BusControl, SilentFromTheStartUntilToldToAnswer) {
  simulator::Config b = Flat(0x02, 2);
  b.silent = true;
  simulator::Bus bus({Flat(0x01, 1), b, Flat(0x03, 3)});
  EXPECT_EQ(Answering(bus), (std::vector<int>{1, 3}));
  EXPECT_TRUE(bus.SetSilent(0x02, false));
  EXPECT_EQ(Answering(bus), (std::vector<int>{1, 2, 3}));
  EXPECT_FALSE(bus.Remove(0x09));
}

// ---------------------------------------------------------------------------------------------
// Module settings as text

TEST(ModuleItems, ItemsOnTopOfTheDefaults) {
  simulator::Config c;
  c.cells = 16;  // a default from the global options
  ASSERT_EQ(simulator::ApplyModuleItems("address=0x5E,seed=5,discharge,weak-cell=7,weak-capacity="
                                        "0.25,noise=0.1,silence-requests=3,current-sensor,silent",
                                        &c),
            "");
  EXPECT_EQ(c.address, 0x5E);
  EXPECT_EQ(c.cells, 16);
  EXPECT_EQ(c.seed, 5u);
  EXPECT_TRUE(c.discharge);
  EXPECT_EQ(c.weak_cell, 7);
  EXPECT_EQ(c.weak_capacity, 0.25);
  EXPECT_EQ(c.faults.noise, 0.1);
  EXPECT_EQ(c.faults.silence_requests, 3u);
  EXPECT_EQ(c.current_encoding, simulator::CurrentEncoding::kSensor);
  EXPECT_TRUE(c.silent);
  ASSERT_EQ(simulator::ApplyModuleItems("cells=010,discharge=false,silent=0", &c), "");
  EXPECT_EQ(c.cells, 10);  // decimal, not octal
  EXPECT_FALSE(c.discharge);
  EXPECT_FALSE(c.silent);
}

TEST(ModuleItems, FirstBadItemIsNamed) {
  struct Case {
    const char* items;
    const char* problem;
  } cases[] = {
      {"noise=1.5", "noise wants a number 0..1, not \"1.5\""},
      {"address=2,cells=33", "cells wants a whole number 0..32, not \"33\""},
      {"address=256", "address wants a whole number 0..255, not \"256\""},
      {"seed", "seed wants a whole number 0..18446744073709551615, not \"\""},
      {"weak-capacity=0", "weak-capacity wants a number 0.05..1, not \"0\""},
      {"discharge=maybe", "discharge is a switch: true, false or nothing, not \"maybe\""},
      {"colour=red", "colour is not a setting of a module"},
      {"=3", "\"=3\" is not a setting of a module"},
      {"address=2,,seed=1", "an empty item (two commas, or one at an end)"},
      {"address=2,", "an empty item (two commas, or one at an end)"},
  };
  for (const Case& c : cases) {
    simulator::Config config;
    EXPECT_EQ(simulator::ApplyModuleItems(c.items, &config), c.problem) << c.items;
  }
  simulator::Config weak;
  weak.weak_cell = 21;
  EXPECT_EQ(simulator::CheckConfig(weak), "weak-cell 21 is beyond its 20 cells");
  weak.weak_cell = 20;
  EXPECT_EQ(simulator::CheckConfig(weak), "");
}

}  // namespace

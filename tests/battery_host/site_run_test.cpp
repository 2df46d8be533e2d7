// battery-host running a whole controller: several devices on one simulated RS-485 line, with
// values taken from each other through the controller. Every expected value is worked out here
// from the reply bytes that went over the line (the events file), in single precision and in the
// plug-in's order of operations, never taken from the host's own records.

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/battery_host/host_run_support.h"
#include "tests/battery_host/site_events.h"

namespace {

using host_run::Bytes;
using host_run::FloatAt;
using host_run::ScratchDir;
using host_run::U32At;
using namespace site_events;

std::string Site(const std::string& devices, unsigned interval_ms = 300) {
  return R"({"lines": [{"port": "sim", "interval_ms": )" + std::to_string(interval_ms) +
         R"(, "devices": [)" + devices + "]}]}";
}

const char kFirst[] =
    R"({"data_id": 1, "address": 129, "sim": {"seed": 1},
        "settings": {"appSetting": {"current_ratio": 1}}})";
const char kSecond[] =
    R"({"data_id": 2, "address": 130, "sim": {"seed": 2},
        "settings": {"appSetting": {"current_ratio": 1, "group_voltage": [1],
                                    "group_index": 2, "amount": 20, "battery_start": 20}}})";
const char kThird[] =
    R"({"data_id": 3, "address": 131, "sim": {"seed": 3},
        "settings": {"appSetting": {"r_data_id": 1, "r_current_field": "group_current"}}})";

// Two halves of a string in series and a third string that takes its current from the first,
// all on one line: the second adds the first's group voltage, its labels start at 21.
TEST(SiteRun, ThreeModulesShareOneLineAndTakeValuesFromEachOther) {
  ScratchDir dir;
  WriteText(dir.File("site.json"), Site(std::string(kFirst) + "," + kSecond + "," + kThird));
  const host_run::Result r = host_run::Run(
      {"--site", dir.File("site.json"), "--rounds", "4", "--events", dir.File("events.jsonl")},
      dir);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<Json::Value> events = host_run::ReadEvents(dir.File("events.jsonl"));
  for (const Json::Value& e : events) ASSERT_TRUE(e.isMember("data_id")) << e.toStyledString();
  ExpectTurnsNeverOverlap(events, {1, 2, 3});

  const std::vector<RoundReplies> one = RepliesOf(events, 1, 0x01);
  const std::vector<RoundReplies> two = RepliesOf(events, 2, 0x02);
  const std::vector<RoundReplies> three = RepliesOf(events, 3, 0x03);
  const std::vector<Bytes> h1 = History(events, 1);
  const std::vector<Bytes> h2 = History(events, 2);
  const std::vector<Bytes> h3 = History(events, 3);
  ASSERT_GE(h1.size(), 4u);
  ASSERT_EQ(one.size(), h1.size());
  ASSERT_EQ(two.size(), h2.size());
  ASSERT_EQ(three.size(), h3.size());
  ASSERT_GE(h2.size(), 4u);
  ASSERT_GE(h3.size(), 4u);
  for (std::size_t k = 0; k < 4; ++k) {
    SCOPED_TRACE("round " + std::to_string(k + 1));
    // Each device's record is its own module's round.
    EXPECT_EQ(U32At(h1[k], 0), 1u);
    EXPECT_EQ(U32At(h2[k], 0), 2u);
    for (int i = 0; i < 20; ++i) {
      EXPECT_EQ(FloatAt(h1[k], 4 + 4 * i), Cell(one[k], i)) << i;
      EXPECT_EQ(FloatAt(h2[k], 4 + 4 * i), Cell(two[k], i)) << i;
    }
    // The first device's turn comes first in each period: the second adds the first's group
    // voltage of the same period, peer + own as the plug-in adds them.
    EXPECT_EQ(FloatAt(h1[k], 132), GroupVoltage(one[k]));
    EXPECT_EQ(FloatAt(h2[k], 132), GroupVoltage(one[k]) + GroupVoltage(two[k]));
    EXPECT_GT(FloatAt(h2[k], 132), 500.0f);
    // The third's current is the first's (its module's own reply is not used).
    EXPECT_EQ(FloatAt(h1[k], 136), SensorCurrent(one[k]));
    EXPECT_EQ(FloatAt(h3[k], 136), SensorCurrent(one[k]));
    EXPECT_NE(FloatAt(h3[k], 136), static_cast<float>(three[k].current) / 10.0f);
  }

  // The second group's labels follow its "battery_start" of 20; the keys stay 0-based.
  const std::vector<Json::Value> thresholds = Of(events, 2, "threshold");
  ASSERT_GE(thresholds.size(), 23u);
  EXPECT_EQ(thresholds[0]["key"].asString(), "group_voltage");
  EXPECT_EQ(thresholds[3]["key"].asString(), "battery_0_value");
  EXPECT_EQ(thresholds[3]["label"].asString(), "第21节电池");
  EXPECT_EQ(thresholds[22]["key"].asString(), "battery_19_value");
  EXPECT_EQ(thresholds[22]["label"].asString(), "第40节电池");
  EXPECT_EQ(Of(events, 1, "threshold")[3]["label"].asString(), "第1节电池");

  // Every device's turn and port are in the events under its own data id.
  for (unsigned int id : {1u, 2u, 3u}) {
    EXPECT_EQ(Of(events, id, "port").size(), 1u) << id;
    EXPECT_GE(Of(events, id, "turn").size(), 4u) << id;
  }
}

// A module that never answers: its device re-sends and restarts as the plug-in does it, each of
// its turns ends after the reply timeout, and the two other devices still complete a round in
// every period.
TEST(SiteRun, ASilentModuleDoesNotHoldTheOthersOfItsLine) {
  ScratchDir dir;
  std::string silent = kSecond;
  silent.replace(silent.find(R"({"seed": 2})"), 11, R"({"seed": 2, "silent": true})");
  WriteText(dir.File("site.json"), Site(std::string(kFirst) + "," + silent + "," + kThird, 250));
  const host_run::Result r = host_run::Run(
      {"--site", dir.File("site.json"), "--duration", "3", "--events", dir.File("events.jsonl")},
      dir);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<Json::Value> events = host_run::ReadEvents(dir.File("events.jsonl"));
  ExpectTurnsNeverOverlap(events, {1, 2, 3});

  const std::vector<Json::Value> turns = Of(events, 1, "turn");
  const std::size_t periods = turns.size();
  ASSERT_GE(periods, 8u);
  EXPECT_TRUE(History(events, 2).empty());
  // A round completes in every period but perhaps the last (the run may end inside it).
  EXPECT_GE(History(events, 1).size() + 1, periods);
  EXPECT_GE(History(events, 3).size() + 1, periods);

  // The silent device's requests: the cell-voltage request on every tick (nothing is ever
  // accepted, so every re-send and every new round asks for the cells again).
  const std::vector<Json::Value> sent = Of(events, 2, "tx");
  ASSERT_GE(sent.size(), periods - 1);
  for (const Json::Value& tx : sent) EXPECT_EQ(tx["bytes"].asString(), "fefe02a1a3");
  // Four ticks per round: three re-sends, then a new round; after four silent turns the module
  // counts as stalled.
  const std::vector<Json::Value> silent_turns = Of(events, 2, "turn");
  ASSERT_GE(silent_turns.size(), 8u);
  EXPECT_EQ(silent_turns[0]["rounds_started"].asUInt(), 1u);
  EXPECT_EQ(silent_turns[3]["rounds_started"].asUInt(), 1u);
  EXPECT_EQ(silent_turns[4]["rounds_started"].asUInt(), 2u);
  EXPECT_EQ(silent_turns[4]["rounds_abandoned"].asUInt(), 1u);
  EXPECT_FALSE(silent_turns[2]["stalled"].asBool());
  EXPECT_TRUE(silent_turns[3]["stalled"].asBool());
}

// Two silent modules each hold the line for the reply timeout: the turns of a period take longer
// than the period. The host says so once, and the next period waits for the last turn.
TEST(SiteRun, APeriodTooShortForItsTurnsIsStretchedAndSaidOnce) {
  ScratchDir dir;
  std::string second = kSecond;
  second.replace(second.find(R"({"seed": 2})"), 11, R"({"seed": 2, "silent": true})");
  std::string third = kThird;
  third.replace(third.find(R"({"seed": 3})"), 11, R"({"seed": 3, "silent": true})");
  WriteText(dir.File("site.json"), Site(std::string(kFirst) + "," + second + "," + third, 150));
  const host_run::Result r = host_run::Run(
      {"--site", dir.File("site.json"), "--duration", "2", "--events", dir.File("events.jsonl")},
      dir);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string told = "the period is stretched so that turns never overlap";
  ASSERT_NE(r.err.find(told), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find(told), r.err.rfind(told)) << r.err;
  const std::vector<Json::Value> events = host_run::ReadEvents(dir.File("events.jsonl"));
  ExpectTurnsNeverOverlap(events, {1, 2, 3});
  // Each period holds two reply timeouts of 100 ms: at most ten periods in two seconds, where
  // the 150 ms timer alone would make thirteen.
  EXPECT_LE(Of(events, 1, "turn").size(), 10u);
  EXPECT_GE(Of(events, 1, "turn").size(), 5u);
}

// The dependent device's turn comes before its peer's: in the first period the peer has no data
// yet and refuses, so the group voltage falls back to the sum of the device's own cells and its
// "group_voltage" threshold request is left out; from the second period on the peer's value is
// added.
TEST(SiteRun, APeerWithoutDataYetGivesTheDocumentedFallback) {
  ScratchDir dir;
  WriteText(dir.File("site.json"), Site(std::string(kSecond) + "," + kFirst));
  const host_run::Result r = host_run::Run(
      {"--site", dir.File("site.json"), "--rounds", "2", "--events", dir.File("events.jsonl")},
      dir);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<Json::Value> events = host_run::ReadEvents(dir.File("events.jsonl"));
  const std::vector<RoundReplies> one = RepliesOf(events, 1, 0x01);
  const std::vector<RoundReplies> two = RepliesOf(events, 2, 0x02);
  const std::vector<Bytes> h2 = History(events, 2);
  ASSERT_GE(h2.size(), 2u);
  ASSERT_GE(one.size(), 1u);

  float sum = 0.0f;
  for (int i = 0; i < 20; ++i) sum += Cell(two[0], i);
  EXPECT_EQ(FloatAt(h2[0], 132), sum);
  EXPECT_EQ(FloatAt(h2[1], 132), GroupVoltage(one[0]) + GroupVoltage(two[1]));

  // Round by round (each ends at its history record): the keys the device asked to check.
  std::vector<std::vector<std::string>> keys(1);
  for (const Json::Value& e : events) {
    if (e["data_id"].asUInt() != 2) continue;
    if (e["event"].asString() == "threshold") keys.back().push_back(e["key"].asString());
    if (e["event"].asString() == "history") keys.emplace_back();
  }
  ASSERT_GE(keys.size(), 3u);
  EXPECT_EQ(keys[0].size(), 22u);
  EXPECT_EQ(keys[0][0], "group_current");
  EXPECT_EQ(keys[1].size(), 23u);
  EXPECT_EQ(keys[1][0], "group_voltage");
}

// A site file that contradicts itself is refused before anything is opened: one line, exit 2,
// no events file, no simulator left running.
TEST(SiteRun, ABadSiteFileOpensNothing) {
  // Orphans become this process's children, so a simulator left behind would show up here.
  // (qemu-user, which runs the armel build's tests, does not offer this; the check is then left
  // to the native builds.)
  const bool reaper = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
  const struct {
    const char* name;
    std::string devices;
    std::string message;  // after "battery-host: invalid site file SITE: "
  } cases[] = {
      {"duplicate data id",
       std::string(kFirst) + "," +
           R"({"data_id": 1, "address": 130, "settings": {"appSetting": {}}})",
       "data id 1 is given to two devices"},
      {"one address twice",
       std::string(kFirst) + "," + R"({"data_id": 2, "address": 129, "settings": {}})",
       "devices 1 and 2 both have address 129 on lines[0] (sim)"},
      {"peer naming no device", kSecond,
       "device 2 takes \"group_voltage\" from data id 1, which no device of the site has (site "
       "file SITE)"},
      {"unknown key", R"({"data_id": 1, "address": 129, "settings": {}, "adress": 3})",
       "Line 1, Column 117: lines[0].devices[0]: unknown key \"adress\" (known: data_id, "
       "address, settings, hostThresholds, cache, name, sim)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const std::string site = dir.File("site.json");
    WriteText(site, Site(c.devices));
    const host_run::Result r =
        host_run::Run({"--site", site, "--events", dir.File("events.jsonl")}, dir);
    EXPECT_EQ(r.exit_code, 2);
    std::string message = c.message;
    for (std::size_t p; (p = message.find("SITE")) != std::string::npos;) {
      message.replace(p, 4, site);
    }
    EXPECT_EQ(r.err, "battery-host: invalid site file " + site + ": " + message + "\n");
    EXPECT_NE(access(dir.File("events.jsonl").c_str(), F_OK), 0);
    if (reaper) {
      int status = 0;
      EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1) << "a child was left behind";
      EXPECT_EQ(errno, ECHILD);
    }
  }
}

TEST(SiteRun, TheShippedExampleRunsItsStringsAndPeers) {
  ScratchDir dir;
  const host_run::Result r =
      host_run::Run({"--site", std::string(BATTERY_HOST_EXAMPLES) + "/site.example.json",
                     "--rounds", "1", "--plain"},
                    dir);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("battery-host: polling 4 devices on 2 lines (simulator on "),
            std::string::npos)
      << r.err;
  for (const char* line : {"string A (first half): round 1, 0 abandoned ",
                           "string A (second half): round 1, 0 abandoned ",
                           "string B: round 1, 0 abandoned ", "string C: round 1, 0 abandoned "}) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
  }
  EXPECT_NE(r.out.find(" (with 1) "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" (from 1 group_current) "), std::string::npos) << r.out;
}

}  // namespace

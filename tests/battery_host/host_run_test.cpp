// battery-host end to end: the program loads the built plug-in, starts the module simulator on a
// pseudo-terminal and runs real poll rounds; the events file is then checked against an
// independent reading of the bytes that went over the line.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "simulator/bms_module.h"
#include "tests/battery_host/host_run_support.h"

namespace {

using host_run::Bytes;
using host_run::FloatAt;
using host_run::Measured;
using host_run::PidFd;
using host_run::Pty;
using host_run::Records;
using host_run::ScratchDir;
using host_run::ServeModule;
using host_run::U32At;

const std::vector<std::string> kRequests = {"fefe01a1a2", "fefe01a2a3", "fefe01a3a4", "fefe01a4a5"};

std::vector<std::string> TxFrames(const std::vector<Json::Value>& events) {
  std::vector<std::string> frames;
  for (const Json::Value& e : events) {
    if (e["event"].asString() == "tx") frames.push_back(e["bytes"].asString());
  }
  return frames;
}

// The history records hold exactly what the replies carried; each record handed to SendSP holds
// the measurements of the round before (bytes 0 to 144) and the time of its own round.
void ExpectRecordsFollowTheReplies(const std::vector<Json::Value>& events, const Bytes& before,
                                   float temperature_before) {
  const std::vector<Bytes> sent = Records(events, "send");
  const std::vector<Bytes> history = Records(events, "history");
  const std::vector<Measured> measured = host_run::MeasuredRounds(events, temperature_before);
  ASSERT_EQ(sent.size(), history.size());
  ASSERT_EQ(measured.size(), history.size());
  for (std::size_t k = 0; k < history.size(); ++k) {
    SCOPED_TRACE("round " + std::to_string(k + 1));
    const Bytes& h = history[k];
    ASSERT_EQ(h.size(), 152u);
    ASSERT_EQ(sent[k].size(), 152u);
    EXPECT_EQ(U32At(h, 0), 1u);
    for (int i = 0; i < 32; ++i) EXPECT_EQ(FloatAt(h, 4 + 4 * i), measured[k].cells[i]) << i;
    EXPECT_EQ(FloatAt(h, 132), measured[k].group_voltage);
    EXPECT_EQ(FloatAt(h, 136), measured[k].group_current);
    EXPECT_EQ(h[140], 0);
    EXPECT_EQ(FloatAt(h, 141), measured[k].temperature);
    const Bytes& previous = k == 0 ? before : history[k - 1];
    EXPECT_TRUE(std::equal(sent[k].begin(), sent[k].begin() + 145, previous.begin()));
    EXPECT_TRUE(std::equal(sent[k].begin() + 145, sent[k].end(), h.begin() + 145));
    EXPECT_NE(h[145] | h[146], 0) << "record time not stamped";
  }
}

// A fresh device's first record: its data id, then zeros.
Bytes FreshRecord() {
  Bytes b(152, 0);
  b[0] = 1;
  return b;
}

TEST(HostRun, CleanRoundsOnTheSimulator) {
  ScratchDir dir;
  const host_run::Result r =
      host_run::Run({"--interval-ms", "200", "--rounds", "3", "--sim-seed", "7", "--events",
                     dir.File("events.jsonl"), "--log", dir.File("plugin.log")},
                    dir);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<Json::Value> events = host_run::ReadEvents(dir.File("events.jsonl"));

  // Four requests per round, in order; a re-send (same frame again) is the only thing a busy
  // machine may add.
  std::vector<std::string> frames = TxFrames(events);
  frames.erase(std::unique(frames.begin(), frames.end()), frames.end());
  std::vector<std::string> expected;
  for (int round = 0; round < 3; ++round) {
    expected.insert(expected.end(), kRequests.begin(), kRequests.end());
  }
  EXPECT_EQ(frames, expected);

  ExpectRecordsFollowTheReplies(events, FreshRecord(), 0.0f);
  const std::vector<Bytes> history = Records(events, "history");
  ASSERT_EQ(history.size(), 3u);

  // Per round: group voltage, current, temperature, then the 20 cells, with the record's values.
  std::vector<Json::Value> thresholds;
  for (const Json::Value& e : events) {
    if (e["event"].asString() == "threshold") thresholds.push_back(e);
  }
  ASSERT_EQ(thresholds.size(), 3u * 23u);
  for (std::size_t k = 0; k < 3; ++k) {
    SCOPED_TRACE("round " + std::to_string(k + 1));
    const Json::Value* t = &thresholds[23 * k];
    const Bytes& h = history[k];
    const struct {
      const char* key;
      const char* label;
      std::size_t offset;
    } strings[] = {{"group_voltage", "整组电压", 132},
                   {"group_current", "电流", 136},
                   {"temperature", "温度", 141}};
    for (int j = 0; j < 3; ++j) {
      EXPECT_EQ(t[j]["key"].asString(), strings[j].key);
      EXPECT_EQ(t[j]["label"].asString(), strings[j].label);
      EXPECT_EQ(static_cast<float>(t[j]["value"].asDouble()), FloatAt(h, strings[j].offset));
      EXPECT_EQ(t[j]["index"].asInt(), 1);
    }
    for (int i = 0; i < 20; ++i) {
      const Json::Value& c = t[3 + i];
      EXPECT_EQ(c["key"].asString(), "battery_" + std::to_string(i) + "_value");
      EXPECT_EQ(c["label"].asString(), "第" + std::to_string(i + 1) + "节电池");
      EXPECT_EQ(static_cast<float>(c["value"].asDouble()), FloatAt(h, 4 + 4 * i));
      EXPECT_EQ(c["index"].asInt(), i + 1);
    }
  }

  // The plug-in's own lines went to the log, one "rvSize is 23" per round; the view got one
  // plain line per round (standard output is a file here, not a terminal).
  const std::string log = host_run::ReadFile(dir.File("plugin.log"));
  std::size_t rv = 0;
  for (std::size_t at = log.find("rvSize is 23\n"); at != std::string::npos;
       at = log.find("rvSize is 23\n", at + 1)) {
    ++rv;
  }
  EXPECT_EQ(rv, 3u);
  EXPECT_EQ(r.out.find("rvSize"), std::string::npos);
  EXPECT_EQ(r.out.rfind("string 1: round 1, 0 abandoned ", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("\nstring 1: round 3, "), std::string::npos) << r.out;
}

TEST(HostRun, FaultsOnTheLineNeverReachAStoredRecord) {
  ScratchDir dir;
  const host_run::Result r =
      host_run::Run({"--interval-ms", "100", "--rounds", "5", "--sim-seed", "11", "--sim-faults",
                     "0.2", "--events", dir.File("events.jsonl")},
                    dir);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<Json::Value> events = host_run::ReadEvents(dir.File("events.jsonl"));
  EXPECT_EQ(Records(events, "history").size(), 5u);
  ExpectRecordsFollowTheReplies(events, FreshRecord(), 0.0f);
  // The faults did happen: more requests went out than five clean rounds need.
  EXPECT_GT(TxFrames(events).size(), 20u);
}

TEST(HostRun, TheCacheCarriesTheLastRecordIntoTheNextRun) {
  ScratchDir dir;
  const std::string cache = dir.File("record.bin");
  host_run::Result r = host_run::Run(
      {"--interval-ms", "100", "--rounds", "2", "--cache", cache, "--events", dir.File("1.jsonl")},
      dir);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<Bytes> first_history =
      Records(host_run::ReadEvents(dir.File("1.jsonl")), "history");
  ASSERT_EQ(first_history.size(), 2u);
  const std::string stored = host_run::ReadFile(cache);
  ASSERT_EQ(stored.size(), 152u);
  EXPECT_EQ(Bytes(stored.begin(), stored.end()), first_history.back());
  EXPECT_NE(access((cache + ".tmp").c_str(), F_OK), 0);

  r = host_run::Run({"--interval-ms", "100", "--rounds", "1", "--sim-seed", "3", "--cache", cache,
                     "--events", dir.File("2.jsonl")},
                    dir);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<Json::Value> events = host_run::ReadEvents(dir.File("2.jsonl"));
  const std::vector<Bytes> restored = Records(events, "restore");
  ASSERT_EQ(restored.size(), 1u);
  EXPECT_EQ(restored[0], first_history.back());
  // The first record of the new run carries the restored measurements.
  ExpectRecordsFollowTheReplies(events, first_history.back(), FloatAt(first_history.back(), 141));
  EXPECT_EQ(host_run::ReadFile(cache).size(), 152u);
}

// Host limits from the settings file: a temperature limit below the simulated ~25 degrees raises
// one alarm in the first round, which the events and the view report; limits that hold raise
// nothing.
TEST(HostRun, HostThresholdsRaiseAlarmsFromTheSettings) {
  ScratchDir dir;
  const std::string settings = dir.File("settings.json");
  {
    const int fd = open(settings.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const std::string text =
        R"({"appSetting": {"current_ratio": 1},
            "hostThresholds": {"temperature": {"high": 20},
                               "*cells*": {"low": 9.0, "high": 15.0}}})";
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
  }
  const host_run::Result r = host_run::Run({"--settings", settings, "--interval-ms", "100",
                                            "--rounds", "2", "--events", dir.File("events.jsonl")},
                                           dir);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<Json::Value> events = host_run::ReadEvents(dir.File("events.jsonl"));
  std::vector<Json::Value> alarms;
  for (const Json::Value& e : events) {
    if (e["event"].asString() == "alarm") alarms.push_back(e);
  }
  const std::vector<Bytes> history = Records(events, "history");
  ASSERT_EQ(alarms.size(), 1u);
  ASSERT_FALSE(history.empty());
  EXPECT_EQ(alarms[0]["state"].asString(), "raised");
  EXPECT_EQ(alarms[0]["key"].asString(), "temperature");
  EXPECT_EQ(alarms[0]["label"].asString(), "温度");
  EXPECT_EQ(static_cast<float>(alarms[0]["value"].asDouble()), FloatAt(history[0], 141));
  EXPECT_EQ(alarms[0]["limit"].asDouble(), 20.0);
  EXPECT_NE(r.out.find("alarms: 温度 (temperature) "), std::string::npos) << r.out;
}

struct ErrorCase {
  const char* name;
  std::vector<std::string> args;
  std::string message;  // the one line on standard error
};

TEST(HostRun, ErrorsAPersonCanActOnEndTheRunWithOneLine) {
  ScratchDir dir;
  host_run::ScratchDir files;
  const std::string bad_json = files.File("bad.json");
  {
    const int fd = open(bad_json.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const char text[] = "{\n  \"appSetting\": {\n    \"dir\": 1\n    \"version\": 2\n  }\n}\n";
    ASSERT_EQ(write(fd, text, sizeof text - 1), static_cast<ssize_t>(sizeof text - 1));
    close(fd);
  }
  const std::string throwing = files.File("throwing.json");
  {
    const int fd = open(throwing.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const char text[] = "{\"appSetting\": {\"version\": [2]}}";
    ASSERT_EQ(write(fd, text, sizeof text - 1), static_cast<ssize_t>(sizeof text - 1));
    close(fd);
  }
  const ErrorCase cases[] = {
      {"missing library",
       {"--plugin", "/nonexistent/ondrell_20.so"},
       "battery-host: cannot load plug-in /nonexistent/ondrell_20.so: No such file or "
       "directory\n"},
      {"bad port",
       {"--port", "/nonexistent/ttyUSB0"},
       "battery-host: cannot open port /nonexistent/ttyUSB0: No such file or directory\n"},
      {"not a serial port",
       {"--port", "/dev/null"},
       "battery-host: port /dev/null is not a serial device (a device that is not a "
       "terminal)\n"},
      {"a regular file as the port",
       {"--port", bad_json},
       "battery-host: port " + bad_json + " is not a serial device (a regular file)\n"},
      {"bad JSON",
       {"--settings", bad_json},
       "battery-host: invalid settings " + bad_json +
           ": Line 4, Column 5: Missing ',' or '}' in object declaration\n"},
      {"settings the device throws on",
       {"--settings", throwing, "--interval-ms", "100", "--rounds", "1"},
       ""},
      {"unknown option", {"--baud", "9600"}, ""},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    const host_run::Result r = host_run::Run(c.args, dir);
    EXPECT_EQ(r.exit_code, 2);
    if (!c.message.empty()) {
      EXPECT_EQ(r.err, c.message);
    }
  }
  const host_run::Result r = host_run::Run({"--settings", throwing, "--rounds", "1"}, dir);
  EXPECT_EQ(r.err, "battery-host: the device refused its settings " + throwing +
                       ": Line 1, Column 28: appSetting.version: Type is not convertible to "
                       "string\n");
}

TEST(HostRun, ASecondHostOnTheSameLineIsRefused) {
  ScratchDir dir;
  Pty pty;
  ASSERT_EQ(flock(pty.slave, LOCK_EX | LOCK_NB), 0);
  const host_run::Result r = host_run::Run({"--port", pty.slave_path}, dir);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err, "battery-host: port " + pty.slave_path + " is in use by another program\n");
}

void PointLink(const std::string& link, const std::string& target) {
  const std::string temp = link + ".new";
  unlink(temp.c_str());
  ASSERT_EQ(symlink(target.c_str(), temp.c_str()), 0);
  ASSERT_EQ(rename(temp.c_str(), link.c_str()), 0);
}

// The adapter is unplugged after two rounds and plugged in again (a new tty behind the same
// name): the host says so, reopens the line and the plug-in's own restart carries the rounds on.
TEST(HostRun, ALostPortIsReopenedAndRoundsCarryOn) {
  ScratchDir dir;
  const std::string link = dir.File("ttyBATTERY");
  auto first = std::make_unique<Pty>();
  PointLink(link, first->slave_path);
  const int pid = host_run::Spawn({"--port", link, "--interval-ms", "100", "--rounds", "4",
                                   "--events", dir.File("events.jsonl")},
                                  dir);
  ASSERT_GT(pid, 0);
  const int exit_fd = PidFd(pid);
  ASSERT_GE(exit_fd, 0);

  std::unique_ptr<Pty> second;
  Pty* line = first.get();
  ServeModule(
      exit_fd, [&]() { return line->master; },
      [&](const simulator::Reply& reply, int temperatures) {
        if (reply.command == simulator::kCmdTemperature && temperatures == 2) {
          // Unplugged, and a new adapter shows up under the same name.
          first->Unplug();
          second = std::make_unique<Pty>();
          PointLink(link, second->slave_path);
          line = second.get();
        }
        return true;
      });
  close(exit_fd);
  const host_run::Result r = host_run::Wait(pid, dir);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("battery-host: port " + link + " lost ("), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("battery-host: port " + link + " is back"), std::string::npos) << r.err;

  const std::vector<Json::Value> events = host_run::ReadEvents(dir.File("events.jsonl"));
  std::vector<std::string> port_states;
  for (const Json::Value& e : events) {
    if (e["event"].asString() == "port") port_states.push_back(e["state"].asString());
  }
  EXPECT_EQ(port_states, (std::vector<std::string>{"open", "lost", "reopened"}));
  EXPECT_EQ(Records(events, "history").size(), 4u);
  ExpectRecordsFollowTheReplies(events, FreshRecord(), 0.0f);
}

// SIGTERM in the middle of a run: the host ends cleanly (exit 0) and the cache holds the last
// history record whole.
TEST(HostRun, SigtermEndsTheRunWithTheLastRecordCached) {
  ScratchDir dir;
  Pty pty;
  const std::string cache = dir.File("record.bin");
  const int pid = host_run::Spawn({"--port", pty.slave_path, "--interval-ms", "100", "--cache",
                                   cache, "--events", dir.File("events.jsonl")},
                                  dir);
  ASSERT_GT(pid, 0);
  const int exit_fd = PidFd(pid);
  ASSERT_GE(exit_fd, 0);
  bool stopped = false;
  ServeModule(
      exit_fd, [&]() { return pty.master; },
      [&](const simulator::Reply& reply, int temperatures) {
        // The third round's first request comes on the tick after the second round
        // saved its record; that is when the host is told to stop.
        if (reply.command == simulator::kCmdCells && temperatures == 2 && !stopped) {
          stopped = true;
          kill(pid, SIGTERM);
        }
        return true;
      });
  close(exit_fd);
  const host_run::Result r = host_run::Wait(pid, dir);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("battery-host: stopped by Terminated"), std::string::npos) << r.err;
  const std::vector<Bytes> history =
      Records(host_run::ReadEvents(dir.File("events.jsonl")), "history");
  ASSERT_GE(history.size(), 2u);
  const std::string stored = host_run::ReadFile(cache);
  EXPECT_EQ(Bytes(stored.begin(), stored.end()), history.back());
  EXPECT_NE(access((cache + ".tmp").c_str(), F_OK), 0);
}

}  // namespace

// Start-up in order: every check before any output, so that a start that is refused leaves
// nothing behind (no log, no events file, no child), and what a run will need (writable folders,
// file descriptors) is checked before anything is opened.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "tests/battery_host/host_safety_support.h"

namespace {

using host_run::ScratchDir;
using host_safety::WriteFile;

constexpr int kNobody = 65534;

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

class StartOrder : public ::testing::Test {
 protected:
  void SetUp() override { host_safety::BecomeSubreaper(); }

  void ExpectNothingLeft() {
    std::string child;
    EXPECT_TRUE(host_safety::NoChildLeft(&child)) << child;
  }

  ScratchDir dir_;
};

// As `ulimit -n 12`: the host says in one line how many it needs, before it opens anything.
TEST_F(StartOrder, TooFewFileDescriptorsAreSaidBeforeAnythingIsOpened) {
  const std::string events = dir_.File("events.jsonl");
  host_safety::SpawnOptions tight;
  tight.nofile_limit = 12;
  const host_run::Result r = host_safety::WaitBounded(
      host_safety::SpawnHost({"--rounds", "1", "--interval-ms", "100", "--events", events}, dir_,
                             tight),
      dir_);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(host_safety::Lines(r.err).size(), 1u) << r.err;
  EXPECT_EQ(r.err.rfind("battery-host: too few file descriptors: this site needs ", 0), 0u)
      << r.err;
  EXPECT_NE(r.err.find(" and the limit is 12 (ulimit -n"), std::string::npos) << r.err;
  EXPECT_FALSE(Exists(events));
  ExpectNothingLeft();

  host_safety::SpawnOptions enough;
  enough.nofile_limit = 64;
  const host_run::Result ok = host_safety::WaitBounded(
      host_safety::SpawnHost({"--rounds", "1", "--interval-ms", "100", "--events", events}, dir_,
                             enough),
      dir_);
  EXPECT_EQ(ok.exit_code, 0) << ok.err;
}

// A device that refuses its settings stops the start before the log is made; a start that
// goes on writes the plug-in's lines of its configuration to the log all the same.
TEST_F(StartOrder, ARefusedStartMakesNoLog) {
  const std::string settings = dir_.File("settings.json");
  const std::string log = dir_.File("plugin.log");
  WriteFile(settings, R"({"appSetting": {"b_mode": 3, "version": [2]}})");
  const host_run::Result r =
      host_safety::RunBounded({"--settings", settings, "--log", log, "--rounds", "1"}, dir_);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(host_safety::Lines(r.err).size(), 1u) << r.err;
  EXPECT_FALSE(Exists(log));
  ExpectNothingLeft();

  WriteFile(settings, R"({"appSetting": {"b_mode": 3}})");
  const host_run::Result ok = host_safety::RunBounded(
      {"--settings", settings, "--log", log, "--rounds", "1", "--interval-ms", "100"}, dir_);
  EXPECT_EQ(ok.exit_code, 0) << ok.err;
  EXPECT_EQ(host_run::ReadFile(log).rfind("InitSetting 1 b_mode_:3\n", 0), 0u);
}

// A history or a cache in a folder the host cannot write is refused at start, as the events
// file is, and no output is opened.
TEST_F(StartOrder, OutputsInAReadOnlyFolderAreRefusedAtStart) {
  const std::string ro = dir_.File("ro");
  ASSERT_EQ(mkdir(ro.c_str(), 0555), 0);
  const std::string open_folder = dir_.File("w");
  ASSERT_EQ(mkdir(open_folder.c_str(), 0777), 0);
  chmod(open_folder.c_str(), 0777);
  chmod(dir_.File("").c_str(), 0755);  // the other user reaches the folders
  const std::string events = open_folder + "/events.jsonl";
  struct Case {
    const char* option;
    const char* file;
    const char* what;
  };
  for (const Case& c : {Case{"--history", "h.db", "history database"},
                        Case{"--cache", "string.cache", "cache of device 1"}}) {
    SCOPED_TRACE(c.option);
    const std::string path = ro + "/" + c.file;
    host_safety::SpawnOptions other;
    other.uid = kNobody;
    const host_run::Result r = host_safety::WaitBounded(
        host_safety::SpawnHost({c.option, path, "--events", events, "--rounds", "1"}, dir_, other),
        dir_);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, std::string("battery-host: ") + c.what + " " + path + ": its folder " + ro +
                         " cannot be written: Permission denied\n");
    EXPECT_FALSE(Exists(events));
    ExpectNothingLeft();
  }
}

// A SIGTERM that comes while the host is still starting waits for the loop, which ends the run
// with its line, rather than ending the host by the default action without a word.
TEST_F(StartOrder, ASignalWhileStartingEndsTheRunWithItsLine) {
  for (int sig : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    host_safety::SpawnOptions early;
    early.pending_signal = sig;
    const host_run::Result r = host_safety::WaitBounded(
        host_safety::SpawnHost({"--interval-ms", "100"}, dir_, early), dir_, 20000);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find(std::string("battery-host: stopped by ") + strsignal(sig) + "\n"),
              std::string::npos)
        << r.err;
    ExpectNothingLeft();
  }
}

}  // namespace

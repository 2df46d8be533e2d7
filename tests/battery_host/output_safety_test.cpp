// battery-host's outputs must never stop the polling nor destroy a file: a view nobody reads, a
// second host refused on a line in use, caches that are no cache, a file-size limit reached in
// the middle of an events line, and the smaller refusals and endings people meet.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "tests/battery_host/host_safety_support.h"

namespace {

using host_run::Bytes;
using host_run::ReadFile;
using host_run::Records;
using host_safety::Count;
using host_safety::Lines;
using host_safety::Pty;
using host_safety::ScratchDir;
using host_safety::WriteFile;

const char kHistory[] = "\"event\":\"history\"";

std::size_t Rounds(const std::string& events) { return Count(events, kHistory); }

// Every line of the file is one whole JSON object and the file ends with a line break.
void ExpectWholeLines(const std::string& text) {
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n') << "the file ends in a torn line";
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::size_t n = 0;
  for (const std::string& line : Lines(text)) {
    Json::Value v;
    std::string errors;
    ++n;
    EXPECT_TRUE(reader->parse(line.data(), line.data() + line.size(), &v, &errors) && v.isObject())
        << "line " << n << ": " << line.substr(0, 200) << ": " << errors;
  }
}

class OutputSafety : public ::testing::Test {
 protected:
  // In SetUp, not SetUpTestSuite: a failure there would only skip the tests.
  void SetUp() override { host_safety::BecomeSubreaper(); }
  void TearDown() override {
    std::string child;
    EXPECT_TRUE(host_safety::NoChildLeft(&child)) << child;
  }
  ScratchDir dir_;
  std::string File(const std::string& name) const { return dir_.File(name); }
};

// --- 1. A view that cannot be written
// --------------------------------------------------------------

// The host's standard output is `view_fd`, already full. With a period of 100 ms, four seconds
// hold 40 periods: at least 30 of them must bring a whole round (not one, as when the first
// write of the view blocked). Then, running on, the host must end promptly on SIGTERM.
void ExpectPollingGoesOn(const ScratchDir& dir, int view_fd, const std::string& stuck_notice) {
  const std::string events = dir.File("events.jsonl");
  {
    SCOPED_TRACE("--duration 4");
    host_safety::SpawnOptions options;
    options.stdout_fd = view_fd;
    const int pid = host_safety::SpawnHost(
        {"--interval-ms", "100", "--duration", "4", "--events", events, "--events-new"}, dir,
        options);
    const host_run::Result r = host_safety::WaitBounded(pid, dir, 60000);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_GE(Rounds(ReadFile(events)), 30u);
    if (stuck_notice.empty()) {
      EXPECT_EQ(Count(r.err, "not keeping up"), 0u) << r.err;
    } else {
      EXPECT_EQ(Count(r.err, stuck_notice), 1u) << r.err;
    }
  }
  SCOPED_TRACE("SIGTERM");
  // A file of its own: the rounds of the run above must not count as this run's.
  const std::string more = dir.File("events-2.jsonl");
  host_safety::SpawnOptions options;
  options.stdout_fd = view_fd;
  const int pid = host_safety::SpawnHost({"--interval-ms", "100", "--events", more}, dir, options);
  const int exit_fd = host_safety::PidFd(pid);
  EXPECT_TRUE(host_safety::WaitForFile(more, exit_fd,
                                       [](const std::string& t) { return Rounds(t) >= 30; }));
  close(exit_fd);
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  // Promptly: the outputs get half a second each to hand over what they hold.
  const host_run::Result r = host_safety::WaitBounded(pid, dir, 10000);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("battery-host: stopped by Terminated\n"), std::string::npos) << r.err;
  ExpectWholeLines(ReadFile(more));
}

TEST_F(OutputSafety, ViewOnATerminalNobodyReads) {
  Pty view;
  ASSERT_GT(host_safety::FillUntilFull(view.slave), 0u);
  // A terminal gets the live view: pictures are skipped, which is told once.
  ExpectPollingGoesOn(dir_, view.slave,
                      "battery-host: the terminal is not keeping up: the view skips pictures and "
                      "shows the latest\n");
}

TEST_F(OutputSafety, ViewOnAPipeNobodyReads) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  ASSERT_GT(host_safety::FillUntilFull(fds[1]), 0u);
  // Round lines wait (up to 64 KiB) rather than being dropped; 40 of them do not fill that.
  ExpectPollingGoesOn(dir_, fds[1], "");
  close(fds[0]);
  close(fds[1]);
}

// --- 2. A refused second host leaves the first host's events file as it was
// ------------------------

TEST_F(OutputSafety, ARefusedSecondHostLeavesTheEventsFileAlone) {
  Pty line;
  const std::string events = File("events.jsonl");
  const int pid = host_safety::SpawnHost(
      {"--port", line.slave_path, "--interval-ms", "100", "--events", events}, dir_);
  ASSERT_GT(pid, 0);
  const int exit_fd = host_safety::PidFd(pid);
  bool refused = false;
  bool stopping = false;
  host_safety::ServeModule(exit_fd, line.master, [&](const simulator::Reply& reply, int rounds) {
    if (reply.command != simulator::kCmdTemperature) return true;
    if (rounds == 3 && !refused) {
      refused = true;
      // Host A frozen with everything it wrote so far; nothing of it moves the file now.
      EXPECT_EQ(kill(pid, SIGSTOP), 0);
      siginfo_t info{};
      EXPECT_EQ(waitid(P_PID, static_cast<id_t>(pid), &info, WSTOPPED), 0);
      const std::string before = ReadFile(events);
      EXPECT_GE(Rounds(before), 1u);
      for (const bool fresh : {false, true}) {
        SCOPED_TRACE(fresh ? "host B with --events-new" : "host B appending");
        ScratchDir b;
        std::vector<std::string> args = {"--port", line.slave_path, "--events", events};
        if (fresh) args.push_back("--events-new");
        const host_run::Result r = host_safety::RunBounded(args, b);
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(r.err,
                  "battery-host: port " + line.slave_path + " is in use by another program\n");
        EXPECT_EQ(ReadFile(events), before) << "host B changed host A's events file";
      }
      EXPECT_EQ(kill(pid, SIGCONT), 0);
    }
    if (rounds == 6 && !stopping) {
      stopping = true;
      EXPECT_EQ(kill(pid, SIGTERM), 0);
    }
    return true;
  });
  close(exit_fd);
  const host_run::Result r = host_safety::WaitBounded(pid, dir_);
  EXPECT_TRUE(refused);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("battery-host: stopped by Terminated\n"), std::string::npos) << r.err;
  // A went on where it was: its rounds after the thaw follow in the same file.
  const std::string a = ReadFile(events);
  ExpectWholeLines(a);
  EXPECT_GE(Rounds(a), 5u);

  // Another run appends to the file; with --events-new it starts it anew.
  {
    ScratchDir c;
    const host_run::Result appended =
        host_safety::RunBounded({"--interval-ms", "100", "--rounds", "1", "--events", events}, c);
    ASSERT_EQ(appended.exit_code, 0) << appended.err;
    const std::string after = ReadFile(events);
    ASSERT_GT(after.size(), a.size());
    EXPECT_EQ(after.compare(0, a.size(), a), 0) << "appending changed what was there";
    EXPECT_EQ(Rounds(after.substr(a.size())), 1u);
  }
  ScratchDir d;
  const host_run::Result fresh = host_safety::RunBounded(
      {"--interval-ms", "100", "--rounds", "1", "--events", events, "--events-new"}, d);
  ASSERT_EQ(fresh.exit_code, 0) << fresh.err;
  const std::string anew = ReadFile(events);
  ExpectWholeLines(anew);
  EXPECT_EQ(Rounds(anew), 1u);
  EXPECT_EQ(Count(anew, "\"event\":\"port\""), 1u);  // this run's "open" only
  EXPECT_EQ(anew.find(a.substr(0, a.find('\n'))), std::string::npos);
}

// --- 3. Caches that are no cache, and one behind a link
// ---------------------------------------------

TEST_F(OutputSafety, ADeviceNodeAsCacheIsRefusedAndStaysOne) {
  struct stat before {};
  ASSERT_EQ(stat("/dev/null", &before), 0);
  const host_run::Result r = host_safety::RunBounded({"--cache", "/dev/null"}, dir_);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err, "battery-host: cache /dev/null is a character device, not a regular file\n");
  struct stat after {};
  ASSERT_EQ(stat("/dev/null", &after), 0);
  EXPECT_TRUE(S_ISCHR(after.st_mode));
  EXPECT_EQ(after.st_rdev, makedev(1, 3));
  EXPECT_EQ(after.st_mode, before.st_mode);
}

// A file the host reads or writes for another purpose, named as the cache: refused with the one
// line that says what it is, and left as it was (not even warned about as a cache of the wrong
// size first).
TEST_F(OutputSafety, AFileOfAnotherPurposeAsCacheIsRefusedUnchanged) {
  const std::string settings = File("settings.json");
  const std::string settings_text = "{\"appSetting\": {\"version\": 1}}\n";
  WriteFile(settings, settings_text);
  const std::string events = File("events.jsonl");
  const std::string events_text = "{\"event\":\"port\"}\n";
  WriteFile(events, events_text);
  const std::string plugin = File("ondrell_20.so");
  WriteFile(plugin, ReadFile(BATTERY_HOST_PLUGIN));
  const std::string site = File("site.json");
  const std::string site_text =
      "{\"lines\": [{\"port\": \"sim\", \"devices\": [{\"data_id\": 7, \"address\": 129, "
      "\"settings\": {}, \"cache\": \"site.json\"}]}]}\n";
  WriteFile(site, site_text);
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::string file;
    std::string text;
    std::string line;
  } cases[] = {
      {"the settings",
       {"--settings", settings, "--cache", settings},
       settings,
       settings_text,
       "cache of device 1 " + settings + " is the settings " + settings +
           "; give it a file of its own"},
      {"the events file",
       {"--events", events, "--cache", events},
       events,
       events_text,
       "cache of device 1 " + events + " is also the events file; give each its own file"},
      {"the plug-in",
       {"--plugin", plugin, "--cache", plugin},
       plugin,
       ReadFile(BATTERY_HOST_PLUGIN),
       "cache of device 1 " + plugin + " is the plug-in " + plugin + "; give it a file of its own"},
      {"the site file",
       {"--site", site},
       site,
       site_text,
       "cache of device 7 " + site + " is the site file " + site + "; give it a file of its own"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const host_run::Result r = host_safety::RunBounded(c.args, dir_);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "battery-host: " + c.line + "\n");
    EXPECT_EQ(ReadFile(c.file), c.text);
  }
}

// The cache is a link (relative, into a folder of records): the link stays a link and its target
// gets the record; the next run restores it through the link.
TEST_F(OutputSafety, ALinkedCacheIsFollowed) {
  ASSERT_EQ(mkdir(File("records").c_str(), 0755), 0);
  const std::string link = File("string1.cache");
  const std::string target = File("records/string1.bin");
  ASSERT_EQ(symlink("records/string1.bin", link.c_str()), 0);
  const std::string events = File("events.jsonl");
  host_run::Result r = host_safety::RunBounded(
      {"--interval-ms", "100", "--rounds", "2", "--cache", link, "--events", events}, dir_);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<Bytes> history = Records(host_run::ReadEvents(events), "history");
  ASSERT_EQ(history.size(), 2u);
  auto expect_link = [&] {
    struct stat st {};
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    char buf[256];
    const ssize_t n = readlink(link.c_str(), buf, sizeof buf);
    EXPECT_EQ(std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0), "records/string1.bin");
    EXPECT_NE(access((target + ".tmp").c_str(), F_OK), 0);
    EXPECT_NE(access((link + ".tmp").c_str(), F_OK), 0);
  };
  expect_link();
  const std::string stored = ReadFile(target);
  EXPECT_EQ(Bytes(stored.begin(), stored.end()), history.back());

  r = host_safety::RunBounded({"--interval-ms", "100", "--rounds", "1", "--cache", link, "--events",
                               events, "--events-new"},
                              dir_);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<Json::Value> second = host_run::ReadEvents(events);
  const std::vector<Bytes> restored = Records(second, "restore");
  ASSERT_EQ(restored.size(), 1u);
  EXPECT_EQ(restored[0], history.back());
  expect_link();
  const std::string stored_again = ReadFile(target);
  EXPECT_EQ(Bytes(stored_again.begin(), stored_again.end()), Records(second, "history").back());
}

// --- 4. A file-size limit reached in the middle of an events line
// ------------------------------------

TEST_F(OutputSafety, AFullFileKeepsWholeLinesAndThePollingGoesOn) {
  constexpr long long kLimit = 48 * 1024;
  Pty line;
  const std::string events = File("events.jsonl");
  host_safety::SpawnOptions options;
  options.fsize_limit = kLimit;
  const int pid = host_safety::SpawnHost(
      {"--port", line.slave_path, "--interval-ms", "100", "--events", events}, dir_, options);
  ASSERT_GT(pid, 0);
  const std::string failure = "battery-host: events file " + events +
                              ": cannot write: File too large; events are dropped until it can "
                              "be written again\n";
  const int exit_fd = host_safety::PidFd(pid);
  int told_at = 0;          // rounds served when the failure was first on standard error
  std::size_t written = 0;  // rounds in the events file then
  bool stopping = false;
  host_safety::ServeModule(exit_fd, line.master, [&](const simulator::Reply& reply, int rounds) {
    if (reply.command != simulator::kCmdTemperature) return true;
    if (told_at == 0 && ReadFile(dir_.File("stderr.txt")).find(failure) != std::string::npos) {
      told_at = rounds;
      written = Rounds(ReadFile(events));
    }
    if (told_at > 0 && rounds >= told_at + 5 && !stopping) {
      stopping = true;
      EXPECT_EQ(kill(pid, SIGTERM), 0);
    }
    EXPECT_LT(rounds, 400) << "the events file never reached its limit";
    return rounds < 400 || stopping;
  });
  close(exit_fd);
  if (!stopping) kill(pid, SIGTERM);
  const host_run::Result r = host_safety::WaitBounded(pid, dir_);
  ASSERT_GT(told_at, 0) << r.err;
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("battery-host: stopped by Terminated\n"), std::string::npos) << r.err;
  // Told at once: within a round or two of the last round that got into the file; and once.
  EXPECT_LE(static_cast<std::size_t>(told_at), written + 2);
  EXPECT_EQ(Count(r.err, failure), 1u) << r.err;
  EXPECT_EQ(Count(r.err, "writing again"), 0u) << r.err;
  const std::string text = ReadFile(events);
  EXPECT_LE(static_cast<long long>(text.size()), kLimit);
  EXPECT_GT(static_cast<long long>(text.size()), kLimit / 2);
  ExpectWholeLines(text);
}

// --- 5. Smaller refusals and endings
// ------------------------------------------------------------------

TEST_F(OutputSafety, SettingsThatCannotBeReadSayWhy) {
  const std::string file = File("plain.json");
  WriteFile(file, "{}");
  const std::string loop = File("loop.json");
  ASSERT_EQ(symlink("loop.json", loop.c_str()), 0);
  const struct {
    std::string path;
    std::string line;
  } cases[] = {
      {File("missing.json"),
       "cannot read settings " + File("missing.json") + ": No such file or directory"},
      {file + "/x.json", "cannot read settings " + file + "/x.json: Not a directory"},
      {loop, "cannot read settings " + loop + ": Too many levels of symbolic links"},
      // A directory is said to be one, not reported as a syntax error of its content.
      {File("records"), "settings " + File("records") + " is a directory, not a regular file"},
  };
  ASSERT_EQ(mkdir(File("records").c_str(), 0755), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const host_run::Result r = host_safety::RunBounded({"--settings", c.path}, dir_);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "battery-host: " + c.line + "\n");
  }
}

TEST_F(OutputSafety, TextAfterTheSettingsObjectIsRefused) {
  const struct {
    const char* text;
    const char* where;
  } cases[] = {
      {"{\"appSetting\": {}} x", "Line 1, Column 20"},
      {"{} {}", "Line 1, Column 4"},
      {"{\"appSetting\": {}}\n,\n", "Line 2, Column 1"},
  };
  const std::string settings = File("settings.json");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    WriteFile(settings, c.text);
    const host_run::Result r = host_safety::RunBounded({"--settings", settings}, dir_);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "battery-host: invalid settings " + settings + ": " + c.where +
                         ": Extra non-whitespace after JSON value.\n");
  }
}

// A cache that cannot be written (its folder is gone) is told once over the rounds, not each
// round; the rounds go on.
TEST_F(OutputSafety, AnUnwritableCacheIsToldOnce) {
  const std::string cache = File("gone/string1.cache");
  const host_run::Result r = host_safety::RunBounded(
      {"--interval-ms", "100", "--rounds", "4", "--cache", cache, "--events", File("events.jsonl")},
      dir_);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(Rounds(ReadFile(File("events.jsonl"))), 4u);
  const std::string line = "battery-host: cannot write cache " + cache +
                           ".tmp: No such file or directory (said once; the host goes on "
                           "without it)\n";
  EXPECT_EQ(Count(r.err, line), 1u) << r.err;
  EXPECT_EQ(Count(r.err, "cannot write cache"), 1u) << r.err;
}

TEST_F(OutputSafety, SighupEndsTheRun) {
  const std::string events = File("events.jsonl");
  const int pid = host_safety::SpawnHost({"--interval-ms", "100", "--events", events}, dir_);
  const int exit_fd = host_safety::PidFd(pid);
  EXPECT_TRUE(host_safety::WaitForFile(events, exit_fd,
                                       [](const std::string& t) { return Rounds(t) >= 1; }));
  close(exit_fd);
  ASSERT_EQ(kill(pid, SIGHUP), 0);
  const host_run::Result r = host_safety::WaitBounded(pid, dir_, 10000);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  const std::vector<std::string> lines = Lines(r.err);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "battery-host: stopped by Hangup") << r.err;
}

// Settings the device itself throws on: the file, the place in it and the key.
TEST_F(OutputSafety, SettingsTheDeviceRefusesNameTheFileAndTheKey) {
  const std::string settings = File("settings.json");
  const struct {
    const char* text;
    const char* where_and_key;
  } cases[] = {
      {"{\"appSetting\": {\"dir\": [1]}}", "Line 1, Column 24: appSetting.dir"},
      {"{\"appSetting\": {\"b_mode\": {}}}", "Line 1, Column 27: appSetting.b_mode"},
      {"{\"appSetting\": {\"group_voltage\": [[2]]}}",
       "Line 1, Column 35: appSetting.group_voltage[0]"},
      {"{\"appSetting\": {\n  \"version\": 1,\n  \"save_interval\": {\"s\": 60}}}",
       "Line 3, Column 20: appSetting.save_interval"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    WriteFile(settings, c.text);
    const host_run::Result r =
        host_safety::RunBounded({"--settings", settings, "--interval-ms", "100"}, dir_);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "battery-host: the device refused its settings " + settings + ": " +
                         c.where_and_key + ": Type is not convertible to string\n");
  }
  // Inline in a site file: the site file is named.
  const std::string site = File("site.json");
  WriteFile(
      site,
      "{\"lines\": [{\"port\": \"sim\", \"devices\": [\n"
      "  {\"data_id\": 1, \"address\": 129, \"settings\": {\"appSetting\": {\"dir\": [1]}}}]}]}\n");
  const host_run::Result r = host_safety::RunBounded({"--site", site}, dir_);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err, "battery-host: the device refused its site file " + site +
                       ": Line 2, Column 69: appSetting.dir: Type is not convertible to string\n");
}

}  // namespace

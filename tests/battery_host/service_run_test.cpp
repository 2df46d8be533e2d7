// battery-host under a Type=notify unit with a watchdog, as systemd runs it: $NOTIFY_SOCKET names
// the test's fake notify socket. Ready once, pings while the poll loop turns, none while the
// host is stopped (SIGSTOP: a loop that does not turn), pings again after, STOPPING at the end.

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/battery_host/host_run_support.h"
#include "tests/battery_host/notify_socket.h"

namespace {

using std::chrono::milliseconds;

TEST(ServiceRun, ReadyOnceThenWatchdogPingsOnlyWhileTheLoopTurns) {
  host_run::ScratchDir dir;
  notify_test::NotifySocket sock;
  setenv("NOTIFY_SOCKET", sock.name().c_str(), 1);
  setenv("WATCHDOG_USEC", "200000", 1);  // a ping every 100 ms
  const int pid = host_run::Spawn({"--plain", "--interval-ms", "1000"}, dir);
  unsetenv("NOTIFY_SOCKET");
  unsetenv("WATCHDOG_USEC");
  ASSERT_GT(pid, 0);

  EXPECT_EQ(sock.Receive(), "READY=1\nSTATUS=polling 1 line(s)");
  // With a 1000 ms period the loop wakes for the watchdog timer itself.
  for (int i = 0; i < 3; ++i) EXPECT_EQ(sock.Receive(milliseconds(1000)), "WATCHDOG=1") << i;

  kill(pid, SIGSTOP);
  while (!sock.Receive(milliseconds(50)).empty()) {
  }
  EXPECT_EQ(sock.Receive(milliseconds(500)), "") << "a ping from a loop that does not turn";
  kill(pid, SIGCONT);
  EXPECT_EQ(sock.Receive(milliseconds(1000)), "WATCHDOG=1");

  kill(pid, SIGTERM);
  const host_run::Result r = host_run::Wait(pid, dir);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  std::string last;
  for (std::string m; !(m = sock.Receive(milliseconds(0))).empty();) last = m;
  EXPECT_EQ(last, "STOPPING=1");
  EXPECT_EQ(r.err.find("READY"), std::string::npos);
}

// Standard error as the journal's stream: $JOURNAL_STREAM names its device and inode (here the
// file the test hands the host as standard error). Each line carries its priority.
TEST(ServiceRun, LinesToTheJournalCarryTheirPriority) {
  host_run::ScratchDir dir;
  std::ofstream(dir.File("stderr.txt")).put('\0');  // the inode the host's stderr will have
  struct stat st {};
  ASSERT_EQ(stat(dir.File("stderr.txt").c_str(), &st), 0);
  setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(),
         1);
  const host_run::Result ok =
      host_run::Run({"--plain", "--rounds", "1", "--interval-ms", "100"}, dir);
  const host_run::Result bad = host_run::Run({"--settings", dir.File("missing.json")}, dir);
  unsetenv("JOURNAL_STREAM");
  EXPECT_EQ(ok.exit_code, 0) << ok.err;
  EXPECT_EQ(ok.err.rfind("<6>battery-host: polling the simulator on ", 0), 0u) << ok.err;
  EXPECT_EQ(bad.exit_code, 2);
  EXPECT_EQ(bad.err.rfind("<3>battery-host: ", 0), 0u) << bad.err;
  // On a file that is not the journal's stream the lines stay plain.
  const host_run::Result plain = host_run::Run({"--settings", dir.File("missing.json")}, dir);
  EXPECT_EQ(plain.err.rfind("battery-host: ", 0), 0u) << plain.err;
}

}  // namespace

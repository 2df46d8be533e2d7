// The bms-sim program as another program uses it: start it with --pty, read the slave path from
// its first line, talk to it, end it with SIGTERM and read its counters. Waits are poll() on its
// output and on the pty; the timeouts only guard against a hang.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "simulator/serial_line.h"

namespace {

constexpr int kHangGuardMs = 10000;

struct Child {
  pid_t pid = -1;
  int out = -1;  // its stdout and stderr
};

// in: the child's standard input (-1: ours).
Child Launch(const std::vector<std::string>& args, int in = -1) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    if (in >= 0) dup2(in, 0);
    dup2(p[1], 1);
    dup2(p[1], 2);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(p[1]);
  return {pid, p[0]};
}

// Reads the child's output up to and including the next newline.
std::string ReadLine(int fd) {
  std::string line;
  char c;
  while (line.empty() || line.back() != '\n') {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kHangGuardMs) <= 0 || read(fd, &c, 1) != 1) break;
    line += c;
  }
  return line;
}

std::string ReadToEnd(int fd) {
  std::string all;
  char buf[256];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kHangGuardMs) <= 0) break;
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    all.append(buf, static_cast<std::size_t>(n));
  }
  return all;
}

int ExitStatus(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::vector<std::uint8_t> ReadExactly(int fd, std::size_t n) {
  std::vector<std::uint8_t> got;
  while (got.size() < n) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kHangGuardMs) <= 0) break;
    std::uint8_t b;
    if (read(fd, &b, 1) != 1) break;
    got.push_back(b);
  }
  return got;
}

TEST(BmsSimProgram, ServesOnAPtyAndPrintsCountersOnSigterm) {
  Child sim = Launch({BMS_SIM_PATH, "--pty", "--address", "0x5E", "--seed", "3"});
  ASSERT_GT(sim.pid, 0);
  const std::string first = ReadLine(sim.out);
  const std::string prefix = "bms-sim: serving address 0x5E on ";
  ASSERT_EQ(first.compare(0, prefix.size(), prefix), 0) << first;
  const std::string path = first.substr(prefix.size(), first.size() - prefix.size() - 1);

  std::string error;
  const int line = simulator::OpenRaw19200(path, &error);
  ASSERT_GE(line, 0) << error;
  const std::uint8_t other[] = {0xFE, 0xFE, 0x01, 0xA4, 0xA5};    // not our address
  const std::uint8_t request[] = {0xFE, 0xFE, 0x5E, 0xA1, 0x01};  // 5E + A1 = 255 -> 1
  ASSERT_EQ(write(line, other, sizeof other), 5);
  ASSERT_EQ(write(line, request, sizeof request), 5);
  const std::vector<std::uint8_t> frame = ReadExactly(line, 67);
  ASSERT_EQ(frame.size(), 67u);
  EXPECT_EQ(frame[0], 0xED);
  EXPECT_EQ(frame[1], 0x5E);
  unsigned sum = 0;
  for (int i = 1; i <= 65; ++i) sum += frame[i];
  EXPECT_EQ(frame[66], (sum % 256) % 254);
  close(line);

  ASSERT_EQ(kill(sim.pid, SIGTERM), 0);
  const std::string rest = ReadToEnd(sim.out);
  EXPECT_EQ(rest,
            "bms-sim: 10 bytes received, 1 requests answered or withheld, 1 ignored, "
            "1 replies sent (1 clean)\n"
            "bms-sim: faults: noise 0 split 0 drop 0 bad-checksum 0 wrong-address 0 "
            "out-of-window 0 garbage 0 silence 0\n");
  EXPECT_EQ(ExitStatus(sim.pid), 0);
  close(sim.out);
}

TEST(BmsSimProgram, PortThatCannotBeOpenedIsAClearError) {
  Child sim = Launch({BMS_SIM_PATH, "--port", "/nonexistent/ttyS9"});
  ASSERT_GT(sim.pid, 0);
  EXPECT_EQ(ReadToEnd(sim.out),
            "bms-sim: cannot open /nonexistent/ttyS9: No such file or directory\n");
  EXPECT_EQ(ExitStatus(sim.pid), 1);
  close(sim.out);
}

TEST(BmsSimProgram, BadOptionValueShowsUsage) {
  Child sim = Launch({BMS_SIM_PATH, "--noise", "1.5"});
  ASSERT_GT(sim.pid, 0);
  const std::string out = ReadToEnd(sim.out);
  EXPECT_EQ(out.substr(0, out.find('\n') + 1),
            "bms-sim: --noise wants a number 0..1, not \"1.5\"\n");
  EXPECT_NE(out.find("usage: bms-sim"), std::string::npos);
  EXPECT_EQ(ExitStatus(sim.pid), 2);
  close(sim.out);
}

TEST(BmsSimProgram, HelpDescribesEveryOptionWithItsDefault) {
  Child sim = Launch({BMS_SIM_PATH, "--help"});
  ASSERT_GT(sim.pid, 0);
  const std::string help = ReadToEnd(sim.out);
  EXPECT_EQ(ExitStatus(sim.pid), 0);
  close(sim.out);
  EXPECT_EQ(
      help.compare(0, 65, "bms-sim: simulated battery-monitoring modules on one serial line\n"), 0)
      << help;
  const char* const options[] = {"--port DEVICE",     "--pty",
                                 "--address N",       "--cells N",
                                 "--seed N",          "--discharge",
                                 "--current-sensor",  "--weak-cell N",
                                 "--weak-capacity F", "--noise R",
                                 "--split R",         "--drop R",
                                 "--bad-checksum R",  "--wrong-address R",
                                 "--out-of-window R", "--garbage R",
                                 "--silence R",       "--silence-requests N",
                                 "--module ITEMS",    "--commands",
                                 "--chunk-gap MS",    "--time-scale X",
                                 "--verbose"};
  // Each option's text runs from its name to the next line that starts an option.
  for (const char* option : options) {
    const std::size_t at = help.find(std::string("\n  ") + option + " ");
    ASSERT_NE(at, std::string::npos) << option;
    const std::size_t next = help.find("\n  -", at + 1);
    const std::string text = help.substr(at, next - at);
    EXPECT_NE(text.find("default"), std::string::npos) << text;
  }
  // ITEMS keys and the run-time commands are explained too.
  for (const char* word :
       {"weak-capacity, silent", "silent ADDR", "answer ADDR", "remove ADDR", "add ADDR"}) {
    EXPECT_NE(help.find(word), std::string::npos) << word;
  }
}

TEST(BmsSimProgram, TwoModulesOnOneLineWithCommandsOnStandardInput) {
  int in[2];
  ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
  Child sim = Launch({BMS_SIM_PATH, "--module", "address=2,seed=3", "--module",
                      "address=0x11,cells=4", "--commands"},
                     in[0]);
  ASSERT_GT(sim.pid, 0);
  close(in[0]);
  const std::string first = ReadLine(sim.out);
  const std::string prefix = "bms-sim: serving addresses 0x02, 0x11 on /dev/pts/";
  ASSERT_EQ(first.compare(0, prefix.size(), prefix), 0) << first;
  std::string error;
  const std::size_t path_at = first.find(" on ") + 4;
  const int line =
      simulator::OpenRaw19200(first.substr(path_at, first.size() - 1 - path_at), &error);
  ASSERT_GE(line, 0) << error;

  // Both answer, each with its own address and a sum over its own bytes.
  const std::uint8_t both[] = {0xFE, 0xFE, 0x02, 0xA4, 0xA6, 0xFE, 0xFE, 0x11, 0xA4, 0xB5};
  ASSERT_EQ(write(line, both, sizeof both), 10);
  const std::vector<std::uint8_t> replies = ReadExactly(line, 10);
  ASSERT_EQ(replies.size(), 10u);
  for (int r = 0; r < 2; ++r) {
    const std::uint8_t* f = &replies[5 * r];
    EXPECT_EQ(f[0], 0xED);
    EXPECT_EQ(f[1], r == 0 ? 0x02 : 0x11);
    EXPECT_EQ(f[4], ((f[1] + f[2] + f[3]) % 256) % 254);
  }

  ASSERT_EQ(write(in[1], "silent 0x11\nbogus\n", 18), 18);
  EXPECT_EQ(ReadLine(sim.out), "bms-sim: 0x11 silent\n");
  EXPECT_EQ(ReadLine(sim.out),
            "bms-sim: ignored \"bogus\": want silent, answer, remove or add and an address\n");
  // 0x11 now keeps quiet: the next five bytes are 0x02's.
  const std::uint8_t silent_first[] = {0xFE, 0xFE, 0x11, 0xA4, 0xB5, 0xFE, 0xFE, 0x02, 0xA4, 0xA6};
  ASSERT_EQ(write(line, silent_first, sizeof silent_first), 10);
  const std::vector<std::uint8_t> reply = ReadExactly(line, 5);
  ASSERT_EQ(reply.size(), 5u);
  EXPECT_EQ(reply[1], 0x02);
  close(line);
  close(in[1]);

  ASSERT_EQ(kill(sim.pid, SIGTERM), 0);
  EXPECT_EQ(ReadToEnd(sim.out),
            "bms-sim: line: 20 bytes received, 4 requests, 0 for no module on the line, "
            "0 with a bad sum\n"
            "bms-sim: 0x02: 2 requests answered or withheld, 0 while silent, 0 ignored, "
            "2 replies sent (2 clean)\n"
            "bms-sim: 0x02: faults: noise 0 split 0 drop 0 bad-checksum 0 wrong-address 0 "
            "out-of-window 0 garbage 0 silence 0\n"
            "bms-sim: 0x11: 1 requests answered or withheld, 1 while silent, 0 ignored, "
            "1 replies sent (1 clean)\n"
            "bms-sim: 0x11: faults: noise 0 split 0 drop 0 bad-checksum 0 wrong-address 0 "
            "out-of-window 0 garbage 0 silence 0\n");
  EXPECT_EQ(ExitStatus(sim.pid), 0);
  close(sim.out);
}

TEST(BmsSimProgram, RefusedSettingsAreOneLine) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--module", "address=2", "--module", "address=0x02"},
       "bms-sim: two modules at address 0x02\n"},
      {{"--address", "5", "--module", "seed=2", "--module", "seed=3"},
       "bms-sim: two modules at address 0x05\n"},
      {{"--module", "address=3,noise=2"},
       "bms-sim: --module address=3,noise=2: noise wants a number 0..1, not \"2\"\n"},
      {{"--cells", "4", "--weak-cell", "5"}, "bms-sim: weak-cell 5 is beyond its 4 cells\n"},
  };
  for (const auto& [args, expected] : cases) {
    std::vector<std::string> argv{BMS_SIM_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    Child sim = Launch(argv);
    ASSERT_GT(sim.pid, 0);
    EXPECT_EQ(ReadToEnd(sim.out), expected);
    EXPECT_EQ(ExitStatus(sim.pid), 2) << expected;
    close(sim.out);
  }
}

}  // namespace

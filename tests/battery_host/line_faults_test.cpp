// The serial line going wrong under a running battery-host, for real: the host stopped while
// bytes pile up in its port, a module that says every reply twice, an adapter pulled at a long
// poll period. The test is the module on the master side of a pseudo-terminal.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "simulator/bms_bus.h"
#include "simulator/bms_module.h"
#include "tests/battery_host/host_run_support.h"
#include "tests/battery_host/site_events.h"

extern char** environ;

namespace {

using host_run::Bytes;
using host_run::FloatAt;
using host_run::PidFd;
using host_run::Pty;
using host_run::ScratchDir;

// Every value the module put in a reply, as the example settings turn it into a stored float
// (12 V blocks: hundredths of a volt; group voltage in tenths; the current sensor's formula;
// temperature in hundredths of a degree).
struct Sent {
  std::set<float> cell0, group, current, temperature;

  void Note(const simulator::Reply& r) {
    if (!r.clean) return;
    switch (r.command) {
      case simulator::kCmdCells:
        cell0.insert(r.readings[0] / 100.0f);
        break;
      case simulator::kCmdGroupVoltage:
        group.insert(r.raw / 10.0f);
        break;
      case simulator::kCmdCurrent:
        current.insert(((r.raw / 10.0f) / 125.0f - 2.0f) * 50.0f);
        break;
      case simulator::kCmdTemperature:
        temperature.insert(r.raw / 100.0f);
        break;
      default:
        break;
    }
  }
};

// Each stored record holds only values the module sent for that very quantity.
void ExpectEachValueOfItsOwnQuantity(const std::vector<Bytes>& history, const Sent& sent) {
  for (std::size_t k = 0; k < history.size(); ++k) {
    SCOPED_TRACE("record " + std::to_string(k + 1));
    EXPECT_EQ(sent.cell0.count(FloatAt(history[k], 4)), 1u) << FloatAt(history[k], 4);
    EXPECT_EQ(sent.group.count(FloatAt(history[k], 132)), 1u) << FloatAt(history[k], 132);
    EXPECT_EQ(sent.current.count(FloatAt(history[k], 136)), 1u) << FloatAt(history[k], 136);
    EXPECT_EQ(sent.temperature.count(FloatAt(history[k], 141)), 1u) << FloatAt(history[k], 141);
  }
}

// The modules at bus addresses 1 to `modules` until the host ends: every reply goes to `act`,
// which writes it (or not) and may do more.
void Serve(int exit_fd, int master, int modules,
           const std::function<void(const simulator::BusReply&)>& act) {
  std::vector<simulator::Config> configs(static_cast<std::size_t>(modules));
  for (int i = 0; i < modules; ++i) {
    configs[i].address = static_cast<std::uint8_t>(i + 1);
    configs[i].current_encoding = simulator::CurrentEncoding::kSensor;
  }
  simulator::Bus bus(configs);
  for (;;) {
    pollfd fds[2] = {{exit_fd, POLLIN, 0}, {master, POLLIN, 0}};
    ASSERT_GT(poll(fds, 2, 60000), 0) << "neither a request nor the host's end within 60 s";
    if (fds[0].revents & POLLIN) return;
    unsigned char buf[256];
    const ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) continue;
    for (const simulator::BusReply& reply : bus.Receive(buf, static_cast<std::size_t>(n))) {
      act(reply);
    }
  }
}

void WriteAll(int fd, const Bytes& bytes) {
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

std::vector<Json::Value> Discarded(const std::vector<Json::Value>& events, const std::string& why) {
  std::vector<Json::Value> found;
  for (const Json::Value& e : events) {
    if (e["event"].asString() == "rx" && e["discarded"].asString() == why) found.push_back(e);
  }
  return found;
}

// Two strings on one line. The host stops (SIGSTOP) while the first waits for its group-voltage
// reply, and 256 bytes of noise and then a whole cell frame of the second module pile up in its
// port. Read in one go, the noise overflows the first device's buffer and its round is
// abandoned; the second device's turn begins at once, and the cell frame, still in the port,
// came before its request: the line discards it as stale. The module ignores that request, as
// if the frame had been its answer.
TEST(LineFaults, BytesThatWaitedInThePortAnswerNoLaterRequest) {
  ScratchDir dir;
  Pty pty;
  const std::string settings = std::string(BATTERY_HOST_EXAMPLES) + "/settings.example.json";
  site_events::WriteText(dir.File("site.json"), R"({"lines": [{"port": ")" + pty.slave_path +
                                                    R"(", "interval_ms": 300, "devices": [
         {"data_id": 1, "address": 129, "settings": ")" +
                                                    settings + R"("},
         {"data_id": 2, "address": 130, "settings": ")" +
                                                    settings + R"("}]}]})");
  const int pid = host_run::Spawn(
      {"--site", dir.File("site.json"), "--rounds", "3", "--events", dir.File("events.jsonl")},
      dir);
  ASSERT_GT(pid, 0);
  const int exit_fd = PidFd(pid);
  ASSERT_GE(exit_fd, 0);
  simulator::Readings marks{};
  marks.fill(1000);  // 10.00 V, a value the modules never send
  const Bytes stale = simulator::BuildCellFrame(0x02, marks);
  Sent sent;
  int temperatures = 0;
  bool stalled = false;
  bool ignore_cells = false;
  Serve(exit_fd, pty.master, 2, [&](const simulator::BusReply& r) {
    const simulator::Reply& reply = r.reply;
    if (r.address == 1 && reply.command == simulator::kCmdGroupVoltage && temperatures == 2 &&
        !stalled) {
      stalled = true;
      ASSERT_EQ(kill(pid, SIGSTOP), 0);
      int status = 0;
      ASSERT_EQ(waitpid(pid, &status, WUNTRACED), pid);
      Bytes pile(256, 0x00);
      pile.insert(pile.end(), stale.begin(), stale.end());
      WriteAll(pty.master, pile);
      // The terminal layer passes the bytes on in its own time: all of them wait in the port
      // before the host goes on.
      for (int queued = 0; queued < static_cast<int>(pile.size());) {
        ASSERT_EQ(ioctl(pty.slave, FIONREAD, &queued), 0);
        if (queued < static_cast<int>(pile.size())) poll(nullptr, 0, 1);
      }
      ASSERT_EQ(kill(pid, SIGCONT), 0);
      ignore_cells = true;
      return;
    }
    if (r.address == 2 && reply.command == simulator::kCmdCells && ignore_cells) {
      ignore_cells = false;
      return;
    }
    sent.Note(reply);
    WriteAll(pty.master, reply.Joined());
    if (reply.command == simulator::kCmdTemperature) ++temperatures;
  });
  close(exit_fd);
  const host_run::Result r = host_run::Wait(pid, dir);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<Json::Value> events = host_run::ReadEvents(dir.File("events.jsonl"));
  const std::vector<Bytes> history = host_run::Records(events, "history");
  EXPECT_EQ(history.size(), 6u);
  ExpectEachValueOfItsOwnQuantity(history, sent);
  const std::vector<Json::Value> discarded = Discarded(events, "stale");
  ASSERT_EQ(discarded.size(), 1u);
  EXPECT_EQ(host_run::FromHex(discarded[0]["bytes"].asString()), stale);
  EXPECT_EQ(discarded[0]["data_id"].asUInt(), 2u);
  EXPECT_TRUE(discarded[0]["outside_turn"].asBool());
}

// A module (or an echoing converter) that says every reply twice, 60 ms apart: the copy arrives
// while the device's next request waits for the line to go quiet, and is discarded; no stored
// value is one of another quantity.
TEST(LineFaults, AReplyHeardTwiceIsNotTakenForTheNextAnswer) {
  ScratchDir dir;
  Pty pty;
  // The copy comes 60 ms after the reply, well inside the 150 ms guard: a busy machine
  // (sanitizers, the emulator) may be up to 60 ms late reading the reply (later, and it reads
  // reply and copy as one) or 90 ms late writing the copy, and the copy still arrives while the
  // next request waits.
  const int pid = host_run::Spawn(
      {"--port", pty.slave_path, "--interval-ms", "1000", "--reply-timeout-ms", "500", "--guard-ms",
       "150", "--rounds", "3", "--events", dir.File("events.jsonl")},
      dir);
  ASSERT_GT(pid, 0);
  const int exit_fd = PidFd(pid);
  ASSERT_GE(exit_fd, 0);
  Sent sent;
  Serve(exit_fd, pty.master, 1, [&](const simulator::BusReply& r) {
    const simulator::Reply& reply = r.reply;
    sent.Note(reply);
    WriteAll(pty.master, reply.Joined());
    pollfd until_exit{exit_fd, POLLIN, 0};
    if (poll(&until_exit, 1, 60) != 0) return;  // the 60 ms between the copies
    WriteAll(pty.master, reply.Joined());
  });
  close(exit_fd);
  const host_run::Result r = host_run::Wait(pid, dir);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<Json::Value> events = host_run::ReadEvents(dir.File("events.jsonl"));
  const std::vector<Bytes> history = host_run::Records(events, "history");
  EXPECT_EQ(history.size(), 3u);
  ExpectEachValueOfItsOwnQuantity(history, sent);
  // Within each round the copies of the first three replies came while a request waited.
  EXPECT_GE(Discarded(events, "guard").size(), 9u);
}

// A line that chatters without a pause for a while (a faulty converter): the requests wait for
// a quiet line, are not sent while it never comes, and that is said once, and again when it is
// over; then the rounds go on.
TEST(LineFaults, ALineThatIsNeverQuietIsSaidOnceAndAgainWhenItIs) {
  ScratchDir dir;
  Pty pty;
  const int pid =
      host_run::Spawn({"--port", pty.slave_path, "--interval-ms", "200", "--rounds", "2"}, dir);
  ASSERT_GT(pid, 0);
  const int exit_fd = PidFd(pid);
  ASSERT_GE(exit_fd, 0);
  bool chattered = false;
  Serve(exit_fd, pty.master, 1, [&](const simulator::BusReply& r) {
    WriteAll(pty.master, r.reply.Joined());
    if (r.reply.command != simulator::kCmdTemperature || chattered) return;
    // After the first round, over the next poll tick: a byte every 5 ms for half a second.
    chattered = true;
    for (int i = 0; i < 100; ++i) {
      WriteAll(pty.master, Bytes{0x00});
      pollfd until_exit{exit_fd, POLLIN, 0};
      if (poll(&until_exit, 1, 5) != 0) return;
    }
  });
  close(exit_fd);
  const host_run::Result r = host_run::Wait(pid, dir);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string never = "battery-host: line " + pty.slave_path +
                            " was not quiet for 20 ms within the reply timeout of 100 ms; "
                            "device 1's request was not sent\n";
  const std::string again =
      "battery-host: line " + pty.slave_path + " is quiet again; its requests go out\n";
  const std::size_t at = r.err.find(never);
  ASSERT_NE(at, std::string::npos) << r.err;
  EXPECT_EQ(r.err.find(never, at + 1), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(again, at), std::string::npos) << r.err;
}

// battery-host with its standard error on a pipe, so that the test can wait for its lines.
int SpawnWithErrors(const std::vector<std::string>& args, int* errors) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return -1;
  std::vector<std::string> all = {BATTERY_HOST_EXE};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, p[1], 2);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(p[1]);
  *errors = p[0];
  return rc == 0 ? pid : -1;
}

// Reads from `fd` into `text` until it holds `wanted` or the writer is gone.
bool ReadUntil(int fd, const std::string& wanted, std::string* text) {
  while (text->find(wanted) == std::string::npos) {
    char buf[512];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    text->append(buf, static_cast<std::size_t>(n));
  }
  return true;
}

// At a poll period of an hour the adapter is pulled and plugged in again under the same name:
// the host tries the port again once a second, not once a period.
TEST(LineFaults, ALostPortIsTriedAgainEverySecondWhateverThePeriod) {
  ScratchDir dir;
  const std::string link = dir.File("ttyBATTERY");
  auto first = std::make_unique<Pty>();
  ASSERT_EQ(symlink(first->slave_path.c_str(), link.c_str()), 0);
  int errors = -1;
  const int pid =
      SpawnWithErrors({"--port", link, "--interval-ms", "3600000", "--duration", "2.5"}, &errors);
  ASSERT_GT(pid, 0);
  std::string text;
  EXPECT_TRUE(ReadUntil(errors, "polling the port", &text)) << text;
  first->Unplug();
  Pty second;
  ASSERT_EQ(unlink(link.c_str()), 0);
  ASSERT_EQ(symlink(second.slave_path.c_str(), link.c_str()), 0);
  ReadUntil(errors, "\n\n", &text);  // to the end of the run
  close(errors);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
  EXPECT_NE(text.find("port " + link + " lost ("), std::string::npos) << text;
  EXPECT_NE(text.find("); trying to reopen it once a second\n"), std::string::npos) << text;
  EXPECT_NE(text.find("port " + link + " is back\n"), std::string::npos) << text;
}

namespace measure {

// What the protocol cannot catch, measured: a module that answers after `turnaround_ms`, sends
// some replies a period late (after the device has sent the request again) and swaps the two
// value bytes of some short replies (the plain-sum checksum stays right). Runs only when
// BATTERY_HOST_FAULT_ROUNDS is set; prints what share of the stored records holds a value of
// another quantity, and a swapped value.
//   BATTERY_HOST_FAULT_ROUNDS=300 BATTERY_HOST_FAULT_TURNAROUND_MS=5 BATTERY_HOST_FAULT_GUARD_MS=20
struct Due {
  std::chrono::steady_clock::time_point at;
  Bytes bytes;
};

unsigned long EnvNumber(const char* name, unsigned long fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::strtoul(v, nullptr, 10) : fallback;
}

TEST(LineFaults, UndetectableFaultsMeasured) {
  const unsigned long rounds = EnvNumber("BATTERY_HOST_FAULT_ROUNDS", 0);
  if (rounds == 0) GTEST_SKIP() << "set BATTERY_HOST_FAULT_ROUNDS to measure";
  const auto turnaround =
      std::chrono::milliseconds(EnvNumber("BATTERY_HOST_FAULT_TURNAROUND_MS", 5));
  const unsigned long guard = EnvNumber("BATTERY_HOST_FAULT_GUARD_MS", 20);
  const unsigned long period_ms = 200;
  const double late_rate = 0.05, swap_rate = 0.05;
  ScratchDir dir;
  Pty pty;
  const int pid =
      host_run::Spawn({"--port", pty.slave_path, "--interval-ms", std::to_string(period_ms),
                       "--guard-ms", std::to_string(guard), "--rounds", std::to_string(rounds),
                       "--events", dir.File("events.jsonl")},
                      dir);
  ASSERT_GT(pid, 0);
  const int exit_fd = PidFd(pid);
  std::vector<simulator::Config> configs(1);
  configs[0].current_encoding = simulator::CurrentEncoding::kSensor;
  simulator::Bus bus(configs);
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> chance(0.0, 1.0);
  Sent sent, swapped;
  std::vector<Due> queue;
  unsigned long late = 0, swaps = 0, replies = 0;
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    int wait_ms = 1000;
    for (const Due& d : queue) {
      wait_ms = std::min<int>(
          wait_ms,
          static_cast<int>(std::max<long long>(
              0, std::chrono::duration_cast<std::chrono::milliseconds>(d.at - now).count())));
    }
    pollfd fds[2] = {{exit_fd, POLLIN, 0}, {pty.master, POLLIN, 0}};
    poll(fds, 2, wait_ms);
    if (fds[0].revents & POLLIN) break;
    if (fds[1].revents & POLLIN) {
      unsigned char buf[256];
      const ssize_t n = read(pty.master, buf, sizeof buf);
      for (const simulator::BusReply& r :
           bus.Receive(buf, n > 0 ? static_cast<std::size_t>(n) : 0)) {
        Due d{std::chrono::steady_clock::now() + turnaround, r.reply.Joined()};
        ++replies;
        sent.Note(r.reply);
        if (chance(rng) < late_rate) {
          d.at += std::chrono::milliseconds(period_ms + 50);
          ++late;
        }
        if (d.bytes.size() == 5 && d.bytes[2] != d.bytes[3] && chance(rng) < swap_rate) {
          std::swap(d.bytes[2], d.bytes[3]);
          simulator::Reply s = r.reply;
          s.raw = static_cast<std::uint16_t>((d.bytes[2] << 8) | d.bytes[3]);
          swapped.Note(s);
          ++swaps;
        }
        queue.push_back(std::move(d));
      }
    }
    const auto then = std::chrono::steady_clock::now();
    for (auto it = queue.begin(); it != queue.end();) {
      if (it->at > then) {
        ++it;
        continue;
      }
      WriteAll(pty.master, it->bytes);
      it = queue.erase(it);
    }
  }
  close(exit_fd);
  host_run::Wait(pid, dir);
  const std::vector<Bytes> history =
      host_run::Records(host_run::ReadEvents(dir.File("events.jsonl")), "history");
  unsigned long wrong_quantity = 0, swapped_value = 0;
  for (const Bytes& h : history) {
    const float values[3] = {FloatAt(h, 132), FloatAt(h, 136), FloatAt(h, 141)};
    const std::set<float>* own[3] = {&sent.group, &sent.current, &sent.temperature};
    const std::set<float>* own_swapped[3] = {&swapped.group, &swapped.current,
                                             &swapped.temperature};
    bool wrong = false, swap = false;
    for (int q = 0; q < 3; ++q) {
      if (own[q]->count(values[q]) != 0) continue;
      if (own_swapped[q]->count(values[q]) != 0) {
        swap = true;
      } else {
        wrong = true;
      }
    }
    wrong_quantity += wrong;
    swapped_value += swap;
  }
  std::printf(
      "guard %lu ms, turnaround %lld ms: %lu replies, %lu late, %lu swapped; %zu records, "
      "%lu (%.1f%%) with a value of another quantity, %lu (%.1f%%) with a swapped value\n",
      guard, static_cast<long long>(turnaround.count()), replies, late, swaps, history.size(),
      wrong_quantity, 100.0 * wrong_quantity / std::max<std::size_t>(1, history.size()),
      swapped_value, 100.0 * swapped_value / std::max<std::size_t>(1, history.size()));
}

}  // namespace measure

}  // namespace

// The host's outputs: the exact text of the events file and that no line is ever torn, the
// record decoding, the cache and its refusals, the view's text, and that no output can make the
// poll round wait (a terminal nobody reads, an output that is slow).

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "battery_host/app/journal_stream.h"
#include "battery_host/support/output_paths.h"
#include "battery_host/outputs/async_output.h"
#include "battery_host/outputs/events_file.h"
#include "battery_host/outputs/json_text.h"
#include "battery_host/outputs/record_cache.h"
#include "battery_host/outputs/string_record.h"
#include "battery_host/outputs/view/live_view.h"
#include "battery_host/outputs/view/terminal_writer.h"
#include "battery_host/outputs/view/view_output.h"

namespace {

class ScratchDir {
 public:
  ScratchDir() {
    char tmpl[] = "/tmp/battery_host_outputs_XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~ScratchDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A record written byte by byte: id 7, cell 0 13.5 V (41 58 00 00), cell 19 12.25 V
// (41 44 00 00), group 270.0 V (43 87 00 00), current -2.5 A (C0 20 00 00), temperature 25.0
// (41 C8 00 00) at the odd offset 141, time 2026-12-08 14:03:59.
std::vector<unsigned char> WorkedRecord() {
  std::vector<unsigned char> b(152, 0);
  b[0] = 7;
  const unsigned char cell0[] = {0x00, 0x00, 0x58, 0x41};
  const unsigned char cell19[] = {0x00, 0x00, 0x44, 0x41};
  const unsigned char group[] = {0x00, 0x00, 0x87, 0x43};
  const unsigned char current[] = {0x00, 0x00, 0x20, 0xC0};
  const unsigned char temperature[] = {0x00, 0x00, 0xC8, 0x41};
  const unsigned char stamp[] = {0xEA, 0x07, 12, 8, 14, 3, 59};
  std::memcpy(&b[4], cell0, 4);
  std::memcpy(&b[4 + 4 * 19], cell19, 4);
  std::memcpy(&b[132], group, 4);
  std::memcpy(&b[136], current, 4);
  std::memcpy(&b[141], temperature, 4);
  std::memcpy(&b[145], stamp, 7);
  return b;
}

// The worked record as device 7's stored round.
outputs::HostEvent WorkedRound() {
  outputs::HostEvent round;
  round.kind = outputs::EventKind::kHistory;
  round.data_id = 7;
  round.bytes = WorkedRecord();
  return round;
}

// 2026-12-08 14:03:59.250 UTC
outputs::WallClock::time_point WorkedTime() {
  return outputs::WallClock::time_point(std::chrono::milliseconds(1796738639250ll));
}

// ---- The events file --------------------------------------------------------------------------

TEST(EventText, FloatsReadBackToTheSameSinglePrecisionValue) {
  struct Case {
    float value;
    const char* text;
  };
  const Case cases[] = {
      {240.0f, "240"},
      {25.3f, "25.3"},  // 25.299999237060546875: no shorter text reads back to it
      {0.1f, "0.1"},
      {13.55f, "13.55"},  // 13.55000019073486328125
      {-0.48f, "-0.48"},
      {0.52000284f, "0.52000284"},  // a computed current keeps the digits that tell it apart
      {1e-07f, "1e-07"},
      {0.0f, "0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(outputs::JsonFloatText(c.value), c.text);
    EXPECT_EQ(std::strtof(outputs::JsonFloatText(c.value).c_str(), nullptr), c.value);
  }
  EXPECT_EQ(outputs::JsonFloatText(std::numeric_limits<float>::quiet_NaN()), "null");
  EXPECT_TRUE(outputs::JsonFloatValue(std::numeric_limits<float>::infinity()).isNull());
  EXPECT_EQ(outputs::JsonTimeText(WorkedTime()), "2026-12-08T14:03:59.250Z");
}

TEST(EventText, EveryKindOfEventHasItsExactLine) {
  using outputs::EventKind;
  auto event = [](outputs::EventKind kind) {
    outputs::HostEvent e;
    e.kind = kind;
    e.data_id = 2;
    e.at = WorkedTime();
    return e;
  };
  const std::string t = "\"time\":\"2026-12-08T14:03:59.250Z\"";
  struct Case {
    outputs::HostEvent e;
    std::string line;
  };
  std::vector<Case> cases;
  {
    outputs::HostEvent e = event(outputs::EventKind::kTx);
    e.bytes = {0xFE, 0xFE, 0x02, 0xA1, 0xA3};
    cases.push_back({e, "{\"bytes\":\"fefe02a1a3\",\"data_id\":2,\"event\":\"tx\"," + t + "}"});
  }
  {
    outputs::HostEvent e = event(outputs::EventKind::kRx);
    e.bytes = {0xED, 0x02, 0x09, 0x60, 0x6B};
    e.outside_turn = true;
    cases.push_back({e,
                     "{\"bytes\":\"ed0209606b\",\"data_id\":2,\"event\":\"rx\","
                     "\"outside_turn\":true," +
                         t + "}"});
  }
  {
    outputs::HostEvent e = event(outputs::EventKind::kThreshold);
    e.rule.key = "battery_2_value";
    e.rule.label = "第23节电池";
    e.rule.value = 13.55f;
    e.rule.index = 3;
    cases.push_back({e,
                     "{\"data_id\":2,\"event\":\"threshold\",\"index\":3,\"key\":"
                     "\"battery_2_value\",\"label\":\"第23节电池\"," +
                         t + ",\"value\":13.55}"});
  }
  {
    outputs::HostEvent e = event(outputs::EventKind::kAlarm);
    e.rule.key = "temperature";
    e.rule.label = "温度";
    e.rule.value = 41.5f;
    e.rule.limit = 40.0f;
    e.raised = true;
    cases.push_back({e,
                     "{\"data_id\":2,\"event\":\"alarm\",\"key\":\"temperature\",\"label\":"
                     "\"温度\",\"limit\":40.0,\"state\":\"raised\",\"text\":\"温度 (temperature) "
                     "41.5 > 40\"," +
                         t + ",\"value\":41.5}"});
  }
  {
    outputs::HostEvent e = event(outputs::EventKind::kPort);
    e.state = "lost";
    e.path = "/dev/ttyUSB0";
    e.detail = "the line hung up";
    cases.push_back({e,
                     "{\"data_id\":2,\"detail\":\"the line hung up\",\"event\":\"port\","
                     "\"path\":\"/dev/ttyUSB0\",\"state\":\"lost\"," +
                         t + "}"});
  }
  {
    outputs::HostEvent e = event(outputs::EventKind::kTurnEnd);
    e.status.rounds_started = 5;
    e.status.rounds_completed = 3;
    e.status.rounds_abandoned = 1;
    e.status.stalled = true;
    cases.push_back({e,
                     "{\"data_id\":2,\"event\":\"turn\",\"rounds_abandoned\":1,"
                     "\"rounds_completed\":3,\"rounds_started\":5,\"stalled\":true," +
                         t + "}"});
  }
  {
    outputs::HostEvent e = event(outputs::EventKind::kSend);
    e.code = 5013;
    e.bytes = {0x02, 0x00};
    cases.push_back(
        {e, "{\"code\":5013,\"data_id\":2,\"event\":\"send\",\"record\":\"0200\"," + t + "}"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(outputs::JsonLine(outputs::EventsFile::EventJson(c.e)), c.line);
  }
}

TEST(EventsFile, AppendsByDefaultAndStartsAnewOnlyWhenAsked) {
  ScratchDir dir;
  const std::string path = dir.File("events.jsonl");
  WriteText(path, "{\"earlier\":1}\n");
  std::string error;
  outputs::HostEvent e;
  e.kind = outputs::EventKind::kTx;
  e.data_id = 1;
  e.at = WorkedTime();
  e.bytes = {0xFE};
  {
    auto events = outputs::EventsFile::Open(path, false, &error);
    ASSERT_TRUE(events) << error;
    events->Take(e);
  }
  const std::string line =
      "{\"bytes\":\"fe\",\"data_id\":1,\"event\":\"tx\","
      "\"time\":\"2026-12-08T14:03:59.250Z\"}\n";
  EXPECT_EQ(ReadText(path), "{\"earlier\":1}\n" + line);
  {
    auto events = outputs::EventsFile::Open(path, true, &error);
    ASSERT_TRUE(events) << error;
    events->Take(e);
  }
  EXPECT_EQ(ReadText(path), line);

  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
  EXPECT_FALSE(outputs::EventsFile::Open(dir.File("fifo"), false, &error));
  EXPECT_EQ(error, "events file " + dir.File("fifo") + " is a named pipe, not a regular file");
}

// A disk that fills up mid-line: the part that got in is taken back, the failure is told at
// once with its reason, and once there is room again the lines go on whole.
TEST(EventsFile, AFullDiskNeverLeavesATornLine) {
  ScratchDir dir;
  const std::string path = dir.File("events.jsonl");
  const std::string notices = dir.File("notices.txt");
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // The file may grow to 300 bytes: the third line of about 110 bytes does not fit whole.
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{300, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &limit);
    std::string error;
    auto events = outputs::EventsFile::Open(path, true, &error);
    if (!events) _exit(3);
    std::ofstream told(notices);
    events->Start({}, [&](const std::string& m) { told << m << "\n"; });
    outputs::HostEvent e;
    e.kind = outputs::EventKind::kRx;
    e.data_id = 1;
    e.at = WorkedTime();
    e.bytes.assign(20, 0xAB);
    for (int i = 0; i < 5; ++i) events->Take(e);
    told.flush();
    // Room again.
    rlimit more{RLIM_INFINITY, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &more);
    events->Take(e);
    told.flush();
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const std::string text = ReadText(path);
  std::istringstream lines(text);
  std::string line;
  int whole = 0;
  while (std::getline(lines, line)) {
    EXPECT_EQ(line.front(), '{');
    EXPECT_EQ(line.back(), '}');
    ++whole;
  }
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(whole, 3);  // two before the limit, one after it was lifted
  EXPECT_EQ(ReadText(notices),
            "events file " + path +
                ": cannot write: File too large; events are dropped until it can be written "
                "again\nevents file " +
                path + ": writing again; 3 events were not written\n");
}

// ---- The record and its cache -----------------------------------------------------------------

TEST(Record, DecodesEveryFieldAtItsOffsetAndEncodesTheSameBytes) {
  const std::vector<unsigned char> b = WorkedRecord();
  const outputs::StringRecord r = outputs::DecodeStringRecord(b.data());
  const outputs::RecordBytes again = outputs::EncodeStringRecord(r);
  EXPECT_EQ(std::vector<unsigned char>(again.begin(), again.end()), b);
  EXPECT_EQ(r.id, 7u);
  EXPECT_EQ(r.cells[0], 13.5f);
  EXPECT_EQ(r.cells[19], 12.25f);
  EXPECT_EQ(r.cells[1], 0.0f);
  EXPECT_EQ(r.group_voltage, 270.0f);
  EXPECT_EQ(r.group_current, -2.5f);
  EXPECT_EQ(r.reserved, 0);
  EXPECT_EQ(r.temperature, 25.0f);
  EXPECT_EQ(outputs::StampText(r.stamp), "2026-12-08 14:03:59");
  EXPECT_EQ(outputs::StampText({}), "----------");
}

TEST(Cache, ReplacesTheRecordWholeAndLeavesNoTemporaryFile) {
  ScratchDir dir;
  const std::string path = dir.File("record.bin");
  std::string error;
  std::string bytes;
  EXPECT_EQ(outputs::ReadCacheFile(path, 152, &bytes, &error), outputs::CacheRead::kMissing);
  std::vector<unsigned char> first(152, 0x11);
  std::vector<unsigned char> second = WorkedRecord();
  ASSERT_TRUE(outputs::WriteCacheFile(path, first.data(), first.size(), &error)) << error;
  ASSERT_TRUE(outputs::WriteCacheFile(path, second.data(), second.size(), &error)) << error;
  EXPECT_EQ(outputs::ReadCacheFile(path, 152, &bytes, &error), outputs::CacheRead::kRecord);
  EXPECT_EQ(bytes, std::string(second.begin(), second.end()));
  EXPECT_NE(access((path + ".tmp").c_str(), F_OK), 0);
  for (std::size_t size : {0u, 151u, 153u, 4096u}) {
    SCOPED_TRACE(size);
    WriteText(path, std::string(size, 'x'));
    bytes = "untouched";
    EXPECT_EQ(outputs::ReadCacheFile(path, 152, &bytes, &error), outputs::CacheRead::kWrongSize);
    EXPECT_EQ(bytes, "untouched");
  }
}

TEST(Cache, ALinkIsFollowedAndWhatIsNotAFileIsRefused) {
  ScratchDir dir;
  const std::string target = dir.File("real.bin");
  const std::string link = dir.File("link.bin");
  const std::string chain = dir.File("chain.bin");
  ASSERT_EQ(symlink("real.bin", link.c_str()), 0);  // relative, and its target not there yet
  ASSERT_EQ(symlink(link.c_str(), chain.c_str()), 0);
  std::string resolved;
  std::string error;
  ASSERT_TRUE(outputs::ResolveCacheTarget(chain, &resolved, &error)) << error;
  EXPECT_EQ(resolved, target);
  const std::vector<unsigned char> record = WorkedRecord();
  ASSERT_TRUE(outputs::WriteCacheFile(resolved, record.data(), record.size(), &error));
  struct stat st {};
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));  // still a link, now to the written record
  EXPECT_EQ(ReadText(link), std::string(record.begin(), record.end()));

  EXPECT_FALSE(outputs::ResolveCacheTarget("/dev/null", &resolved, &error));
  EXPECT_EQ(error, "cache /dev/null is a character device, not a regular file");
  ASSERT_EQ(symlink("/dev/null", dir.File("to-null").c_str()), 0);
  EXPECT_FALSE(outputs::ResolveCacheTarget(dir.File("to-null"), &resolved, &error));
  EXPECT_EQ(error, "cache " + dir.File("to-null") +
                       " links to /dev/null, which is a character device, not a regular file");
}

TEST(OutputPaths, AnOutputThatIsAnInputOrAnotherOutputIsRefused) {
  ScratchDir dir;
  WriteText(dir.File("settings.json"), "{}");
  ASSERT_EQ(symlink("settings.json", dir.File("alias").c_str()), 0);
  std::string error;
  EXPECT_FALSE(support::CheckOutputPaths({{"settings", dir.File("settings.json")}},
                                         {{"cache of device 1", dir.File("alias")}}, &error));
  EXPECT_EQ(error, "cache of device 1 " + dir.File("alias") + " is the settings " +
                       dir.File("settings.json") + "; give it a file of its own");
  EXPECT_FALSE(support::CheckOutputPaths(
      {},
      {{"cache of device 1", dir.File("new.bin")}, {"cache of device 2", dir.File("./new.bin")}},
      &error));
  EXPECT_EQ(error, "cache of device 2 " + dir.File("./new.bin") +
                       " is also the cache of device 1; give each its own file");
  EXPECT_TRUE(support::CheckOutputPaths({{"settings", dir.File("settings.json")}},
                                        {{"cache of device 1", dir.File("a.bin")}}, &error));
}

// ---- The view -----------------------------------------------------------------------------------

view::DeviceView WorkedView() {
  const std::vector<unsigned char> b = WorkedRecord();
  view::DeviceView d;
  d.info.data_id = 7;
  d.info.cells = 20;
  d.info.bus_address = 0x01;
  d.name = "string 7";
  d.source = "port /dev/ttyUSB0";
  d.record = outputs::DecodeStringRecord(b.data());
  d.record.cells[1] = 13.75f;
  for (int i = 2; i < 19; ++i) d.record.cells[i] = 13.5f;
  d.status.rounds_completed = 4;
  d.status.rounds_abandoned = 1;
  return d;
}

TEST(View, PlainLineShowsCountersValuesExtremesAndAlarms) {
  view::DeviceView d = WorkedView();
  // Cell 20 (12.25) is the lowest, cell 2 (13.75) the highest: spread 1500 mV.
  EXPECT_EQ(view::RenderLine(d),
            "string 7: round 4, 1 abandoned 2026-12-08 14:03:59 group 270 V   current -2.5 A"
            "   temperature 25 C; lowest #20 12.25 V, highest #2 13.75 V, spread 1500 mV; "
            "alarms: none\n");
  d.alarms["battery_19_value"] = view::ActiveAlarm{"第20节电池", 12.25f, 12.5f};
  d.alarms["temperature"] = view::ActiveAlarm{"温度", 41.5f, 40.0f};
  d.info.group_voltage_peers = {5, 6};
  d.info.current_peer = 5;
  d.info.current_field = "group_current";
  d.status.stalled = true;
  const std::string line = view::RenderLine(d);
  EXPECT_NE(line.find("round 4, 1 abandoned  [module not answering] "), std::string::npos) << line;
  EXPECT_NE(line.find("group 270 V (with 5, 6)   current -2.5 A (from 5 group_current)"),
            std::string::npos)
      << line;
  EXPECT_NE(line.find("alarms: 第20节电池 (battery_19_value) 12.25 < 12.5, "
                      "温度 (temperature) 41.5 > 40\n"),
            std::string::npos)
      << line;
}

// A site file's string name and port with terminal escapes (7-bit and the UTF-8 8-bit CSI) reach
// the round line escaped, as the errors write them.
TEST(View, NamesFromTheSiteFileCarryNoTerminalEscape) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  {
    view::ViewOutput view(p[1], false, {{7, "port /dev/\x1b]0;t\x07"}});
    outputs::DeviceInfo info;
    info.data_id = 7;
    info.name =
        "A\x1b[2J\xc2\x9b"
        "1mB";
    view.Start({info}, [](const std::string&) {});
    view.Take(WorkedRound());
    view.writer().Drain(1000);
  }
  close(p[1]);
  char buf[4096];
  const ssize_t n = read(p[0], buf, sizeof buf);
  close(p[0]);
  ASSERT_GT(n, 0);
  EXPECT_EQ(
      std::string(buf, static_cast<std::size_t>(n)).rfind("A\\x1B[2J\\xC2\\x9B1mB: round 1", 0), 0u)
      << std::string(buf, static_cast<std::size_t>(n));
}

// Under systemd standard error and the view's standard output are the journal's stream
// ($JOURNAL_STREAM names its device and inode; here a file's). Each kind of line carries its
// priority there, written as the host writes it: its own lines through HostLines, the plain
// view's through ViewOutput.
TEST(JournalLines, EachKindOfLineCarriesItsPriority) {
  ScratchDir dir;
  const int fd = open(dir.File("journal").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  struct stat st {};
  ASSERT_EQ(fstat(fd, &st), 0);
  setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(),
         1);
  {
    app::HostLines host(fd);
    view::ViewOutput view(fd, false, {{7, "port /dev/ttyUSB0"}}, app::JournalStream(fd));
    unsetenv("JOURNAL_STREAM");
    outputs::DeviceInfo info;
    info.data_id = 7;
    info.cells = 20;
    view.Start({info}, [](const std::string&) {});
    host.Say({"the simulator on /dev/pts/3 exited", outputs::NoticeKind::kFailure});
    host.Say(
        "port /dev/ttyUSB0 lost (read: Input/output error); trying to reopen it once a second");
    host.Say({"port /dev/ttyUSB0 is back", outputs::NoticeKind::kOver});
    host.Say({"stopped by Terminated", outputs::NoticeKind::kStartStop});
    outputs::HostEvent turn;
    turn.kind = outputs::EventKind::kTurnEnd;
    turn.data_id = 7;
    turn.status.silent = true;
    view.Take(turn);
    turn.status.silent = false;
    view.Take(turn);
    view.Take(WorkedRound());
    host.writer().Drain(1000);
    view.writer().Drain(1000);
  }
  close(fd);
  const std::string expected[] = {
      "<3>battery-host: the simulator on /dev/pts/3 exited",
      "<4>battery-host: port /dev/ttyUSB0 lost (read: Input/output error); trying to reopen it "
      "once a second",
      "<5>battery-host: port /dev/ttyUSB0 is back",
      "<6>battery-host: stopped by Terminated",
      "<4>string 7: module not answering (no reply in its turn)",
      "<5>string 7: module answers again",
      "<6>string 7: round 1, 0 abandoned 2026-12-08 14:03:59 group 270 V",
  };
  std::istringstream written(ReadText(dir.File("journal")));
  std::string line;
  for (const std::string& want : expected) {
    ASSERT_TRUE(std::getline(written, line)) << want;
    EXPECT_EQ(line.substr(0, want.size()), want);
  }
  EXPECT_FALSE(std::getline(written, line)) << line;
}

TEST(View, ABlockMarksTheExtremesAndShowsACellOutOfWindowAsSuch) {
  view::DeviceView d = WorkedView();
  d.info.cells = 12;
  d.record.cells[3] = 0.0f;  // a reading outside the window
  d.record.cells[11] = 13.25f;
  d.record.cells[0] = 13.5f;
  EXPECT_EQ(view::RenderBlock(d, false),
            "string 7   round 4, 1 abandoned   2026-12-08 14:03:59\n"
            "  data id 7, 0x01 on port /dev/ttyUSB0\n"
            "   1   13.5 ^13.75   13.5    out   13.5   13.5   13.5   13.5   13.5   13.5\n"
            "  11   13.5 v13.25\n"
            "  lowest #12 13.25 V, highest #2 13.75 V, spread 500 mV\n"
            "  1 out of window 9.0\u201315.0 V: #4\n"
            "  group 270 V   current -2.5 A   temperature 25 C\n"
            "  alarms: none\n");
}

// ---- Nothing waits for a terminal ---------------------------------------------------------------

struct Pty {
  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    grantpt(master);
    unlockpt(master);
    slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
  }
  ~Pty() {
    close(slave);
    close(master);
  }
  int master = -1;
  int slave = -1;
};

TEST(TerminalWriter, APtyNobodyReadsNeverMakesTheWriterWait) {
  Pty pty;
  view::TerminalWriter frames(pty.slave, view::TerminalWriter::Mode::kFrames);
  const std::string picture(4000, 'x');
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 200; ++i) frames.Put(picture);  // 800 kB into a buffer of a few kB
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::seconds(2));  // a blocking write would never have returned
  EXPECT_TRUE(frames.wants_write());
  EXPECT_GT(frames.dropped(), 150u);
  EXPECT_TRUE(frames.TakeFirstDrop());
  EXPECT_FALSE(frames.TakeFirstDrop());  // said once
  // The shared terminal itself stays blocking for everyone else.
  EXPECT_EQ(fcntl(pty.slave, F_GETFL) & O_NONBLOCK, 0);

  // Once the terminal is read again the begun picture is finished, then only the newest.
  std::string seen;
  char buf[65536];
  for (int round = 0; round < 200 && frames.wants_write(); ++round) {
    const ssize_t n = read(pty.master, buf, sizeof buf);
    if (n > 0) seen.append(buf, static_cast<std::size_t>(n));
    frames.Flush();
  }
  for (;;) {
    pollfd p{pty.master, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) break;
    const ssize_t n = read(pty.master, buf, sizeof buf);
    if (n <= 0) break;
    seen.append(buf, static_cast<std::size_t>(n));
  }
  EXPECT_FALSE(frames.wants_write());
  EXPECT_EQ(seen.size() % picture.size(), 0u);  // whole pictures only
  // What the terminal had taken before it stalled, the begun picture and the newest one.
  EXPECT_LE(seen.size(), 10 * picture.size());
}

TEST(TerminalWriter, LinesWaitInOrderUpToALimit) {
  Pty pty;
  view::TerminalWriter lines(pty.slave, view::TerminalWriter::Mode::kLines, 100);
  // Fill the pty until it takes no more; then 100 more bytes may wait.
  const std::string line(50, 'a');
  for (int i = 0; i < 10000 && lines.dropped() == 0; ++i) lines.Put(line + "\n");
  EXPECT_EQ(lines.dropped(), 1u);
  EXPECT_TRUE(lines.wants_write());
}

// ---- A slow output does not hold the poll round
// ---------------------------------------------------

class SlowOutput : public outputs::Output {
 public:
  void Take(const outputs::HostEvent& e) override {
    while (!go.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    seen.push_back(e.data_id);
  }
  std::atomic<bool> go{false};
  std::vector<unsigned int> seen;
};

TEST(AsyncOutput, EventsQueueWhileTheOutputIsSlowAndOverflowIsDroppedAndTold) {
  auto inner = std::make_unique<SlowOutput>();
  SlowOutput* slow = inner.get();
  outputs::AsyncOutput out("history", std::move(inner), 4);
  std::vector<std::string> told;
  std::mutex told_mutex;
  out.Start({}, [&](const std::string& m) {
    std::lock_guard<std::mutex> lock(told_mutex);
    told.push_back(m);
  });
  for (unsigned int i = 1; i <= 10; ++i) {
    outputs::HostEvent e;
    e.data_id = i;
    out.Take(e);  // returns at once although the output is stuck
  }
  // One event is with the worker, four wait; the other five were dropped.
  EXPECT_GE(out.dropped(), 5u);
  slow->go = true;
  out.Stop();
  ASSERT_GE(slow->seen.size(), 4u);
  EXPECT_EQ(slow->seen.front(), 1u);
  EXPECT_EQ(slow->seen.size() + out.dropped(), 10u);
  for (std::size_t i = 1; i < slow->seen.size(); ++i) EXPECT_LT(slow->seen[i - 1], slow->seen[i]);
  ASSERT_GE(told.size(), 1u);
  EXPECT_EQ(told[0], "history: falling behind; events are dropped until it catches up");
}

}  // namespace

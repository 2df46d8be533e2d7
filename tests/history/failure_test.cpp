// A database that cannot be written (locked, read-only, full, damaged) is reported once, the
// rounds wait in memory, and once it can be written again they go in with their own times;
// a killed writer leaves whole rounds only.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include "fault_vfs.h"
#include "history_test_support.h"

namespace {

using namespace history_test;
using Rows = std::vector<std::vector<std::string>>;

struct Trouble {
  std::string name;
  bool first_round_written;  // false: the trouble is there from the start
  std::string why;           // the notice's reason
  // Makes the trouble (before or after the first round, see above) and removes it again.
  std::function<void(const std::string& path, std::shared_ptr<void>& keep)> make;
  std::function<void(const std::string& path, std::shared_ptr<void>& keep)> heal;
  std::string vfs;
};

// Test names and failure messages show the case's name, not its bytes.
void PrintTo(const Trouble& c, std::ostream* os) { *os << c.name; }

std::string Mismatch(const std::string& what, const std::string& got, const std::string& want) {
  return got == want ? "" : what + ": got \"" + got + "\", want \"" + want + "\"\n";
}

std::string Flat(const Rows& rows) {
  std::string s;
  for (const auto& r : rows) {
    for (const auto& c : r) s += c + " ";
    s += "| ";
  }
  return s;
}

// Round 0, then the trouble, rounds 1..3 (an alarm with round 2), the trouble removed. Returns
// every difference from what should happen, "" when none: it also runs in a child process.
std::string RunThroughTrouble(const std::string& path, const Trouble& t) {
  std::string diff;
  history::HistoryOptions o = TestOptions(path);
  o.vfs = t.vfs;
  std::shared_ptr<void> keep;
  if (!t.first_round_written) t.make(path, keep);
  history::HistoryOutput out(o);
  Notices notices;
  out.Start({}, notices.Fn());
  out.Take(HistoryEvent(1, kT0Ms, NumberedRecord(0)));
  if (t.first_round_written) {
    if (!out.WaitWritten(std::chrono::seconds(10))) return "round 0 not written\n";
    t.make(path, keep);
    out.Take(HistoryEvent(1, kT0Ms + 1000, NumberedRecord(1)));
  }
  if (!notices.WaitCount(1)) return "no notice of the trouble\n";
  if (!t.first_round_written) out.Take(HistoryEvent(1, kT0Ms + 1000, NumberedRecord(1)));
  out.Take(AlarmEvent(1, kT0Ms + 1999, "battery_2_value", "第3节电池", 11.5f, 12.0f, true));
  out.Take(HistoryEvent(1, kT0Ms + 2000, NumberedRecord(2)));
  out.Take(HistoryEvent(1, kT0Ms + 3000, NumberedRecord(3)));
  t.heal(path, keep);
  if (!notices.WaitCount(2)) return "no notice of the recovery\n";
  if (!out.WaitWritten(std::chrono::seconds(10))) diff += "backlog not written\n";
  out.Stop();

  const auto lines = notices.Lines();
  const int kept = t.first_round_written ? 3 : 4;
  diff += Mismatch("notice count", std::to_string(lines.size()), "2");
  if (lines.size() == 2) {
    diff += Mismatch("trouble", lines[0],
                     "history: cannot write " + path + ": " + t.why +
                         "; rounds wait in memory, retrying every 1 s");
    diff += Mismatch("recovery", lines[1],
                     "history: " + path + " can be written again; " + std::to_string(kept) +
                         " entries kept in memory written");
  }
  Sql sql(path);
  diff += Mismatch("rounds",
                   Flat(sql.Rows("SELECT received_ms - 1772442907250, temperature, "
                                 "raw = (SELECT raw FROM rounds r2 WHERE r2.id = rounds.id) "
                                 "FROM rounds ORDER BY id")),
                   "0 0.0 1 | 1000 1.0 1 | 2000 2.0 1 | 3000 3.0 1 | ");
  diff += Mismatch("alarms",
                   Flat(sql.Rows("SELECT a.received_ms - 1772442907250, r.temperature FROM "
                                 "alarms a JOIN rounds r ON r.id = a.round_id")),
                   "1999 2.0 | ");
  diff += Mismatch("integrity", sql.One("PRAGMA integrity_check"), "ok");
  return diff;
}

class HistoryTrouble : public ::testing::TestWithParam<Trouble> {};

TEST_P(HistoryTrouble, ToldOnceKeptAndWrittenAfterwards) {
  fault_vfs::Register();
  TempDir dir;
  EXPECT_EQ(RunThroughTrouble(dir.File("h.sqlite"), GetParam()), "");
}

// Another connection holds the write lock (BEGIN EXCLUSIVE), as a program backing the file up
// or a person in the sqlite3 shell would.
Trouble Locked() {
  return {"locked",
          true,
          "database is locked by another program",
          [](const std::string& path, std::shared_ptr<void>& keep) {
            auto other = std::make_shared<Sql>(path);
            other->Exec("BEGIN EXCLUSIVE");
            keep = other;
          },
          [](const std::string&, std::shared_ptr<void>& keep) {
            static_cast<Sql*>(keep.get())->Exec("COMMIT");
            keep.reset();
          },
          ""};
}

// The disk has no free blocks: writes that would grow a file fail with SQLITE_FULL, through
// the test VFS (fault_vfs.h says what that models).
Trouble Full() {
  return {"full",
          true,
          "disk or database is full",
          [](const std::string&, std::shared_ptr<void>&) { fault_vfs::SetFull(true); },
          [](const std::string&, std::shared_ptr<void>&) { fault_vfs::SetFull(false); },
          fault_vfs::kName};
}

// Garbage over part of a closed database; the person moves the damaged file aside, and the
// host starts a new one. The damaged file is not touched.
Trouble Damaged(const std::string& name, long offset) {
  auto make = [offset](const std::string& path, std::shared_ptr<void>& keep) {
    {
      Sql sql(path);
      sql.Exec("PRAGMA journal_mode = WAL; CREATE TABLE t (x); INSERT INTO t VALUES (1);");
    }
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(offset);
    std::uint32_t x = 12345;
    for (int i = 0; i < 4096 - offset; ++i) {
      x = x * 1103515245u + 12345u;
      f.put(static_cast<char>(x >> 24));
    }
    f.close();
    std::ifstream in(path, std::ios::binary);
    keep = std::make_shared<std::string>(std::istreambuf_iterator<char>(in),
                                         std::istreambuf_iterator<char>());
  };
  auto heal = [](const std::string& path, std::shared_ptr<void>& keep) {
    std::rename(path.c_str(), (path + ".damaged").c_str());
    std::ifstream in(path + ".damaged", std::ios::binary);
    const std::string now((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (now != *static_cast<std::string*>(keep.get()))
      std::fprintf(stderr, "damaged file changed\n");
    EXPECT_EQ(now, *static_cast<std::string*>(keep.get())) << "the damaged file was written";
  };
  return {name, false, "file is not a database or is damaged", make, heal, ""};
}

INSTANTIATE_TEST_SUITE_P(History, HistoryTrouble,
                         ::testing::Values(Locked(), Full(), Damaged("garbage_header", 0),
                                           Damaged("garbage_schema_page", 100)),
                         [](const auto& info) { return info.param.name; });

// A file the host may not write: permissions 0444, in a child that is not root (root writes
// whatever the permissions say, so a root test drops to another user first). It models a
// database the host's user cannot write when it opens it; a file system remounted read-only
// under a running host reports the same way through SQLite.
TEST(HistoryTroubleReadOnly, ToldOnceKeptAndWrittenAfterwards) {
  TempDir dir;
  const std::string path = dir.File("h.sqlite");
  int pipe_fd[2];
  ASSERT_EQ(pipe(pipe_fd), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(pipe_fd[0]);
    std::string diff;
    if (geteuid() == 0) {
      if (chown(dir.path().c_str(), 65534, 65534) != 0 || setgid(65534) != 0 ||
          setuid(65534) != 0) {
        diff = "cannot drop to user 65534\n";
      }
    }
    if (diff.empty()) {
      Trouble t{"read_only",
                false,
                "database is read-only",
                [](const std::string& p, std::shared_ptr<void>&) {
                  {
                    Sql sql(p);
                    sql.Exec("PRAGMA user_version = 0");
                  }
                  chmod(p.c_str(), 0444);
                },
                [](const std::string& p, std::shared_ptr<void>&) { chmod(p.c_str(), 0644); },
                ""};
      diff = RunThroughTrouble(path, t);
    }
    if (write(pipe_fd[1], diff.data(), diff.size()) < 0) _exit(3);
    _exit(diff.empty() ? 0 : 1);
  }
  close(pipe_fd[1]);
  std::string diff;
  char buf[512];
  for (ssize_t n; (n = read(pipe_fd[0], buf, sizeof buf)) > 0;) diff.append(buf, n);
  close(pipe_fd[0]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(diff, "");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(HistoryTroubleBacklog, FullBacklogDropsTheOldestAndSaysSo) {
  TempDir dir;
  const std::string path = dir.File("h.sqlite");
  history::HistoryOptions o = TestOptions(path);
  o.backlog_limit = 2;
  history::HistoryOutput out(o);
  Notices notices;
  out.Start({}, notices.Fn());
  out.Take(HistoryEvent(1, kT0Ms, NumberedRecord(0)));
  ASSERT_TRUE(out.WaitWritten(std::chrono::seconds(10)));
  Sql other(path);
  other.Exec("BEGIN EXCLUSIVE");
  out.Take(HistoryEvent(1, kT0Ms + 1000, NumberedRecord(1)));
  ASSERT_TRUE(notices.WaitCount(1));
  for (int n = 2; n <= 4; ++n) out.Take(HistoryEvent(1, kT0Ms + 1000 * n, NumberedRecord(n)));
  ASSERT_TRUE(notices.WaitCount(2));
  other.Exec("COMMIT");
  ASSERT_TRUE(notices.WaitCount(3));
  out.Stop();
  EXPECT_EQ(notices.Lines(),
            (std::vector<std::string>{
                "history: cannot write " + path +
                    ": database is locked by another program; rounds wait in memory, retrying "
                    "every 1 s",
                "history: 2 entries wait in memory, the most kept; the oldest are dropped "
                "until " +
                    path + " can be written",
                "history: " + path +
                    " can be written again; 2 entries kept in memory written, "
                    "2 dropped"}));
  EXPECT_EQ(out.counters().backlog_dropped, 2u);
  EXPECT_EQ(Flat(Sql(path).Rows("SELECT temperature FROM rounds ORDER BY id")),
            "0.0 | 3.0 | 4.0 | ");
}

// A child writes rounds (round n with n % 3 alarms) as fast as the store takes them, four to a
// transaction, and is killed with SIGKILL at some point; the file then holds rounds 0..N-1
// without a gap, each complete, each with exactly its alarms.
TEST(HistoryKill, LeavesWholeRoundsOnly) {
  TempDir dir;
  const std::string path = dir.File("h.sqlite");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Four rounds a second, committed together.
    history::HistoryOptions o = TestOptions(path);
    o.commit_window_ms = 1000;
    history::HistoryOutput out(o);
    out.Start({Device(1, 20)}, nullptr);
    for (int n = 0;; ++n) {
      for (int a = 0; a < n % 3; ++a) {
        out.Take(AlarmEvent(1, kT0Ms + 250 * n - 1, "battery_" + std::to_string(a) + "_value",
                            "第" + std::to_string(a + 1) + "节电池", 11.0f, 12.0f, true));
      }
      out.Take(HistoryEvent(1, kT0Ms + 250 * n, NumberedRecord(n)));
      if (n % 8 == 7) out.WaitWritten(std::chrono::seconds(10));
    }
  }
  const bool enough = Eventually([&] {
    Sql sql(path, SQLITE_OPEN_READONLY);
    const std::string n = sql.One("SELECT count(*) FROM rounds");
    return n != "(none)" && n.rfind("error", 0) != 0 && std::stoi(n) >= 300;
  });
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(enough);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

  Sql sql(path);
  EXPECT_EQ(sql.One("PRAGMA integrity_check"), "ok");
  const auto rounds = sql.Rows(
      "SELECT id, temperature, raw, group_voltage, cell_1, cell_3, "
      "(SELECT count(*) FROM alarms WHERE round_id = rounds.id) "
      "FROM rounds ORDER BY id");
  ASSERT_GE(rounds.size(), 300u);
  for (std::size_t i = 0; i < rounds.size(); ++i) {
    const int n = static_cast<int>(i);
    const Bytes raw = NumberedRecord(n);
    ASSERT_EQ(rounds[i][1], std::to_string(n) + ".0") << "round " << i;
    ASSERT_EQ(rounds[i][2], Hex(raw)) << "round " << i;
    Sql check(":memory:");
    // The columns read back to the record's float32 values.
    std::ostringstream expect;
    expect.precision(17);
    ASSERT_EQ(static_cast<float>(std::stod(rounds[i][3])),
              byte_order::ReadLeFloat(raw.data() + 132));
    ASSERT_EQ(static_cast<float>(std::stod(rounds[i][4])), byte_order::ReadLeFloat(raw.data() + 4));
    ASSERT_EQ(static_cast<float>(std::stod(rounds[i][5])),
              byte_order::ReadLeFloat(raw.data() + 12));
    ASSERT_EQ(rounds[i][6], std::to_string(n % 3)) << "round " << i;
  }
  EXPECT_EQ(sql.One("SELECT count(*) FROM alarms WHERE round_id NOT IN (SELECT id FROM rounds)"),
            "0");
}

}  // namespace

namespace {

// A FIFO put at the path while the host runs: told, never opened (opening would wait forever),
// and Stop() returns.
TEST(HistoryTroubleFifo, ToldAndNeverOpened) {
  history_test::TempDir dir;
  const std::string path = dir.File("h.sqlite");
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  history::HistoryOutput out(history_test::TestOptions(path));
  history_test::Notices notices;
  out.Start({}, notices.Fn());
  out.Take(history_test::HistoryEvent(1, history_test::kT0Ms, history_test::NumberedRecord(0)));
  ASSERT_TRUE(notices.WaitCount(1));
  out.Stop();
  EXPECT_EQ(notices.Lines(),
            (std::vector<std::string>{
                "history: cannot write " + path +
                    ": file cannot be opened (not a regular "
                    "file); rounds wait in memory, retrying every 1 s",
                "history: 1 entries not written at exit (" + path + ": file cannot be opened)"}));
}

}  // namespace

namespace {

using namespace history_test;

// The file removed while the host runs (a person cleaning up, a rotation script): said once, and
// the next rounds go into a new file at the path instead of the removed one.
TEST(HistoryFileGone, ToldAndANewFileStarted) {
  TempDir dir;
  const std::string path = dir.File("h.sqlite");
  history::HistoryOutput out(TestOptions(path));
  Notices notices;
  out.Start({Device(1, 20)}, notices.Fn());
  out.Take(HistoryEvent(1, kT0Ms, NumberedRecord(0)));
  ASSERT_TRUE(out.WaitWritten(std::chrono::seconds(10)));
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
  out.Take(HistoryEvent(1, kT0Ms + 1000, NumberedRecord(1)));
  out.Take(HistoryEvent(1, kT0Ms + 2000, NumberedRecord(2)));
  ASSERT_TRUE(out.WaitWritten(std::chrono::seconds(10)));
  out.Stop();
  EXPECT_EQ(notices.Lines(),
            (std::vector<std::string>{"history: " + path +
                                      " was removed or replaced while the host ran; a new "
                                      "database is started there"}));
  Sql sql(path);
  EXPECT_EQ(Flat(sql.Rows("SELECT temperature FROM rounds ORDER BY id")), "1.0 | 2.0 | ");
  EXPECT_EQ(sql.One("SELECT count(*) FROM runs"), "1");
}

// A real full disk: a small tmpfs (needs root to mount; skipped otherwise) whose free space a
// filler file takes. Rounds fill the rest, more wait in memory, the filler is removed: every
// round reaches the database, and the write-ahead log never takes the space the rounds need.
TEST(HistoryFullDisk, BacklogReachesTheDatabaseOnceSpaceIsBack) {
  TempDir dir;
  const std::string mnt = dir.File("mnt");
  mkdir(mnt.c_str(), 0700);
  if (std::system(("mount -t tmpfs -o size=3m tmpfs '" + mnt + "' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here (not root, or no mount namespace)";
  }
  struct Unmount {
    std::string at;
    ~Unmount() { std::system(("umount -l '" + at + "'").c_str()); }
  } unmount{mnt};
  const std::string filler = mnt + "/filler";
  ASSERT_EQ(
      std::system(
          ("dd if=/dev/zero of='" + filler + "' bs=64k count=24 status=none 2>/dev/null").c_str()),
      0);
  const std::string path = mnt + "/h.sqlite";
  history::HistoryOptions o = TestOptions(path);
  o.retry_ms = 20;
  history::HistoryOutput out(o);
  Notices notices;
  out.Start({Device(1, 20)}, notices.Fn());
  int n = 0;
  for (; n < 20000 && notices.Lines().empty(); ++n) {
    out.Take(HistoryEvent(1, kT0Ms + 1000 * n, NumberedRecord(n)));
    // Written, or told that it cannot be (then the rounds wait and nothing is ever idle).
    while (n % 64 == 63 && !out.WaitWritten(std::chrono::milliseconds(20)) &&
           notices.Lines().empty()) {
    }
  }
  ASSERT_EQ(notices.Lines().size(), 1u);
  const int full_at = n;
  for (; n < full_at + 300; ++n) out.Take(HistoryEvent(1, kT0Ms + 1000 * n, NumberedRecord(n)));
  ASSERT_EQ(std::remove(filler.c_str()), 0);
  ASSERT_TRUE(notices.WaitCount(2));
  ASSERT_TRUE(out.WaitWritten(std::chrono::seconds(20)));
  out.Stop();
  const auto lines = notices.Lines();
  EXPECT_EQ(lines[0], "history: cannot write " + path +
                          ": disk or database is full; rounds wait in memory, retrying every 1 s");
  EXPECT_EQ(lines[1].rfind("history: " + path + " can be written again; ", 0), 0u) << lines[1];
  Sql sql(path);
  EXPECT_EQ(sql.One("SELECT count(*) || ' ' || min(temperature) || ' ' || max(temperature) || "
                    "' ' || count(DISTINCT temperature) FROM rounds"),
            std::to_string(n) + " 0.0 " + std::to_string(n - 1) + ".0 " + std::to_string(n));
  EXPECT_EQ(sql.One("PRAGMA integrity_check"), "ok");
}

}  // namespace

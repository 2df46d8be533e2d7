#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "battery_host/outputs/history/history_output.h"
#include "battery_host/outputs/history/schema.h"
#include "battery_host/support/output_paths.h"

namespace history {

namespace {

const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

// The schema version in an SQLite file's header: the 32-bit big-endian user version at offset
// 60 of the first 100 bytes. -1 when the file is empty or not an SQLite file (the worker reports
// that while running).
int HeaderVersion(int fd) {
  unsigned char h[100];
  ssize_t got = 0;
  while (got < static_cast<ssize_t>(sizeof h)) {
    const ssize_t n = read(fd, h + got, sizeof h - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += n;
  }
  if (got < static_cast<ssize_t>(sizeof h) || std::memcmp(h, "SQLite format 3", 16) != 0) return -1;
  const unsigned long v =
      (static_cast<unsigned long>(h[60]) << 24) | (h[61] << 16) | (h[62] << 8) | h[63];
  return v > 0x7fffffffUL ? 0x7fffffff : static_cast<int>(v);
}

// The version as SQLite sees it, the write-ahead log included: a newer program killed before its
// log reached the main file leaves the new version only there. Opened read-only, so that nothing
// is checkpointed or changed; -1 when SQLite cannot tell (reported while running).
int VersionWithLog(const std::string& path) {
  struct stat st {};
  if (stat((path + "-wal").c_str(), &st) != 0 || st.st_size == 0) return -1;
  sqlite3* db = nullptr;
  int version = -1;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* q = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &q, nullptr) == SQLITE_OK &&
        sqlite3_step(q) == SQLITE_ROW) {
      version = sqlite3_column_int(q, 0);
    }
    sqlite3_finalize(q);
  }
  sqlite3_close_v2(db);
  return version;
}

}  // namespace

std::string CheckHistoryPath(const std::string& path) {
  const std::string what = "history: " + path;
  if (path.empty()) return "history: no database file named";
  // Non-blocking: opening a FIFO for reading would otherwise wait for a writer.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) return "";  // e.g. no read permission: reported when writing
    struct stat st {};
    const std::string folder = support::FolderOf(path);
    if (stat(folder.c_str(), &st) != 0) {
      return what + ": folder " + folder + " does not exist";
    }
    if (!S_ISDIR(st.st_mode)) return what + ": " + folder + " is not a folder";
    return "";
  }
  struct stat st {};
  std::string error;
  if (fstat(fd, &st) != 0) {
    error = what + ": " + std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    error = what + " is " + KindOf(st.st_mode) + ", not a database file";
  } else {
    const int version = std::max(HeaderVersion(fd), VersionWithLog(path));
    if (version > kSchemaVersion) {
      error = what + " has schema version " + std::to_string(version) +
              ", newer than this program knows (" + std::to_string(kSchemaVersion) +
              "); use the battery-host that wrote it, or another file";
    }
  }
  close(fd);
  return error;
}

std::unique_ptr<HistoryOutput> MakeHistoryOutput(const HistoryOptions& options,
                                                 std::string* error) {
  *error = CheckHistoryPath(options.path);
  if (!error->empty()) return nullptr;
  if (options.keep_days < 0) {
    *error = "history: --history-keep wants a number of days, 0 or more";
    return nullptr;
  }
  return std::make_unique<HistoryOutput>(options);
}

}  // namespace history

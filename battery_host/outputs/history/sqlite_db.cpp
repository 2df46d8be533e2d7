#include "battery_host/outputs/history/sqlite_db.h"

#include <cmath>
#include <utility>

#include <sqlite3.h>

namespace history {

StoreTrouble TroubleOf(int code) {
  switch (code & 0xff) {  // the primary code; extended codes keep it in the low byte
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
      return StoreTrouble::kNone;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return StoreTrouble::kLocked;
    case SQLITE_READONLY:
      return StoreTrouble::kReadOnly;
    case SQLITE_FULL:
      return StoreTrouble::kFull;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return StoreTrouble::kCorrupt;
    case SQLITE_IOERR:
      return StoreTrouble::kIo;
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return StoreTrouble::kCantOpen;
    default:
      return StoreTrouble::kOther;
  }
}

const char* TroubleText(StoreTrouble trouble) {
  switch (trouble) {
    case StoreTrouble::kNone:
      return "no trouble";
    case StoreTrouble::kLocked:
      return "database is locked by another program";
    case StoreTrouble::kReadOnly:
      return "database is read-only";
    case StoreTrouble::kFull:
      return "disk or database is full";
    case StoreTrouble::kCorrupt:
      return "file is not a database or is damaged";
    case StoreTrouble::kIo:
      return "disk I/O error";
    case StoreTrouble::kCantOpen:
      return "file cannot be opened";
    case StoreTrouble::kNewer:
      return "written by a newer battery-host";
    case StoreTrouble::kOther:
      break;
  }
  return "database error";
}

Statement::Statement(Statement&& other) noexcept : stmt_(std::exchange(other.stmt_, nullptr)) {}

Statement& Statement::operator=(Statement&& other) noexcept {
  if (this != &other) {
    sqlite3_finalize(stmt_);
    stmt_ = std::exchange(other.stmt_, nullptr);
  }
  return *this;
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

void Statement::Bind(int index, double value) {
  if (std::isnan(value)) {
    sqlite3_bind_null(stmt_, index);
  } else {
    sqlite3_bind_double(stmt_, index, value);
  }
}

void Statement::Bind(int index, std::int64_t value) { sqlite3_bind_int64(stmt_, index, value); }

void Statement::Bind(int index, const std::string& text) {
  sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void Statement::BindBlob(int index, const void* data, int size) {
  sqlite3_bind_blob(stmt_, index, data, size, SQLITE_TRANSIENT);
}

void Statement::BindNull(int index) { sqlite3_bind_null(stmt_, index); }

int Statement::Step() {
  const int rc = sqlite3_step(stmt_);
  if (rc != SQLITE_ROW) {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  return rc;
}

std::int64_t Statement::ColumnInt(int index) const { return sqlite3_column_int64(stmt_, index); }

void Statement::Reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

Db::~Db() { Close(); }

int Db::Open(const std::string& path, const std::string& vfs) {
  Close();
  // One thread uses the connection: no SQLite mutex needed. The file is never a symbolic link's
  // surprise target for the journal: SQLite puts -wal and -shm beside the path it was given.
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  const int rc = sqlite3_open_v2(path.c_str(), &db_, flags, vfs.empty() ? nullptr : vfs.c_str());
  if (rc != SQLITE_OK) {
    // A handle is returned even on failure; it is kept only long enough to read the message.
    open_error_ = db_ ? sqlite3_errmsg(db_) : "out of memory";
    Close();
    return rc;
  }
  sqlite3_extended_result_codes(db_, 1);
  return SQLITE_OK;
}

void Db::Close() {
  if (db_) {
    sqlite3_close_v2(db_);
    db_ = nullptr;
  }
}

bool Db::read_only() const { return db_ && sqlite3_db_readonly(db_, "main") == 1; }

int Db::Exec(const std::string& sql) {
  return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
}

Statement Db::Prepare(const std::string& sql, int* code) {
  sqlite3_stmt* stmt = nullptr;
  *code = sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr);
  return Statement(*code == SQLITE_OK ? stmt : nullptr);
}

bool Db::QueryInt(const std::string& sql, std::int64_t* value, int* code) {
  Statement st = Prepare(sql, code);
  if (!st.valid()) return false;
  const int rc = st.Step();
  if (rc == SQLITE_ROW) {
    *value = st.ColumnInt(0);
    st.Reset();
    *code = SQLITE_OK;
    return true;
  }
  *code = rc == SQLITE_DONE ? SQLITE_OK : rc;
  *value = 0;
  return rc == SQLITE_DONE;
}

std::int64_t Db::LastInsertId() const { return sqlite3_last_insert_rowid(db_); }

int Db::Changes() const { return sqlite3_changes(db_); }

void Db::SetBusyTimeout(int ms) { sqlite3_busy_timeout(db_, ms); }

std::string Db::message() const { return db_ ? sqlite3_errmsg(db_) : open_error_; }

}  // namespace history

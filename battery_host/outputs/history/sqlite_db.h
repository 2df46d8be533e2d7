#pragma once

// A thin owner of one SQLite connection and its statements, for the history store's worker
// thread. Nothing here throws: every call reports SQLite's result code, and the connection keeps
// the text of the last error.

#include <cstdint>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace history {

// What kept a write from happening, in the words a person acts on.
enum class StoreTrouble {
  kNone,
  kLocked,    // another program holds the database (SQLITE_BUSY, SQLITE_LOCKED)
  kReadOnly,  // the file or its folder cannot be written (SQLITE_READONLY, or opened read-only)
  kFull,      // the disk or the database is full (SQLITE_FULL)
  kCorrupt,   // not a database, or damaged (SQLITE_CORRUPT, SQLITE_NOTADB)
  kIo,        // the disk failed a read or write (SQLITE_IOERR)
  kCantOpen,  // the file cannot be opened or created (SQLITE_CANTOPEN, SQLITE_PERM, SQLITE_AUTH)
  kNewer,     // written by a newer program: its schema version is beyond this one's
  kOther,
};

StoreTrouble TroubleOf(int sqlite_code);
// "database is locked by another program", ... : the part of a notice after the file name.
const char* TroubleText(StoreTrouble trouble);

class Statement {
 public:
  Statement() = default;
  Statement(Statement&& other) noexcept;
  Statement& operator=(Statement&& other) noexcept;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement();

  bool valid() const { return stmt_ != nullptr; }
  // Bind by position, from 1. A NaN is stored as NULL (SQLite has no NaN).
  void Bind(int index, double value);
  void Bind(int index, std::int64_t value);
  void Bind(int index, const std::string& text);
  void BindBlob(int index, const void* data, int size);
  void BindNull(int index);
  // SQLITE_ROW, SQLITE_DONE or an error code. Done and errors reset the statement for reuse.
  int Step();
  std::int64_t ColumnInt(int index) const;
  void Reset();

 private:
  friend class Db;
  explicit Statement(sqlite3_stmt* stmt) : stmt_(stmt) {}
  sqlite3_stmt* stmt_ = nullptr;
};

class Db {
 public:
  Db() = default;
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;
  ~Db();

  // Opens (creating it when missing) for reading and writing through the named VFS (empty: the
  // default one). Returns an SQLite result code.
  int Open(const std::string& path, const std::string& vfs);
  void Close();
  bool open() const { return db_ != nullptr; }
  // True when SQLite could only open the file for reading.
  bool read_only() const;

  // Runs one or more statements without results. Returns an SQLite result code.
  int Exec(const std::string& sql);
  // Prepares one statement; on failure the statement is not valid and code() tells why.
  Statement Prepare(const std::string& sql, int* code);
  // First column of the first row of a query, e.g. a PRAGMA; false on error.
  bool QueryInt(const std::string& sql, std::int64_t* value, int* code);
  std::int64_t LastInsertId() const;
  int Changes() const;
  void SetBusyTimeout(int ms);

  // The last error's text, e.g. "database is locked".
  std::string message() const;

 private:
  sqlite3* db_ = nullptr;
  std::string open_error_;
};

}  // namespace history

#pragma once

// The history database's layout and how an older one is brought up to date. The layout's
// version is SQLite's `PRAGMA user_version`: 0 for a new, empty file, then the number of the
// last migration applied. A database of a newer version than kSchemaVersion was written by a
// newer program and is never touched (no downgrade).

#include <string>
#include <vector>

#include "battery_host/outputs/history/sqlite_db.h"

namespace history {

constexpr int kSchemaVersion = 3;

// The statements that take a database from version i to i + 1, for i from 0.
const std::vector<std::string>& Migrations();

struct SchemaResult {
  int code = 0;        // SQLite result code of the failing step, 0 when fine
  int found = 0;       // the version the file had
  bool newer = false;  // found > kSchemaVersion: left alone
};

// Sets up a fresh file (WAL, incremental vacuum) and applies the missing migrations, each in a
// transaction of its own together with its new version number, so that a crash leaves the file
// at one version or the next.
SchemaResult Migrate(Db& db);

}  // namespace history

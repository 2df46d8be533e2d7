#include "fault_vfs.h"

#include <sqlite3.h>

#include <atomic>
#include <cstring>

namespace fault_vfs {
namespace {

std::atomic<bool> g_full{false};
sqlite3_vfs* g_real = nullptr;
sqlite3_vfs g_vfs;

struct File {
  sqlite3_file base;
  sqlite3_file* real;  // allocated right after this struct
};

sqlite3_file* Real(sqlite3_file* f) { return reinterpret_cast<File*>(f)->real; }

int Close(sqlite3_file* f) { return Real(f)->pMethods->xClose(Real(f)); }
int Read(sqlite3_file* f, void* p, int n, sqlite3_int64 off) {
  return Real(f)->pMethods->xRead(Real(f), p, n, off);
}
int Write(sqlite3_file* f, const void* p, int n, sqlite3_int64 off) {
  if (g_full) {
    sqlite3_int64 size = 0;
    if (Real(f)->pMethods->xFileSize(Real(f), &size) == SQLITE_OK && off + n > size) {
      return SQLITE_FULL;
    }
  }
  return Real(f)->pMethods->xWrite(Real(f), p, n, off);
}
int Truncate(sqlite3_file* f, sqlite3_int64 size) {
  return Real(f)->pMethods->xTruncate(Real(f), size);
}
int Sync(sqlite3_file* f, int flags) { return Real(f)->pMethods->xSync(Real(f), flags); }
int FileSize(sqlite3_file* f, sqlite3_int64* size) {
  return Real(f)->pMethods->xFileSize(Real(f), size);
}
int Lock(sqlite3_file* f, int l) { return Real(f)->pMethods->xLock(Real(f), l); }
int Unlock(sqlite3_file* f, int l) { return Real(f)->pMethods->xUnlock(Real(f), l); }
int CheckReserved(sqlite3_file* f, int* out) {
  return Real(f)->pMethods->xCheckReservedLock(Real(f), out);
}
int FileControl(sqlite3_file* f, int op, void* arg) {
  return Real(f)->pMethods->xFileControl(Real(f), op, arg);
}
int SectorSize(sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); }
int DeviceCharacteristics(sqlite3_file* f) {
  return Real(f)->pMethods->xDeviceCharacteristics(Real(f));
}
int ShmMap(sqlite3_file* f, int region, int size, int extend, void volatile** p) {
  return Real(f)->pMethods->xShmMap(Real(f), region, size, extend, p);
}
int ShmLock(sqlite3_file* f, int offset, int n, int flags) {
  return Real(f)->pMethods->xShmLock(Real(f), offset, n, flags);
}
void ShmBarrier(sqlite3_file* f) { Real(f)->pMethods->xShmBarrier(Real(f)); }
int ShmUnmap(sqlite3_file* f, int del) { return Real(f)->pMethods->xShmUnmap(Real(f), del); }
int Fetch(sqlite3_file* f, sqlite3_int64 off, int n, void** p) {
  return Real(f)->pMethods->xFetch(Real(f), off, n, p);
}
int Unfetch(sqlite3_file* f, sqlite3_int64 off, void* p) {
  return Real(f)->pMethods->xUnfetch(Real(f), off, p);
}

const sqlite3_io_methods kMethods = {
    3,
    Close,
    Read,
    Write,
    Truncate,
    Sync,
    FileSize,
    Lock,
    Unlock,
    CheckReserved,
    FileControl,
    SectorSize,
    DeviceCharacteristics,
    ShmMap,
    ShmLock,
    ShmBarrier,
    ShmUnmap,
    Fetch,
    Unfetch,
};

int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* f, int flags, int* out_flags) {
  File* file = reinterpret_cast<File*>(f);
  file->real = reinterpret_cast<sqlite3_file*>(file + 1);
  const int rc = g_real->xOpen(g_real, name, file->real, flags, out_flags);
  // Methods only when the real file opened: SQLite closes a file only when pMethods is set.
  file->base.pMethods = (rc == SQLITE_OK && file->real->pMethods) ? &kMethods : nullptr;
  return rc;
}

int Delete(sqlite3_vfs*, const char* name, int sync) { return g_real->xDelete(g_real, name, sync); }
int Access(sqlite3_vfs*, const char* name, int flags, int* out) {
  return g_real->xAccess(g_real, name, flags, out);
}
int FullPathname(sqlite3_vfs*, const char* name, int n, char* out) {
  return g_real->xFullPathname(g_real, name, n, out);
}
int Randomness(sqlite3_vfs*, int n, char* out) { return g_real->xRandomness(g_real, n, out); }
int Sleep(sqlite3_vfs*, int us) { return g_real->xSleep(g_real, us); }
int CurrentTime(sqlite3_vfs*, double* t) { return g_real->xCurrentTime(g_real, t); }

}  // namespace

void Register() {
  if (g_real) return;
  g_real = sqlite3_vfs_find(nullptr);
  std::memset(&g_vfs, 0, sizeof g_vfs);
  g_vfs.iVersion = 1;
  g_vfs.szOsFile = static_cast<int>(sizeof(File)) + g_real->szOsFile;
  g_vfs.mxPathname = g_real->mxPathname;
  g_vfs.zName = kName;
  g_vfs.xOpen = Open;
  g_vfs.xDelete = Delete;
  g_vfs.xAccess = Access;
  g_vfs.xFullPathname = FullPathname;
  g_vfs.xDlOpen = nullptr;
  g_vfs.xRandomness = Randomness;
  g_vfs.xSleep = Sleep;
  g_vfs.xCurrentTime = CurrentTime;
  sqlite3_vfs_register(&g_vfs, 0);
}

void SetFull(bool full) { g_full = full; }

}  // namespace fault_vfs

#pragma once

// An SQLite VFS for tests: the default one, except that while "full" is set a write that would
// make a file longer fails with SQLITE_FULL, which is what SQLite's own VFS reports when the
// file system answers ENOSPC. It models a disk that has no free blocks left: a write inside the
// file's present size still succeeds, as it does on a real full disk. It does not model the
// file system's own behaviour (reserved blocks, other programs freeing space).

namespace fault_vfs {

constexpr const char* kName = "history-test-faults";

// Registers the VFS (once; not the default).
void Register();
void SetFull(bool full);

}  // namespace fault_vfs

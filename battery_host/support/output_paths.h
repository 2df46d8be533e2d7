#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace support {

// The folder a file is in, as the path names it: "." for a bare name, "/" for a file at the root.
inline std::string FolderOf(const std::string& path) {
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  return folder.empty() ? "." : folder.string();
}

// The files the host writes must never be files it reads, nor each other: a cache path that
// names the settings file would replace the settings with a 152-byte record, two devices with
// one cache would overwrite each other's record. Checked at start, before anything is opened
// for writing, by identity (device and inode) for files that exist and by path otherwise.
struct NamedPath {
  std::string what;  // "settings", "cache of device 2", "events file"
  std::string path;
};

// On a clash, one line naming both: "cache of device 1 x.json is the settings x.json".
bool CheckOutputPaths(const std::vector<NamedPath>& inputs, const std::vector<NamedPath>& outputs,
                      std::string* error);

// Whether the host will be able to write `path` once it runs: a file that exists must be
// writable, and where the file is made anew (`replaced`: a cache written beside and renamed; a
// database with files of its own beside it) its folder must be writable too. On failure one
// line: "history database h.db: its folder /srv/ro cannot be written: Permission denied".
bool CheckWritable(const NamedPath& file, bool replaced, std::string* error);

}  // namespace support

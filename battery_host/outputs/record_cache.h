#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "battery_host/outputs/output.h"

namespace outputs {

// The host's record cache: one file per device holding its last history record, exactly as the
// device produced it. At start it is handed back to the device (LoadFromCache). It is replaced
// atomically (temporary file in the same directory, fsync, rename, fsync of the directory), so a
// crash or power cut leaves either the old or the new record, never a torn one.

enum class CacheRead { kRecord, kMissing, kWrongSize, kRefused };

// Reads the file into *bytes. kWrongSize when it is a regular file of another size (an unusable
// cache: the host starts without it); kRefused when the path is something else than a regular
// file, or unreadable.
CacheRead ReadCacheFile(const std::string& path, std::size_t size, std::string* bytes,
                        std::string* error);

// Where the cache of `path` is really written: a symlink is followed to its target, so that the
// link keeps pointing at the record. Refuses a path that exists and is not a regular file.
bool ResolveCacheTarget(const std::string& path, std::string* target, std::string* error);

bool WriteCacheFile(const std::string& path, const unsigned char* data, std::size_t len,
                    std::string* error);

// Replaces each device's cache file after every history record. Runs behind an AsyncOutput:
// fsync may take long on a slow card. A failure is told once per device, and again when the
// cache can be written again.
class CacheOutput : public Output {
 public:
  explicit CacheOutput(std::map<unsigned int, std::string> paths) : paths_(std::move(paths)) {}

  void Start(const std::vector<DeviceInfo>& devices, const NoticeFn& notice) override;
  void Take(const HostEvent& event) override;

 private:
  std::map<unsigned int, std::string> paths_;  // data id -> file written
  std::map<unsigned int, bool> failing_;
  NoticeFn notice_;
};

}  // namespace outputs

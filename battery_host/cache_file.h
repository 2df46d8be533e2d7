#pragma once

#include <string>

// The host's record cache: one file holding the last history record, exactly as the device
// produced it. It is replaced atomically (temporary file in the same directory, fsync, rename,
// fsync of the directory), so a crash or power cut leaves either the old or the new record,
// never a torn one.
enum class CacheRead { kRecord, kMissing, kWrongSize, kError };

// Reads the file into *bytes. kWrongSize when it exists but does not hold exactly `size` bytes
// (an unusable cache: the host starts without it).
CacheRead ReadCacheFile(const std::string& path, std::size_t size, std::string* bytes,
                        std::string* error);

bool WriteCacheFile(const std::string& path, const unsigned char* data, std::size_t len,
                    std::string* error);

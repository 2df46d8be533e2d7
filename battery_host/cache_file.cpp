#include "battery_host/cache_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool WriteAll(int fd, const unsigned char* data, std::size_t len) {
  std::size_t done = 0;
  while (done < len) {
    const ssize_t n = write(fd, data + done, len - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

CacheRead ReadCacheFile(const std::string& path, std::size_t size, std::string* bytes,
                        std::string* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return CacheRead::kMissing;
    *error = Errno("cannot read cache " + path);
    return CacheRead::kError;
  }
  std::string content;
  unsigned char buf[512];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = Errno("cannot read cache " + path);
      close(fd);
      return CacheRead::kError;
    }
    if (n == 0) break;
    content.append(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n));
    if (content.size() > size) break;  // no need to read a big wrong file to the end
  }
  close(fd);
  if (content.size() != size) {
    *error = "cache " + path + " does not hold a " + std::to_string(size) + "-byte record";
    return CacheRead::kWrongSize;
  }
  *bytes = std::move(content);
  return CacheRead::kRecord;
}

bool WriteCacheFile(const std::string& path, const unsigned char* data, std::size_t len,
                    std::string* error) {
  const std::string temp = path + ".tmp";
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = Errno("cannot write cache " + temp);
    return false;
  }
  if (!WriteAll(fd, data, len) || fsync(fd) != 0) {
    *error = Errno("cannot write cache " + temp);
    close(fd);
    unlink(temp.c_str());
    return false;
  }
  if (close(fd) != 0 || rename(temp.c_str(), path.c_str()) != 0) {
    *error = Errno("cannot replace cache " + path);
    unlink(temp.c_str());
    return false;
  }
  // The rename itself must reach the disk, or a power cut could bring back the old name.
  const int dir = open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

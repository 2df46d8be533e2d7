#include "battery_host/outputs/record_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "battery_host/support/input_file.h"
#include "battery_host/support/output_paths.h"
#include "battery_host/outputs/string_record.h"

namespace outputs {

namespace {

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

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
  // Any regular file is read (up to a limit) so that one of the wrong size is only set aside;
  // what is not a regular file is refused.
  constexpr std::size_t kLimit = 1u << 20;
  std::string content;
  switch (support::ReadRegularFile(path, "cache", kLimit, &content, error)) {
    case support::FileRead::kMissing:
      return CacheRead::kMissing;
    case support::FileRead::kRefused:
      return CacheRead::kRefused;
    case support::FileRead::kOk:
      break;
  }
  if (content.size() != size) {
    *error = "cache " + path + " does not hold a " + std::to_string(size) + "-byte record";
    return CacheRead::kWrongSize;
  }
  *bytes = std::move(content);
  return CacheRead::kRecord;
}

bool ResolveCacheTarget(const std::string& path, std::string* target, std::string* error) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) {
      *error = Errno("cannot use cache " + path);
      return false;
    }
    *target = path;  // a new file
    return true;
  }
  if (!S_ISLNK(st.st_mode)) {
    if (!S_ISREG(st.st_mode)) {
      *error =
          "cache " + path + " is " + support::KindOfNonRegular(st.st_mode) + ", not a regular file";
      return false;
    }
    *target = path;
    return true;
  }
  // A link: follow the chain to the file it names (which may not exist yet).
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code ec;
    const std::filesystem::path link = std::filesystem::read_symlink(current, ec);
    if (ec) {
      *error = "cannot follow cache link " + path + ": " + ec.message();
      return false;
    }
    // A relative link names a file beside the link.
    const std::string next =
        link.is_absolute() ? link.string()
                           : (std::filesystem::path(support::FolderOf(current)) / link).string();
    if (lstat(next.c_str(), &st) != 0) {
      if (errno != ENOENT) {
        *error = Errno("cannot follow cache link " + path);
        return false;
      }
      *target = next;
      return true;
    }
    if (!S_ISLNK(st.st_mode)) {
      if (!S_ISREG(st.st_mode)) {
        *error = "cache " + path + " links to " + next + ", which is " +
                 support::KindOfNonRegular(st.st_mode) + ", not a regular file";
        return false;
      }
      *target = next;
      return true;
    }
    current = next;
  }
  *error = "cache " + path + ": too many levels of symbolic links";
  return false;
}

bool WriteCacheFile(const std::string& path, const unsigned char* data, std::size_t len,
                    std::string* error) {
  const std::string temp = path + ".tmp";
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
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
  const int dir = open(support::FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

void CacheOutput::Start(const std::vector<DeviceInfo>&, const NoticeFn& notice) {
  notice_ = notice;
}

void CacheOutput::Take(const HostEvent& event) {
  if (event.kind != EventKind::kHistory || event.bytes.size() != StringRecord::kSize) return;
  auto path = paths_.find(event.data_id);
  if (path == paths_.end()) return;
  std::string error;
  bool& failing = failing_[event.data_id];
  if (WriteCacheFile(path->second, event.bytes.data(), event.bytes.size(), &error)) {
    if (failing && notice_)
      notice_({"cache " + path->second + " is written again", NoticeKind::kOver});
    failing = false;
    return;
  }
  if (!failing && notice_) notice_(error + " (said once; the host goes on without it)");
  failing = true;
}

}  // namespace outputs

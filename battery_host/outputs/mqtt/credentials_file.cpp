#include "battery_host/outputs/mqtt/credentials_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace mqtt {

namespace {

std::string KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a named pipe";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

bool ParseCredentials(const std::string& path, const std::string& text, Credentials* out,
                      std::string* error) {
  Credentials c;
  bool has_user = false;
  std::size_t start = 0;
  int line_no = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    ++line_no;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const std::string where = "credentials file " + path + " line " + std::to_string(line_no);
    if (line.find('\0') != std::string::npos) {
      *error = where + ": contains a NUL byte";
      return false;
    }
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) {
      *error = where + ": expected username=... or password=...";
      return false;
    }
    const std::string key = line.substr(0, eq);
    const std::string value = line.substr(eq + 1);
    if (key == "username") {
      if (has_user) {
        *error = where + ": username given twice";
        return false;
      }
      has_user = true;
      c.username = value;
    } else if (key == "password") {
      if (c.has_password) {
        *error = where + ": password given twice";
        return false;
      }
      c.has_password = true;
      c.password = value;
    } else {
      *error = where + ": unknown key '" + key + "' (only username and password)";
      return false;
    }
  }
  if (!has_user || c.username.empty()) {
    *error = "credentials file " + path + ": no username=... line";
    return false;
  }
  *out = c;
  return true;
}

bool ReadSmallRegularFile(const std::string& path, const std::string& what,
                          std::size_t max_bytes, std::string* content, unsigned* mode,
                          std::string* error) {
  const std::string name = what + " " + path;
  Fd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) {
    *error = name + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) {
    *error = name + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = name + " is " + KindOf(st.st_mode) + ", not a regular file";
    return false;
  }
  if (st.st_size > static_cast<off_t>(max_bytes)) {
    *error = name + " is " + std::to_string(st.st_size) + " bytes; at most " +
             std::to_string(max_bytes) + " expected";
    return false;
  }
  // Read one byte more than allowed, so that a file grown since fstat is still refused.
  std::string text(max_bytes + 1, '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = read(fd.get(), &text[got], text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = name + ": " + std::strerror(errno);
      return false;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got > max_bytes) {
    *error = name + " is larger than " + std::to_string(max_bytes) + " bytes";
    return false;
  }
  text.resize(got);
  *content = std::move(text);
  *mode = static_cast<unsigned>(st.st_mode & 07777);
  return true;
}

bool ReadCredentialsFile(const std::string& path, Credentials* out, std::string* warning,
                         std::string* error) {
  std::string text;
  unsigned mode = 0;
  if (!ReadSmallRegularFile(path, "credentials file", kMaxCredentialsBytes, &text, &mode,
                            error)) {
    return false;
  }
  if (!ParseCredentials(path, text, out, error)) return false;
  warning->clear();
  if (mode & (S_IRGRP | S_IROTH)) {
    *warning = "credentials file " + path + " can be read by other users; chmod 600 " + path;
  }
  return true;
}

}  // namespace mqtt

#include "battery_host/support/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace support {

std::string KindOfNonRegular(unsigned int mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a named pipe";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

std::string Printable(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    const unsigned char c = static_cast<unsigned char>(ch);
    const unsigned char next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
      // U+0080..U+009F in UTF-8: the 8-bit controls (CSI is U+009B) that terminals obey too.
      out += "\\xC2\\x";
      out += kHex[next >> 4];
      out += kHex[next & 15];
      ++i;
    } else if (c >= 0x20 && c != 0x7F) {
      out += ch;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

namespace {

std::string SizeText(std::size_t bytes) {
  if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  if (bytes >= 1024 && bytes % 1024 == 0) return std::to_string(bytes >> 10) + " KiB";
  return std::to_string(bytes) + " bytes";
}

}  // namespace

FileRead ReadRegularFile(const std::string& path, const std::string& what, std::size_t max_bytes,
                         std::string* content, std::string* error, unsigned int* mode) {
  const std::string name = what + " " + Printable(path);
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer forever.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) {
      *error = "cannot read " + name + ": " + std::strerror(errno);
      return FileRead::kMissing;
    }
    *error = "cannot read " + name + ": " + std::strerror(errno);
    return FileRead::kRefused;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    *error = "cannot read " + name + ": " + std::strerror(errno);
    close(fd);
    return FileRead::kRefused;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = name + " is " + KindOfNonRegular(st.st_mode) + ", not a regular file";
    close(fd);
    return FileRead::kRefused;
  }
  const std::string too_big = name + " is too big (at most " + SizeText(max_bytes) + ")";
  if (static_cast<unsigned long long>(st.st_size) > max_bytes) {
    *error = too_big;
    close(fd);
    return FileRead::kRefused;
  }
  // The size may change while it is read (or be 0 for files of /proc): read to the end, but
  // never more than the limit.
  std::string text;
  text.reserve(static_cast<std::size_t>(st.st_size));
  char buf[8192];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = "cannot read " + name + ": " + std::strerror(errno);
      close(fd);
      return FileRead::kRefused;
    }
    if (n == 0) break;
    if (text.size() + static_cast<std::size_t>(n) > max_bytes) {
      *error = too_big;
      close(fd);
      return FileRead::kRefused;
    }
    text.append(buf, static_cast<std::size_t>(n));
  }
  close(fd);
  *content = std::move(text);
  if (mode != nullptr) *mode = static_cast<unsigned int>(st.st_mode & 07777);
  return FileRead::kOk;
}

}  // namespace support

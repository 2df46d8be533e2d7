#include "battery_host/outputs/mqtt/credentials_file.h"

#include "battery_host/support/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace mqtt {

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

bool ReadCredentialsFile(const std::string& path, Credentials* out, std::string* warning,
                         std::string* error) {
  std::string text;
  unsigned mode = 0;
  if (support::ReadRegularFile(path, "credentials file", kMaxCredentialsBytes, &text, error,
                               &mode) != support::FileRead::kOk) {
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

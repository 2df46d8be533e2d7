#pragma once

#include <cstddef>
#include <string>

namespace mqtt {

// The broker's user name and password, kept in a file of their own so that they never stand on
// a command line (where `ps` shows them to every user of the machine). The file is text:
//
//   # battery-host at the north site
//   username=battery
//   password=s3cret=with=equals
//
// One key=value per line; the value is everything after the first '=', exactly as written (no
// trimming, so a password may begin or end with blanks); a trailing CR is dropped. Blank lines
// and lines starting with '#' are skipped. "username" is required, "password" may be left out.
struct Credentials {
  std::string username;
  std::string password;
  bool has_password = false;
};

// Anything may stand at a path typed by hand: the file is opened without blocking (a named pipe
// nobody writes to must not hang the host), must be a regular file of at most kMaxBytes, and
// its contents must follow the format above. On refusal *error is one line naming the file and
// what is wrong. `*warning` is set (and the file still read) when other users may read it.
constexpr std::size_t kMaxCredentialsBytes = 4096;
bool ReadCredentialsFile(const std::string& path, Credentials* out, std::string* warning,
                         std::string* error);

// The same rules for the text itself; `path` only names the file in messages.
bool ParseCredentials(const std::string& path, const std::string& text, Credentials* out,
                      std::string* error);

}  // namespace mqtt

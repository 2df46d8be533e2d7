#pragma once

#include <cstddef>
#include <string>

namespace support {

// Files the host reads at start (settings, the site file, the record cache) are typed by hand
// or named on a command line, so anything may stand at such a path: a directory, a named pipe
// nobody writes to, /dev/zero, a multi-gigabyte file. Each is opened without blocking, must be a
// regular file, and is read only up to a limit that fits what it is for; anything else is
// refused with one line that names the file and the reason.

enum class FileRead {
  kOk,       // *content holds the whole file
  kMissing,  // no such file
  kRefused,  // *error says why: not a regular file, too big, unreadable
};

// `what` names the file in messages: "settings", "site file", "credentials file".
// At most `max_bytes` are accepted; a bigger file is refused without reading it all. `mode`,
// when given, gets the file's permission bits.
FileRead ReadRegularFile(const std::string& path, const std::string& what, std::size_t max_bytes,
                         std::string* content, std::string* error, unsigned int* mode = nullptr);

// "a directory", "a named pipe", "a character device", ... for the refusal messages.
std::string KindOfNonRegular(unsigned int st_mode);

// `text` fit for a one-line message or a terminal: control characters (a line break in a key or
// a file name given in a JSON string, a NUL, an escape sequence, the 8-bit controls written in
// UTF-8) written as \n, \r, \t or \xNN; everything else as it is.
std::string Printable(const std::string& text);

}  // namespace support

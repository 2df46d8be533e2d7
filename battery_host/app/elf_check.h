#pragma once

#include <string>

namespace app {

// dlopen() maps a library's segments as its program headers describe them; a file cut short
// (a copy that did not finish, a full disk) is mapped past its end, and the first touch of the
// missing pages kills the process with SIGBUS. So before dlopen the host reads the ELF header
// and the program headers itself and refuses, with one line, a file that is not a whole shared
// object for this machine: not ELF, another class (32/64-bit), byte order or machine, not a
// shared object, or headers or segments that reach past the end of the file.
bool CheckSharedObject(const std::string& path, std::string* error);

}  // namespace app

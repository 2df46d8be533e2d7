// Loads ondrell_20.so into a process that does not carry the host framework. The library takes
// the framework's symbols from the host process and is bound immediately, so dlopen must fail
// here, and the dynamic linker must say that a symbol is undefined.
//
// Exit status 0: dlopen failed as it should. Anything else: the library loaded (it would only
// have crashed at its first framework call) or failed for another reason.

#include <dlfcn.h>

#include <cstdio>
#include <cstring>

int main() {
  void* handle = dlopen(ONDRELL20_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  if (handle != nullptr) {
    std::printf("FAIL: %s loaded without the host framework\n", ONDRELL20_LIBRARY_PATH);
    dlclose(handle);
    return 1;
  }
  const char* error = dlerror();
  std::printf("dlopen error: %s\n", error != nullptr ? error : "(none)");
  if (error == nullptr || std::strstr(error, "undefined symbol") == nullptr) {
    std::printf("FAIL: expected an undefined symbol error\n");
    return 1;
  }
  return 0;
}

#include "battery_host/app/plugin_library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

#include "battery_host/app/elf_check.h"

namespace app {

PluginLibrary::~PluginLibrary() { Unload(); }

bool PluginLibrary::Load(const std::string& path, std::string* error) {
  Unload();
  if (!CheckSharedObject(path, error)) return false;
  // A bare file name would make dlopen search the library path instead of the file meant.
  const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  dlerror();
  handle_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* why = dlerror();
    *error = "cannot load plug-in " + path + ": " + (why ? why : "unknown error");
    return false;
  }
  dlerror();
  void* entry = dlsym(handle_, "get_providers");
  if (entry == nullptr) {
    const char* why = dlerror();
    *error = "plug-in " + path + " has no get_providers: " + (why ? why : "null symbol");
    Unload();
    return false;
  }
  const std::vector<std::shared_ptr<Provider>> providers =
      reinterpret_cast<GetProvidersFn>(entry)();
  for (const auto& p : providers) {
    provider_ = std::dynamic_pointer_cast<XQRSPDeviceProvider>(p);
    if (provider_) break;
  }
  if (!provider_) {
    *error = "plug-in " + path + " offers no serial device provider";
    Unload();
    return false;
  }
  return true;
}

std::unique_ptr<XQRSPDevice> PluginLibrary::CreateDevice() const {
  return std::unique_ptr<XQRSPDevice>(provider_ ? provider_->create() : nullptr);
}

void PluginLibrary::Unload() {
  provider_.reset();
  if (handle_ != nullptr) {
    dlclose(handle_);
    handle_ = nullptr;
  }
}

}  // namespace app

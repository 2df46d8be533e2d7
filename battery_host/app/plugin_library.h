#pragma once

#include <memory>
#include <string>
#include <vector>

#include "plugin/provider.h"

namespace app {

// A device plug-in loaded the way the controller loads it: dlopen with immediate binding (a
// framework symbol the plug-in needs but this process lacks fails here, by name), then its
// factories from get_providers. Everything made from the library must be destroyed before the
// library is unloaded; the destructor unloads it.
class PluginLibrary {
 public:
  PluginLibrary() = default;
  ~PluginLibrary();
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;

  // Loads the library and takes its serial-device provider. On failure returns false with a
  // one-line message (dlerror's text for a library that cannot be loaded).
  bool Load(const std::string& path, std::string* error);

  // A new, unconfigured device, owned by the caller.
  std::unique_ptr<XQRSPDevice> CreateDevice() const;

  // Drops the providers and unloads the library. Devices must be gone by then.
  void Unload();

 private:
  void* handle_ = nullptr;
  std::shared_ptr<XQRSPDeviceProvider> provider_;
};

}  // namespace app

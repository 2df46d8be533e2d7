#pragma once

#include <memory>
#include <vector>

#include "host/api.h"
#include "host/xqr_spdevice.h"

// Device factories as the host receives them. Shared with the host: both sides compile these
// classes, and their default visibility gives them one identity across the boundary, so that the
// host can dynamic_pointer_cast a Provider to XQRSPDeviceProvider.
class XQR_API Provider {
 public:
  virtual ~Provider() = default;
};

class XQR_API XQRSPDeviceProvider : public Provider {
 public:
  ~XQRSPDeviceProvider() override = default;
  // A new, unconfigured device; the caller owns it and destroys it through its virtual
  // destructor.
  virtual XQRSPDevice* create() const = 0;
};

// The plug-in's entry, looked up by the host under this unmangled name.
using GetProvidersFn = std::vector<std::shared_ptr<Provider>> (*)();
extern "C" XQR_API std::vector<std::shared_ptr<Provider>> get_providers();

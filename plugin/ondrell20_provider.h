#pragma once

#include "plugin/provider.h"

// Makes the 20-cell battery string devices.
class Ondrell20Provider : public XQRSPDeviceProvider {
 public:
  ~Ondrell20Provider() override = default;
  XQRSPDevice* create() const override;
};

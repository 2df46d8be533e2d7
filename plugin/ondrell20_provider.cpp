#include "plugin/ondrell20_provider.h"

#include "string_device/ondrell20.h"

XQRSPDevice* Ondrell20Provider::create() const { return new Ondrell20(); }

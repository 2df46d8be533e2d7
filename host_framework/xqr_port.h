#pragma once

#include "host/api.h"

// The host's side of a serial line: where a device's frames go.
class XQR_API XQRPort {
 public:
  virtual ~XQRPort();
  // Writes len bytes; returns the number written or -1.
  virtual int Write(const unsigned char* data, unsigned int len) = 0;
};

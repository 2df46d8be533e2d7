#pragma once

#include "string_device/battery32.h"

// The 20-cell string: the module still sends 32 readings; only the first 20 are cells.
class Ondrell20 : public Battery32 {
 public:
  Ondrell20();
  ~Ondrell20() override;

  int ProcessBatteryVoltage() override;
};

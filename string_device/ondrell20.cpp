#include "string_device/ondrell20.h"

Ondrell20::Ondrell20() {
  device_type_ = "ondrell_20";
  cell_count_ = 20;
  // The labels of the default numbering come with the device; a round builds them again only
  // after settings that renumber the cells.
  PrepareCellLabels();
}

Ondrell20::~Ondrell20() = default;

int Ondrell20::ProcessBatteryVoltage() { return ProcessCellFrame(20, false, false); }

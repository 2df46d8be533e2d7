// A device class below Battery that provides everything a poll round needs except RoundDone,
// and is instantiated. Battery leaves RoundDone abstract, as it does the byte-wise LoadFromCache:
// compiled with FORGETS_ROUND_DONE this must not compile; without it, it must.
#include "battery/battery.h"

namespace {

class CellDevice : public Battery {
 public:
  int ProcessBatteryVoltage() override { return 0; }
  bool LoadFromCache(const unsigned char*, int) override { return false; }
#ifndef FORGETS_ROUND_DONE
  void RoundDone() override {}
#endif
};

}  // namespace

int MakeCellDevice() {
  CellDevice device;
  return device.ProcessBatteryVoltage();
}

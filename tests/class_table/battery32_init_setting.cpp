// Battery32 and Ondrell20 take InitSetting from UniDataDevice and declare none of their own: an
// out-of-line definition of Battery32::InitSetting must not compile (DEFINES_INIT_SETTING). The
// same definition of a member that Battery32 does declare compiles.
#include <json/value.h>

#include "string_device/battery32.h"

#ifdef DEFINES_INIT_SETTING
int Battery32::InitSetting(const Json::Value&) { return 0; }
#else
int Battery32::ProcessBatteryVoltage() { return 0; }
#endif

#pragma once

#include <string>

namespace outputs {

// The text of a single-precision value the device measured or computed: the shortest decimal
// that reads back as the same float, so 13.55f is "13.55" (not "13.5500002") and a program
// parsing it gets the device's float back bit for bit. Every float the host writes for people
// or programs (view, --plain, events, alarms, MQTT) goes through this.
// Not finite: "nan", "inf", "-inf".
std::string FloatText(float value);

}  // namespace outputs

#pragma once

#include <cstddef>
#include <string>

#include <json/value.h>

#include "battery_host/outputs/output.h"

namespace outputs {

// Pieces of the JSON the host writes (events file, published state), so that every number and
// byte string has one exact text form.

// Lowercase hex, two digits per byte: {0xFE, 0x01} -> "fe01".
std::string HexText(const unsigned char* data, std::size_t len);

// A single-precision value as a JSON number, written as its shortest text (FloatText) so that it
// reads back to the same float. JSON has no NaN or infinity: those become null.
Json::Value JsonFloatValue(float value);
std::string JsonFloatText(float value);  // the same as text: "25.3", "null"

// "2026-12-08T14:03:59.123Z": the host's wall clock in UTC, to the millisecond.
std::string JsonTimeText(WallClock::time_point at);

// One JSON object on one line, without spaces, UTF-8 unescaped, floats as above.
std::string JsonLine(const Json::Value& object);

}  // namespace outputs

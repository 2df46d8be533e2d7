#pragma once

#include <string>

// Setting values arrive as JSON and are read through their text form. The controller parses that
// text the way its C library does on the 32-bit target (atoi/atol saturate at the 32-bit range
// there); these helpers give that result on every platform, without undefined behaviour.
namespace settings_parse {

// Longest decimal integer prefix after leading white space, saturated to the int32 range;
// 0 when there is none ("12abc" -> 12, "abc" -> 0).
int ParseInt(const std::string& text);

// Longest floating-point prefix, as atof; 0.0 when there is none.
double ParseDouble(const std::string& text);

// Truncation toward zero, saturated to the int range; NaN gives 0.
int DoubleToInt(double v);

// Rounding to single precision; beyond the float range gives an infinity of the same sign.
float DoubleToFloat(double v);

}  // namespace settings_parse

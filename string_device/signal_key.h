#pragma once

#include <string>

// Finds the leftmost "battery_<digits>_value" in a name (anywhere in it, case-sensitive) and
// converts the digits, leading zeros allowed. Returns false when there is no occurrence or the
// number does not fit in an int. Same answer as searching with the regular expression
// battery_(\d+)_value, without building one per query.
bool FindCellIndex(const std::string& name, int* index);

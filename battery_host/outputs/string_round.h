#pragma once

// One completed round of one battery string, as every output of the host reads it: the values
// exactly as the device stored them, and what they mean. A cell reading outside the device's
// plausibility window is stored as 0.0 (the record keeps that byte for byte); it is not a
// measurement of 0 V but a block that has collapsed or risen out of range, or a reading the
// module garbled. Outputs show it as out of window, never as a number, and leave it out of the
// lowest, highest and spread.

#include <string>
#include <vector>

#include "battery_host/outputs/output.h"
#include "battery_host/outputs/string_record.h"

namespace outputs {

// The window in which the device accepts a cell reading, both bounds included. It follows the
// device's "battery_type": 6 is the 6 V block (4.5 to 7.5 V), anything else the 12 V block.
struct CellWindow {
  float low = 9.0f;
  float high = 15.0f;
  bool Holds(float v) const { return v >= low && v <= high; }
};
CellWindow CellWindowFor(int battery_type);
// "9.0–15.0 V"
std::string WindowText(const CellWindow& window);

// The device's names for a cell: the key counts record positions from 0, the label and every
// number a person reads count from battery_start + 1 ("battery_0_value", "第21节电池").
std::string CellKey(int position);
std::string CellLabel(int number);
// The record position named by a cell key, or -1 for any other key.
int CellPositionOfKey(const std::string& key);

struct RoundCell {
  int position = 0;      // in the record, from 0
  int number = 0;        // as the device labels it: battery_start + position + 1
  float stored = 0.0f;   // as the device stored it
  bool reading = false;  // inside the window; otherwise out of window
};

struct StringRound {
  unsigned int data_id = 0;
  std::string name;  // the site's name for the string
  CellWindow window;
  StringRecord record;           // every field as stored
  std::vector<RoundCell> cells;  // the string's cells (20 or 32), in record order
  int readings = 0;              // cells inside the window
  int out_of_window = 0;
  int lowest = -1;    // index in cells of the lowest reading (the first of equals); -1: none
  int highest = -1;   // the highest reading
  int spread_mv = 0;  // highest minus lowest reading, to the millivolt
  // The group voltage is the cell sum: the device puts the sum of its cells (added in order in
  // single precision) in place of a group voltage below 40 V. The record does not say which it
  // is; a stored group voltage equal to that sum, bit for bit, is taken as the sum.
  bool group_is_cell_sum = false;
  bool group_with_peers = false;  // peers' group voltages are added to the module's own
};

StringRound MakeStringRound(const DeviceInfo& device, const StringRecord& record);

// "第16节电池 (battery_15_value) outside 9.0–15.0 V"
std::string OutOfWindowText(const std::string& label, const std::string& key,
                            const CellWindow& window);

// The one text of an alarm, wherever a person reads it: a cell outside the device's window is
// named as such; any other value with its limit ("温度 (temperature) 41.5 > 40").
std::string AlarmText(const DeviceInfo& device, const std::string& key, const std::string& label,
                      float value, float limit);

}  // namespace outputs

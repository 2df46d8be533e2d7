#pragma once

// Which rounds of a device the history keeps as rows. A controller's flash lasts for years only
// when a quiet float charge costs little: a round is stored when something happened (the first
// round after the start or a gap, a move beyond the deadband since the last stored row, an alarm
// raised or cleared, the string charging or discharging and for a while after, the device's save
// interval passed); every other round is folded into the next stored row, which says how many
// rounds it stands for and keeps their extremes, so that no lowest or highest value is lost.
// Pure logic, no database; times are the host's receive times in ms.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace history {

constexpr int kThinCells = 32;

struct ThinningRules {
  bool every_round = false;              // keep every round (a lab bench)
  double group_deadband_v = 0.01;        // the device's own rule for a change of the group voltage
  double cell_deadband_v = 0.05;         // ... and of a cell
  double current_limit_a = 1.0;          // |current| above it: charging or discharging
  std::int64_t active_hold_ms = 600000;  // rounds kept this long after the current fell back
};

// The values of one round as the history judges them. A cell outside the plausibility window is
// no reading: it neither moves a deadband nor takes part in the lowest or highest cell.
struct RoundValues {
  std::int64_t at_ms = 0;
  float group_voltage = 0.0f;
  float group_current = 0.0f;
  float temperature = 0.0f;
  int cells = 0;                           // cells of the string
  std::array<float, kThinCells> cell{};    // as the device stored them
  std::array<bool, kThinCells> reading{};  // false: outside the window
  std::array<int, kThinCells> number{};    // the cell's number as the device labels it
  bool alarm = false;                      // an alarm was raised or cleared in this round
};

// What a stored row stands for: its own round and the rounds folded into it since the last row.
struct Span {
  std::string reason;         // start, gap, alarm, current, change, interval, every_round, stop
  int rounds = 0;             // rounds the row stands for, its own included
  std::int64_t first_ms = 0;  // receive time of the first of them
  float group_voltage_min = 0.0f, group_voltage_max = 0.0f;
  float group_current_min = 0.0f, group_current_max = 0.0f;
  float temperature_min = 0.0f, temperature_max = 0.0f;
  // Lowest and highest cell reading over the span and the cell's number; none when no cell of
  // the span was a reading.
  std::optional<float> cell_min, cell_max;
  int cell_min_number = 0, cell_max_number = 0;
};

class DeviceThinner {
 public:
  DeviceThinner(const ThinningRules& rules, std::int64_t save_interval_ms)
      : rules_(rules), save_interval_ms_(save_interval_ms) {}

  // Folds the round in; a span when the round is to be stored (with everything folded since the
  // last stored row), none when it waits for the next one.
  std::optional<Span> Take(const RoundValues& round);
  // Rounds were lost or the module went quiet: the next round is stored.
  void MarkGap() { gap_ = true; }
  void SetSaveInterval(std::int64_t ms) { save_interval_ms_ = ms; }
  // The rounds folded since the last stored row, as a span of the last of them (at a stop);
  // none when nothing is folded.
  std::optional<Span> Flush();

 private:
  const char* Reason(const RoundValues& r);
  void Fold(const RoundValues& r);
  Span Close(const char* reason, const RoundValues& r);

  ThinningRules rules_;
  std::int64_t save_interval_ms_;
  bool stored_any_ = false;
  bool gap_ = false;
  std::int64_t active_until_ms_ = 0;
  RoundValues last_stored_{};
  Span span_{};  // rounds folded so far, rounds == 0 when none
};

}  // namespace history

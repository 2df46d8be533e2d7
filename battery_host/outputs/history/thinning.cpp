#include "battery_host/outputs/history/thinning.h"

#include <algorithm>
#include <cmath>

namespace history {

namespace {

// As the device judges a change: the difference in single precision, compared in double.
bool Moved(float a, float b, double band) { return static_cast<double>(std::fabs(a - b)) >= band; }

void Extend(float v, bool first, float* lo, float* hi) {
  if (first || v < *lo) *lo = v;
  if (first || v > *hi) *hi = v;
}

}  // namespace

const char* DeviceThinner::Reason(const RoundValues& r) {
  // Charging or discharging: every round, and for a while after the current fell back.
  if (std::fabs(static_cast<double>(r.group_current)) > rules_.current_limit_a) {
    active_until_ms_ = r.at_ms + rules_.active_hold_ms;
  }
  if (rules_.every_round) return "every_round";
  if (!stored_any_) return "start";
  if (gap_) return "gap";
  if (r.alarm) return "alarm";
  if (r.at_ms <= active_until_ms_ && active_until_ms_ > 0) return "current";
  const RoundValues& last = last_stored_;
  if (Moved(r.group_voltage, last.group_voltage, rules_.group_deadband_v)) return "change";
  const int cells = std::min(r.cells, kThinCells);
  for (int i = 0; i < cells; ++i) {
    if (r.reading[i] != last.reading[i]) return "change";
    if (r.reading[i] && Moved(r.cell[i], last.cell[i], rules_.cell_deadband_v)) return "change";
  }
  if (r.at_ms - last.at_ms >= save_interval_ms_) return "interval";
  return nullptr;
}

void DeviceThinner::Fold(const RoundValues& r) {
  const bool first = span_.rounds == 0;
  if (first) span_.first_ms = r.at_ms;
  ++span_.rounds;
  Extend(r.group_voltage, first, &span_.group_voltage_min, &span_.group_voltage_max);
  Extend(r.group_current, first, &span_.group_current_min, &span_.group_current_max);
  Extend(r.temperature, first, &span_.temperature_min, &span_.temperature_max);
  const int cells = std::min(r.cells, kThinCells);
  for (int i = 0; i < cells; ++i) {
    if (!r.reading[i]) continue;
    if (!span_.cell_min || r.cell[i] < *span_.cell_min) {
      span_.cell_min = r.cell[i];
      span_.cell_min_number = r.number[i];
    }
    if (!span_.cell_max || r.cell[i] > *span_.cell_max) {
      span_.cell_max = r.cell[i];
      span_.cell_max_number = r.number[i];
    }
  }
}

Span DeviceThinner::Close(const char* reason, const RoundValues& r) {
  Span done = span_;
  done.reason = reason;
  span_ = Span{};
  stored_any_ = true;
  gap_ = false;
  last_stored_ = r;
  return done;
}

std::optional<Span> DeviceThinner::Take(const RoundValues& r) {
  const char* reason = Reason(r);
  Fold(r);
  if (reason == nullptr) return std::nullopt;
  return Close(reason, r);
}

std::optional<Span> DeviceThinner::Flush() {
  if (span_.rounds == 0) return std::nullopt;
  Span done = span_;
  done.reason = "stop";
  span_ = Span{};
  return done;
}

}  // namespace history

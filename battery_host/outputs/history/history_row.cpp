#include "battery_host/outputs/history/history_row.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "battery_host/outputs/string_round.h"

namespace history {

RecordValues DecodeRecord(const Record& raw) { return outputs::DecodeStringRecord(raw.data()); }

std::optional<std::string> RecordTimeText(const std::array<std::uint8_t, 7>& s) {
  if (!outputs::StampHasDate(s)) return std::nullopt;
  return outputs::StampText(s);
}

std::int64_t ToMs(outputs::WallClock::time_point at) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
}

std::string UtcText(std::int64_t ms) {
  // Floor division, so that times before 1970 still read right.
  std::int64_t secs = ms / 1000;
  std::int64_t rest = ms % 1000;
  if (rest < 0) {
    rest += 1000;
    --secs;
  }
  const std::time_t t = static_cast<std::time_t>(secs);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(rest));
  return buf;
}

namespace {

// Which cells are readings (the round's window follows the device's settings) and their numbers,
// as every output reads the round.
void MarkReadings(RoundUnit* u, const outputs::DeviceInfo& device) {
  const outputs::StringRound round = outputs::MakeStringRound(device, DecodeRecord(u->raw));
  const int start = device.battery_start;
  for (int i = 0; i < kRecordCells; ++i) {
    u->reading[i] = false;
    u->number[i] = start + i + 1;
  }
  for (const outputs::RoundCell& c : round.cells) {
    if (c.position < 0 || c.position >= kRecordCells) continue;
    u->reading[c.position] = c.reading;
    u->number[c.position] = c.number;
  }
}

}  // namespace

RoundValues ValuesOf(const RoundUnit& u) {
  const RecordValues v = DecodeRecord(u.raw);
  RoundValues r;
  r.at_ms = u.at_ms;
  r.group_voltage = v.group_voltage;
  r.group_current = v.group_current;
  r.temperature = v.temperature;
  r.cells = u.cells;
  for (int i = 0; i < kRecordCells; ++i) r.cell[i] = v.cells[i];
  r.reading = u.reading;
  r.number = u.number;
  r.alarm = !u.alarms.empty();
  return r;
}

RoundAssembler::RoundAssembler(const std::vector<outputs::DeviceInfo>& devices)
    : devices_(devices) {}

outputs::DeviceInfo RoundAssembler::DeviceOf(unsigned int data_id) const {
  for (const auto& d : devices_) {
    if (d.data_id == data_id) return d;
  }
  outputs::DeviceInfo unknown;  // a device the host did not announce: every cell of the record
  unknown.data_id = data_id;
  unknown.cells = kRecordCells;
  return unknown;
}

int RoundAssembler::CellsOf(unsigned int data_id) const {
  for (const auto& d : devices_) {
    if (d.data_id == data_id && d.cells >= 0 && d.cells <= kRecordCells) return d.cells;
  }
  return kRecordCells;  // a device the host did not announce: every cell of the record
}

std::optional<Unit> RoundAssembler::Take(const outputs::HostEvent& e) {
  using outputs::EventKind;
  auto pending = std::find_if(pending_.begin(), pending_.end(),
                              [&](const auto& p) { return p.first == e.data_id; });
  switch (e.kind) {
    case outputs::EventKind::kAlarm: {
      if (pending == pending_.end()) {
        pending_.emplace_back(e.data_id, std::vector<AlarmRow>{});
        pending = pending_.end() - 1;
      }
      pending->second.push_back(AlarmRow{e.data_id, ToMs(e.at), e.raised, e.rule.key, e.rule.label,
                                         e.rule.value, e.rule.limit});
      return std::nullopt;
    }
    case outputs::EventKind::kHistory: {
      if (e.bytes.size() != kRecordSize) {
        ++wrong_size_;
        return std::nullopt;
      }
      RoundUnit u;
      u.data_id = e.data_id;
      u.at_ms = ToMs(e.at);
      u.cells = CellsOf(e.data_id);
      std::copy(e.bytes.begin(), e.bytes.end(), u.raw.begin());
      outputs::DeviceInfo device = DeviceOf(e.data_id);
      device.cells = u.cells;
      MarkReadings(&u, device);
      if (pending != pending_.end()) {
        u.alarms = std::move(pending->second);
        pending_.erase(pending);
      }
      return Unit(std::move(u));
    }
    case outputs::EventKind::kPort:
      return Unit(PortUnit{e.data_id, ToMs(e.at), e.state, e.path, e.detail});
    default:
      return std::nullopt;
  }
}

std::vector<Unit> RoundAssembler::Leftovers() {
  std::vector<Unit> out;
  for (auto& p : pending_) {
    if (p.second.empty()) continue;
    RoundUnit u;
    u.data_id = p.first;
    u.at_ms = p.second.front().at_ms;
    u.has_record = false;
    u.alarms = std::move(p.second);
    out.emplace_back(std::move(u));
  }
  pending_.clear();
  return out;
}

}  // namespace history

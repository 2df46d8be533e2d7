#pragma once

// What the history store keeps of each event, decoded on the worker thread from the bytes the
// host handed over. Pure functions, no database.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "battery_host/outputs/history/thinning.h"
#include "battery_host/outputs/output.h"
#include "battery_host/outputs/string_record.h"

namespace history {

constexpr std::size_t kRecordSize = outputs::StringRecord::kSize;
constexpr int kRecordCells = outputs::StringRecord::kCells;

using Record = outputs::RecordBytes;

// The fields of the record, decoded by the one decoder every output uses.
using RecordValues = outputs::StringRecord;

RecordValues DecodeRecord(const Record& raw);

// "2026-03-02 10:15:07"; none for a stamp whose year is 0 (the host's "no date").
std::optional<std::string> RecordTimeText(const std::array<std::uint8_t, 7>& stamp);

std::int64_t ToMs(outputs::WallClock::time_point at);
// "2026-03-02T09:15:07.250Z" (UTC, milliseconds).
std::string UtcText(std::int64_t ms);

struct AlarmRow {
  unsigned int data_id = 0;
  std::int64_t at_ms = 0;
  bool raised = false;
  std::string key;
  std::string label;
  float value = 0.0f;
  float limit = 0.0f;
};

// One completed round of one device: its record and the alarms its threshold batch raised or
// cleared, stored in one transaction.
struct RoundUnit {
  unsigned int data_id = 0;
  std::int64_t at_ms = 0;
  int cells = kRecordCells;  // cells of the string, for the cell_readings view
  Record raw{};
  std::vector<AlarmRow> alarms;
  bool has_record = true;  // false: alarms whose round never came (the host stopped between)
  std::array<bool, kRecordCells> reading{};  // the cell is a reading (inside the window)
  std::array<int, kRecordCells> number{};    // the cell's number as the device labels it
  Span span;  // the rounds the row stands for (set when the round is stored)
};

// The round's values as the thinning judges them.
RoundValues ValuesOf(const RoundUnit& round);

struct PortUnit {
  unsigned int data_id = 0;
  std::int64_t at_ms = 0;
  std::string state;
  std::string path;
  std::string detail;
};

using Unit = std::variant<RoundUnit, PortUnit>;

// Puts the events of the host into units. The host raises a device's alarms in its round's
// threshold batch and only then saves the round's history, so alarms wait for the next history
// record of the same device; other devices' events may come between.
class RoundAssembler {
 public:
  explicit RoundAssembler(const std::vector<outputs::DeviceInfo>& devices = {});

  // A unit when the event completes one; kHistory of a size other than 152 yields none and
  // counts in wrong_size().
  std::optional<Unit> Take(const outputs::HostEvent& event);
  // Alarms still waiting, as record-less units (at stop).
  std::vector<Unit> Leftovers();
  std::uint64_t wrong_size() const { return wrong_size_; }

 private:
  int CellsOf(unsigned int data_id) const;
  outputs::DeviceInfo DeviceOf(unsigned int data_id) const;

  std::vector<outputs::DeviceInfo> devices_;
  std::vector<std::pair<unsigned int, std::vector<AlarmRow>>> pending_;
  std::uint64_t wrong_size_ = 0;
};

}  // namespace history

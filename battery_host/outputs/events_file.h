#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <json/value.h>

#include "battery_host/outputs/output.h"
#include "battery_host/support/said_once.h"

namespace outputs {

// The events file: JSON Lines, one object per event, in the order the events happened. Every
// object carries "event", "data_id" and "time" (UTC, ms), then:
//   tx / rx      "bytes": the frame written, the chunk read (lowercase hex); rx read while no
//                device had its turn: "outside_turn": true (given to no device); bytes the
//                line threw away so that a request is answered only by what follows it:
//                also "discarded": "stale" (waiting in the port before the request) or
//                "guard" (heard while the request waited for the line to go quiet)
//   send         "code", "record": the 152-byte record handed to SendSP (304 hex digits)
//   history      "record": the record saved as history
//   restore      "record": the record restored from the cache
//   threshold    "key", "label", "value", "index": one threshold request
//   alarm        "state" ("raised"/"cleared"), "key", "label", "value", "limit", "text" (the
//                alarm as people read it: "第16节电池 (battery_15_value) outside 9.0–15.0 V")
// A cell value outside the device's window (stored as 0.0: no reading) is "value": null with
// "window": "9.0–15.0 V" in threshold and alarm events; the record keeps its bytes.
//   port         "state" ("open"/"lost"/"reopened"), "path", "detail"
//   turn         "rounds_started", "rounds_completed", "rounds_abandoned", "stalled"
// Floats are their shortest text that reads back to the same single-precision value ("13.55");
// NaN and infinity are null.
//
// A line is written whole or not at all: a write the disk cuts short (full, quota) is taken back
// by truncating the file to where the line began, so a reader never meets a torn line. The first
// failure is told at once with its reason, and again when writing works again.
class EventsFile : public Output {
 public:
  // Appends to the file (creating it), or starts it anew with `fresh`. The path must be a
  // regular file or not exist yet; on failure one line naming the file.
  static std::unique_ptr<EventsFile> Open(const std::string& path, bool fresh, std::string* error);
  ~EventsFile() override;

  void Start(const std::vector<DeviceInfo>& devices, const NoticeFn& notice) override;
  void Take(const HostEvent& event) override;

  // The object written for an event of `device` (null: a device the host did not announce).
  static Json::Value EventJson(const HostEvent& event, const DeviceInfo* device = nullptr);

  std::uint64_t dropped() const { return dropped_; }

 private:
  EventsFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
  bool WriteWhole(const std::string& line, std::string* why);

  std::string path_;
  int fd_ = -1;
  NoticeFn notice_;
  std::vector<DeviceInfo> devices_;
  support::SaidOnce cannot_write_;
  std::size_t refused_size_ = 0;  // the shortest line refused while it cannot write
  std::uint64_t dropped_ = 0;
};

}  // namespace outputs

#pragma once

// Reading a site's events file back: per device its events, its history records, and the reply
// bytes of each completed round, checked here again (start byte, address, checksum), so that
// the expected values are worked out from what went over the line.

#include <set>
#include <string>
#include <vector>

#include <json/value.h>

#include "tests/battery_host/host_run_support.h"

namespace site_events {

using host_run::Bytes;

void WriteText(const std::string& path, const std::string& text);

// The events of one device and one kind, in order.
std::vector<Json::Value> Of(const std::vector<Json::Value>& events, unsigned int data_id,
                            const std::string& kind);
std::vector<Bytes> History(const std::vector<Json::Value>& events, unsigned int data_id);

// The replies one device took in each of its completed rounds (one per "send").
struct RoundReplies {
  Bytes cells;                                           // the 67-byte frame
  unsigned int group = 0, current = 0, temperature = 0;  // raw values of the short replies
};
// Adds a test failure for a reply that is not a valid frame from `address`, and, unless
// `late_replies_allowed`, for bytes that arrived after the device's turn.
std::vector<RoundReplies> RepliesOf(const std::vector<Json::Value>& events, unsigned int data_id,
                                    unsigned char address, bool late_replies_allowed = false);

// 12 V blocks: reading / 100, 0.0 outside 9..15 V.
float Cell(const RoundReplies& r, int i);
// Version 1 with the default scale: raw / 10.
float GroupVoltage(const RoundReplies& r);
// The hall sensor formula: ((raw / 10) / 125 - 2) x 50.
float SensorCurrent(const RoundReplies& r);
// raw / 100 when within (0, 100], else the previous value.
float Temperature(const RoundReplies& r, float previous);

// No device of `line` sends while another device of it has its turn: between a device's request
// and the end of its turn, no other device of the line writes.
void ExpectTurnsNeverOverlap(const std::vector<Json::Value>& events,
                             const std::set<unsigned int>& line);

}  // namespace site_events

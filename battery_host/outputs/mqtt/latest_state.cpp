#include "battery_host/outputs/mqtt/latest_state.h"

#include <algorithm>
#include <cstring>

#include "battery_host/config/signal_names.h"

namespace mqtt {

LatestState::LatestState(const std::vector<outputs::DeviceInfo>& devices) {
  for (const outputs::DeviceInfo& info : devices) {
    if (index_.count(info.data_id)) continue;  // one slot per data id
    Device d;
    d.data_id = info.data_id;
    d.cells = std::clamp(info.cells, 0, 32);
    const std::vector<std::string> keys = config::SignalNames(d.cells);
    for (std::size_t i = 0; i < keys.size(); ++i) d.key_index[keys[i]] = i;
    d.raised.assign(keys.size(), false);
    d.alarm_changed.assign(keys.size(), false);
    index_[info.data_id] = devices_.size();
    devices_.push_back(std::move(d));
    keys_.push_back(keys);
  }
  events_.reserve(kMaxEvents);
}

bool LatestState::Take(const outputs::HostEvent& event) {
  using outputs::EventKind;
  if (event.kind != outputs::EventKind::kHistory && event.kind != outputs::EventKind::kAlarm &&
      event.kind != outputs::EventKind::kTurnEnd) {
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = index_.find(event.data_id);
  if (found == index_.end()) return false;
  Device& d = devices_[found->second];
  switch (event.kind) {
    case outputs::EventKind::kHistory: {
      if (event.bytes.size() != kRecordSize) return false;
      std::memcpy(d.record.data(), event.bytes.data(), kRecordSize);
      d.has_record = true;
      d.record_changed = true;
      // A completed round means the module answered.
      d.answered = true;
      if (!d.available) {
        d.available = true;
        d.availability_changed = true;
      }
      return true;
    }
    case outputs::EventKind::kTurnEnd: {
      // A module that has not answered yet is not there, however few turns it has missed.
      d.answered = d.answered || event.status.rounds_completed > 0;
      const bool available = d.answered && !event.status.stalled && event.status.port_up;
      if (available == d.available) return false;
      d.available = available;
      d.availability_changed = true;
      return true;
    }
    case outputs::EventKind::kAlarm: {
      const auto key = d.key_index.find(event.rule.key);
      if (key != d.key_index.end()) {
        d.raised[key->second] = event.raised;
        d.alarm_changed[key->second] = true;
      }
      if (online_) {
        if (events_.size() < kMaxEvents) {
          events_.push_back({event.data_id, event.rule, event.raised});
        } else {
          ++events_dropped_;
        }
      }
      return true;
    }
    default:
      return false;
  }
}

void LatestState::set_online(bool online) {
  std::lock_guard<std::mutex> lock(mutex_);
  online_ = online;
  if (!online) events_.clear();
}

LatestState::Changes LatestState::TakeChanges() { return Collect(false); }

LatestState::Changes LatestState::TakeAll() { return Collect(true); }

std::vector<unsigned> LatestState::Untaken() {
  std::vector<unsigned> ids;
  ids.reserve(devices_.size());
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Device& d : devices_) {
    if (d.record_changed) ids.push_back(d.data_id);
  }
  return ids;
}

// The poll thread may be waiting for the lock: everything that allocates is done before it is
// taken or after it is released, and under it only flags and 152-byte records are copied.
LatestState::Changes LatestState::Collect(bool all) {
  Changes out;
  out.devices.resize(devices_.size());
  for (std::size_t n = 0; n < devices_.size(); ++n) {
    out.devices[n].keys = &keys_[n];
    out.devices[n].alarms.reserve(keys_[n].size());
  }
  std::vector<AlarmEvent> fresh;
  fresh.reserve(kMaxEvents);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t n = 0; n < devices_.size(); ++n) {
      Device& d = devices_[n];
      DeviceChanges& c = out.devices[n];
      c.data_id = d.data_id;
      c.cells = d.cells;
      if (d.has_record && (all || d.record_changed)) {
        c.record_changed = true;
        c.record = d.record;
      }
      if (all || d.availability_changed) {
        c.availability_changed = true;
        c.available = d.available;
      }
      for (std::size_t i = 0; i < d.raised.size(); ++i) {
        if (all || d.alarm_changed[i]) c.alarms.emplace_back(i, d.raised[i]);
        d.alarm_changed[i] = false;
      }
      d.record_changed = false;
      d.availability_changed = false;
    }
    out.events.swap(events_);
    events_.swap(fresh);
    out.events_dropped = events_dropped_;
    events_dropped_ = 0;
  }
  out.devices.erase(std::remove_if(out.devices.begin(), out.devices.end(),
                                   [](const DeviceChanges& c) {
                                     return !c.record_changed && !c.availability_changed &&
                                            c.alarms.empty();
                                   }),
                    out.devices.end());
  return out;
}

}  // namespace mqtt

#pragma once

#include <array>
#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "battery_host/outputs/output.h"
#include "battery_host/outputs/string_record.h"

namespace mqtt {

// What is still to be published, per device: only the latest of everything. The poll thread
// puts events in (Take, a copy and a few flags under a lock that the publishing thread holds for
// no longer than a copy), the publishing thread takes out what changed. While the broker is
// away nothing piles up: a new round replaces the last unpublished one.
class LatestState {
 public:
  static constexpr std::size_t kRecordSize = outputs::StringRecord::kSize;
  static constexpr std::size_t kMaxEvents = 256;

  struct AlarmEvent {
    unsigned data_id = 0;
    rule_value rule;
    bool raised = false;
  };

  struct DeviceChanges {
    unsigned data_id = 0;
    int cells = 0;
    bool record_changed = false;
    std::array<unsigned char, kRecordSize> record{};
    bool availability_changed = false;
    bool available = false;
    const std::vector<std::string>* keys = nullptr;    // the device's signal keys
    std::vector<std::pair<std::size_t, bool>> alarms;  // index into *keys, raised
  };

  struct Changes {
    std::vector<DeviceChanges> devices;  // only devices with something changed
    std::vector<AlarmEvent> events;      // alarm messages, in order
    std::size_t events_dropped = 0;      // since the last Changes
  };

  explicit LatestState(const std::vector<outputs::DeviceInfo>& devices);

  // Poll thread. Returns true when the event changed something to publish. Events of data ids
  // not among the devices are ignored.
  bool Take(const outputs::HostEvent& event);

  // Alarm messages are kept only while they can be sent; a raised alarm's retained state is
  // kept either way.
  void set_online(bool online);

  // Publishing thread: what changed since the last call, marks cleared.
  Changes TakeChanges();
  // Everything there is (after a (re)connect: the broker may have lost what it held), marks
  // cleared. Alarm messages are only those taken since set_online(true): none from before the
  // connection is replayed.
  Changes TakeAll();

  // Data ids whose latest round has not been taken out yet.
  std::vector<unsigned> Untaken();

 private:
  struct Device {
    unsigned data_id = 0;
    int cells = 0;
    bool has_record = false;
    bool record_changed = false;
    std::array<unsigned char, kRecordSize> record{};
    bool answered = false;  // a round of this run completed
    bool available = false;
    bool availability_changed = false;
    std::unordered_map<std::string, std::size_t> key_index;
    std::vector<bool> raised;
    std::vector<bool> alarm_changed;
  };

  Changes Collect(bool all);

  // Fixed after construction, read without the lock.
  std::vector<std::vector<std::string>> keys_;

  std::mutex mutex_;
  std::vector<Device> devices_;
  std::unordered_map<unsigned, std::size_t> index_;
  bool online_ = false;
  std::vector<AlarmEvent> events_;
  std::size_t events_dropped_ = 0;
};

}  // namespace mqtt

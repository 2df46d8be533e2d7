#pragma once

// What battery-host does with what its devices and lines produce. Every output (events file,
// record cache, live view, history database, MQTT) is one Output: the host hands it each event
// as it happens, on the poll thread, and goes on with the poll round at once.
//
// The poll round is the one thing that must never wait. Take() is called from inside the
// device's process() and RefreshStatus() (through the framework's listener), so it must return
// within microseconds: copy what is needed and return. An output whose work can block (a disk
// that syncs slowly, a database that is locked, a broker that does not answer, a terminal that
// is paused) does that work on a thread of its own: wrap it in AsyncOutput, or run its own.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>
#include <utility>

#include "host/rule_value.h"

namespace outputs {

using WallClock = std::chrono::system_clock;

// One battery string of the site, as the outputs describe it.
struct DeviceInfo {
  unsigned int data_id = 0;
  std::string name;              // how people know the string: the site's name, "string 1"
  std::string type;              // the plug-in's device type key, e.g. "ondrell_20"
  int cells = 20;                // cells of the string
  int line = 0;                  // index of its serial line in the site, from 0
  std::string port;              // that line's port path, or "sim" for the simulator
  std::uint8_t bus_address = 0;  // the module's address on the bus (0x01 for host form 0x81)
  // Values that come from other devices (data ids), read through the controller:
  std::vector<unsigned int> group_voltage_peers;  // group voltages added to this one
  unsigned int current_peer = 0;                  // supplies the current (0: the module's own)
  std::string current_field;                      // that peer's value name
  int battery_start = 0;                          // offset of the cell numbers in the alarm labels
  int save_interval_s = 28800;  // how often the device wants history kept ("save_interval")
  int battery_type = 0;         // the device's cell class: 6 is the 6 V block (its window)
};

// Per-device counters at the end of each turn of the device on its line.
struct DeviceStatus {
  std::uint64_t rounds_started = 0;    // rounds the device began (a new cell-voltage request)
  std::uint64_t rounds_completed = 0;  // history records saved
  std::uint64_t rounds_abandoned = 0;  // begun, not completed, and replaced by a new round
  bool stalled = false;                // the module has not answered for several turns
  bool silent = false;                 // this turn ended without a reply from the module
  bool port_up = true;                 // the device's line is open
};

enum class EventKind {
  kTx,         // bytes: a request frame written to the line
  kRx,         // bytes: a chunk read from the line (outside_turn: given to no device)
  kSend,       // bytes: the 152-byte record handed to SendSP, code: record code
  kHistory,    // bytes: the record saved as history (SaveDeviceHistory)
  kRestore,    // bytes: the record restored from the cache at start
  kThreshold,  // rule: one threshold request (CheckThreshold)
  kAlarm,      // rule, raised: an alarm raised or cleared by the host's evaluation
  kPort,       // state "open" / "lost" / "reopened", path, detail
  kTurnEnd,    // status: the device's turn on its line is over
};

struct HostEvent {
  EventKind kind = EventKind::kTx;
  unsigned int data_id = 0;          // the device it concerns
  WallClock::time_point at;          // when the host saw it
  std::vector<unsigned char> bytes;  // kTx, kRx, kSend, kHistory, kRestore
  int code = 0;                      // kSend
  rule_value rule;                   // kThreshold, kAlarm
  bool raised = false;               // kAlarm
  std::string state;                 // kPort
  std::string path;                  // kPort
  std::string detail;                // kPort; kRx: why it was discarded ("stale", "guard")
  bool outside_turn = false;         // kRx
  DeviceStatus status;               // kTurnEnd
};

// What a line for the person running the host says, which sets how much it matters where lines
// are sorted by priority (under systemd the journal: "journalctl -p warning" lists the
// troubles and what stopped the host).
enum class NoticeKind {
  kFailure,    // the host, or one of its outputs, stops: a person must act
  kTrouble,    // ridden through: a module not answering, a line chattering, a file that cannot
               // be written for now, a broker down
  kOver,       // a trouble is over: works again, is back, caught up
  kStartStop,  // the host or an output started or stopped as asked
  kRound,      // a round's values
};

// A line for the person: its text and its kind. A text alone is a trouble, which is what an
// output mostly has to say.
struct Notice {
  Notice(std::string t, NoticeKind k = NoticeKind::kTrouble) : text(std::move(t)), kind(k) {}
  Notice(const char* t, NoticeKind k = NoticeKind::kTrouble) : text(t), kind(k) {}
  // For a receiver that wants the text only.
  operator const std::string&() const { return text; }

  std::string text;
  NoticeKind kind;
};

// What an output may tell the person running the host ("history: database is locked").
// Thread-safe: may be called from an output's own thread. The host shows it on standard error
// and in the view.
using NoticeFn = std::function<void(const Notice& notice)>;

// What goes before a line of a kind where it is written: its priority for the journal, or
// nothing.
using LinePrefixFn = std::function<std::string(NoticeKind kind)>;

class Output {
 public:
  virtual ~Output() = default;

  // Once, before the first event: the devices of the site, in site order.
  virtual void Start(const std::vector<DeviceInfo>& devices, const NoticeFn& notice) {
    (void)devices;
    (void)notice;
  }

  // Every event, in the order they happened, on the poll thread. Must not block.
  virtual void Take(const HostEvent& event) = 0;

  // The host is stopping: finish what is pending (bounded: a broker or disk that does not
  // answer may not hold the host for more than a few seconds). No Take() follows.
  virtual void Stop() {}
};

}  // namespace outputs

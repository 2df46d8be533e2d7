#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "battery_host/bus/serial_port.h"
#include "battery_host/outputs/output.h"
#include "battery_host/support/said_once.h"
#include "host/xqr_spdevice.h"

namespace bus {

// One serial line of the controller and the devices that answer on it, each at its own bus
// address. The line is half-duplex RS-485 with the host as the only master, so at most one
// device may have a request on the wire at any time. Every poll period the line gives each
// device a turn, in site order:
//   - one poll tick (RefreshStatus): the device sends a request, re-sends one, or starts a round;
//   - every chunk read from the line goes to that device's process() until the device has no
//     request outstanding any more (round done or abandoned, IsProcessing() false) or the line
//     stays silent for the reply timeout;
//   - then the next device.
// The devices' own re-send and restart rules are untouched: a device whose module did not
// answer in its turn finds its request still outstanding on its next tick, exactly as with a
// line of its own. When the turns of a period take longer than the period, the next period
// starts when the last turn ends (the period is stretched, said once), never overlapping turns.
//
// Bytes that arrive while no device has its turn (a reply later than the timeout) are given to
// no device: handing them to the device whose turn ended could make it send its next request
// while another device talks. They are logged as received outside a turn.
//
// A device only ever sees bytes that came after its own request went on the wire. Replies carry
// no command code, so a device cannot tell a late or repeated reply from the answer it waits for;
// the line can:
//   - stale bytes: whatever waits in the port when a request is to be written (a host that was
//     late to read, a piece of a reply the device gave up on) is read and discarded first;
//   - turnaround guard, as RS-485 masters keep it: a request goes on the wire only once the line
//     has been quiet for the guard time, so that a reply heard twice (a module or an echoing
//     converter repeating itself) is not taken for the answer to the next request. Bytes that
//     arrive while a request waits for the quiet are discarded too.
// Both are logged as received outside a turn, with why they were discarded. A line that does not
// go quiet within the reply timeout ends the turn with the request unsent, as if unanswered.
class Line {
 public:
  using Clock = std::chrono::steady_clock;

  struct Settings {
    int index = 0;           // position in the site, for messages
    std::string port_path;   // what is opened and reopened
    std::string port_label;  // how people know the line: the path, or "simulator on /dev/pts/3"
    unsigned int interval_ms = 1000;
    unsigned int reply_timeout_ms = 100;
    unsigned int guard_ms = 20;  // quiet needed before a request (0: none)
    int baud_rate = 19200;       // the devices' speed (SettleSpeed)
  };

  // Events go to `out`; messages for the person to `notice`.
  Line(Settings settings, outputs::Output& out, outputs::NoticeFn notice);
  ~Line();
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;

  // Devices take their turns in the order they are added; they must outlive the line.
  void AddDevice(XQRSPDevice* device);
  // The port is known only once the simulator of the line has its pseudo-terminal.
  void SetPort(const std::string& path, const std::string& label);

  // The speed the line's devices ask for: each sets baud_rate_ when it is made, and the port
  // runs at one speed, so they must agree. On disagreement, or a speed no serial port has, one
  // line naming the line and the devices. Before OpenPort.
  bool SettleSpeed(std::string* error);
  // Opens the port (exclusively) at that speed; on failure one line naming the port and the cause.
  bool OpenPort(std::string* error);
  // Starts the period timer: the first period begins one period from now.
  bool StartTimer(std::string* error);

  // Descriptors the loop waits on: the period timer, and the port while it is open (-1 else).
  int timer_fd() const { return timer_fd_; }
  int port_fd() const { return port_.fd(); }
  // When the line next has something to do on its own: the current turn ends if the line stays
  // silent, a request waiting for the guard may go out, a lost port is tried again.
  std::optional<Clock::time_point> deadline() const;

  void OnTimer();  // the timer fd is readable: Tick(), or note the period as pending
  void Tick();     // a new period begins (or waits for the running one to end)
  bool busy() const { return in_period_; }  // turns of a period are running
  void OnReadable();
  void OnDeadline(Clock::time_point now);

  // The frame a device of this line sends (through its DevicePort).
  int Write(unsigned int data_id, const unsigned char* data, unsigned int len);

  // Emits the "open" port event of every device (after the outputs have started).
  void AnnounceOpen();

  std::uint64_t periods() const { return periods_; }
  const Settings& settings() const { return settings_; }
  const std::vector<XQRSPDevice*>& devices() const { return devices_; }
  outputs::DeviceStatus Status(const XQRSPDevice& device) const;

 private:
  void BeginPeriod();
  void RunTurns();
  void CloseTurn(bool silent);
  void FinishPeriod();
  void Deliver(const unsigned char* data, std::size_t len);
  bool CallDevice(XQRSPDevice& device, const char* what, const std::function<void()>& call);
  bool Discard(const char* why);
  int WriteNow(unsigned int data_id, const unsigned char* data, std::size_t len);
  bool Quiet(Clock::time_point now) const;
  void GuardOver(Clock::time_point now);
  void PortLost(const std::string& why);
  void TryReopen(Clock::time_point now);
  void Emit(outputs::HostEvent event);
  void PortEvent(const std::string& state, const std::string& detail);
  unsigned int TurnDataId() const;

  Settings settings_;
  std::vector<XQRSPDevice*> devices_;
  outputs::Output& out_;
  outputs::NoticeFn notice_;
  SerialPort port_;
  int timer_fd_ = -1;

  bool in_period_ = false;       // some device's turn is running or due in this period
  std::size_t turn_ = 0;         // whose turn, while in_period_
  bool pending_period_ = false;  // a period started while the previous one was still running
  support::SaidOnce stretched_;
  Clock::time_point period_start_{};
  std::optional<Clock::time_point> deadline_;
  std::uint64_t periods_ = 0;
  unsigned int last_turn_id_ = 0;

  // The last byte heard; the line is quiet once the guard time has passed since.
  Clock::time_point heard_at_{};
  // A request written by the device of the turn, held until the line is quiet.
  struct Held {
    unsigned int data_id = 0;
    std::vector<unsigned char> frame;
    Clock::time_point since;
  };
  std::optional<Held> held_;
  support::SaidOnce never_quiet_;

  std::string loss_;  // why a write found the line gone, handled after the device call
  std::optional<Clock::time_point> reopen_at_;  // while the port is lost: the next try
  support::SaidOnce outside_turn_write_;        // said once for the run
};

}  // namespace bus

#include "battery_host/bus/line.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

#include "host_framework/device_book.h"

namespace bus {

namespace {

// A lost port is tried again once a second, whatever the poll period.
constexpr std::chrono::milliseconds kReopenEvery{1000};
// What one look at the port takes before a request: a line at 19200 baud brings about 2 kB a
// second, so this is never reached unless something floods the port.
constexpr std::size_t kMostDiscarded = 64 * 1024;

std::string Plural(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

Line::Line(Settings settings, outputs::Output& out, outputs::NoticeFn notice)
    : settings_(std::move(settings)), out_(out), notice_(std::move(notice)) {}

void Line::AddDevice(XQRSPDevice* device) {
  if (devices_.empty()) last_turn_id_ = device->DataId();
  devices_.push_back(device);
}

void Line::SetPort(const std::string& path, const std::string& label) {
  settings_.port_path = path;
  settings_.port_label = label;
}

Line::~Line() {
  if (timer_fd_ >= 0) close(timer_fd_);
}

bool Line::SettleSpeed(std::string* error) {
  if (devices_.empty()) return true;
  const XQRSPDevice& first = *devices_.front();
  for (const XQRSPDevice* d : devices_) {
    if (d->baud_rate_ == first.baud_rate_) continue;
    *error = "line " + settings_.port_label +
             ": its devices ask for different serial speeds (device " +
             std::to_string(first.DataId()) + " " + std::to_string(first.baud_rate_) +
             " baud, device " + std::to_string(d->DataId()) + " " + std::to_string(d->baud_rate_) +
             " baud); put them on lines of their own";
    return false;
  }
  if (!IsSerialSpeed(first.baud_rate_)) {
    *error = "line " + settings_.port_label + ": device " + std::to_string(first.DataId()) +
             " asks for " + std::to_string(first.baud_rate_) +
             " baud, which is not a serial port speed";
    return false;
  }
  settings_.baud_rate = first.baud_rate_;
  return true;
}

bool Line::OpenPort(std::string* error) {
  return port_.Open(settings_.port_path, settings_.baud_rate, error);
}

bool Line::StartTimer(std::string* error) {
  timer_fd_ = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (timer_fd_ < 0) {
    *error = std::string("cannot create a poll timer: ") + std::strerror(errno);
    return false;
  }
  itimerspec period{};
  period.it_interval.tv_sec = settings_.interval_ms / 1000;
  period.it_interval.tv_nsec = static_cast<long>(settings_.interval_ms % 1000) * 1000000L;
  period.it_value = period.it_interval;
  if (timerfd_settime(timer_fd_, 0, &period, nullptr) != 0) {
    *error = std::string("cannot start the poll timer: ") + std::strerror(errno);
    return false;
  }
  return true;
}

std::optional<Line::Clock::time_point> Line::deadline() const {
  if (!reopen_at_) return deadline_;
  if (!deadline_) return reopen_at_;
  return std::min(*deadline_, *reopen_at_);
}

unsigned int Line::TurnDataId() const {
  return in_period_ && turn_ < devices_.size() ? devices_[turn_]->DataId() : last_turn_id_;
}

void Line::Emit(outputs::HostEvent event) {
  event.at = outputs::WallClock::now();
  out_.Take(event);
}

void Line::PortEvent(const std::string& state, const std::string& detail) {
  for (XQRSPDevice* d : devices_) {
    outputs::HostEvent e;
    e.kind = outputs::EventKind::kPort;
    e.data_id = d->DataId();
    e.state = state;
    e.path = settings_.port_path;
    e.detail = detail;
    Emit(std::move(e));
  }
}

void Line::AnnounceOpen() { PortEvent("open", settings_.port_label); }

outputs::DeviceStatus Line::Status(const XQRSPDevice& d) const {
  outputs::DeviceStatus s;
  s.rounds_started = host_framework::RoundsStarted(d);
  s.rounds_completed = host_framework::HistorySaves(d);
  // Only the latest round can still be open; every earlier one that did not complete was
  // abandoned when the device started the next.
  const std::uint64_t open = s.rounds_completed < s.rounds_started ? 1 : 0;
  s.rounds_abandoned = s.rounds_started > s.rounds_completed + open
                           ? s.rounds_started - s.rounds_completed - open
                           : 0;
  s.stalled = d.IsStalled();
  s.port_up = port_.IsOpen();
  return s;
}

void Line::OnTimer() {
  std::uint64_t expirations = 0;
  if (read(timer_fd_, &expirations, sizeof expirations) != sizeof expirations) return;
  Tick();
}

void Line::Tick() {
  if (in_period_) {
    // The turns of the last period are not over yet: the next period waits for them.
    pending_period_ = true;
    return;
  }
  BeginPeriod();
  RunTurns();
}

void Line::BeginPeriod() {
  ++periods_;
  in_period_ = true;
  pending_period_ = false;
  period_start_ = Clock::now();
  turn_ = 0;
}

// Gives turns in order until one device waits for its reply or the period is over. Turns that
// end at once (nothing sent: the port is down) lead straight to the next device.
void Line::RunTurns() {
  for (;;) {
    if (turn_ >= devices_.size()) {
      FinishPeriod();
      if (!pending_period_) return;
      BeginPeriod();  // a stretched period: the next one starts as this one ends
      continue;
    }
    XQRSPDevice& d = *devices_[turn_];
    last_turn_id_ = d.DataId();
    if (CallDevice(d, "its poll tick", [&d] { host_framework::PollTick(d); })) return;
    CloseTurn(false);
  }
}

void Line::CloseTurn(bool silent) {
  deadline_.reset();
  held_.reset();
  XQRSPDevice& d = *devices_[turn_];
  if (d.IsProcessing()) host_framework::TurnOver(d, silent);
  outputs::HostEvent e;
  e.kind = outputs::EventKind::kTurnEnd;
  e.data_id = d.DataId();
  e.status = Status(d);
  e.status.silent = silent;
  Emit(std::move(e));
  ++turn_;
}

void Line::FinishPeriod() {
  in_period_ = false;
  const auto took =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - period_start_);
  // Said once for the run: a period that is too short for its turns stays so.
  if (pending_period_ && took.count() > static_cast<long long>(settings_.interval_ms) &&
      stretched_.Begin()) {
    notice_("line " + settings_.port_label + ": the turns of its " +
            Plural(devices_.size(), "device", "devices") + " took " + std::to_string(took.count()) +
            " ms, longer than the period of " + std::to_string(settings_.interval_ms) +
            " ms; the period is stretched so that turns never overlap");
  }
}

void Line::OnDeadline(Clock::time_point now) {
  if (reopen_at_ && now >= *reopen_at_) TryReopen(now);
  if (!deadline_ || now < *deadline_ || !in_period_) return;
  if (held_) {
    GuardOver(now);
    return;
  }
  CloseTurn(true);
  RunTurns();
}

bool Line::Quiet(Clock::time_point now) const {
  return now - heard_at_ >= std::chrono::milliseconds(settings_.guard_ms);
}

// The guard time of a held request has passed: it goes out if nothing was heard meanwhile;
// else the line gets until the reply timeout to go quiet.
void Line::GuardOver(Clock::time_point now) {
  if (Discard("guard")) now = Clock::now();
  if (!loss_.empty()) {
    PortLost(loss_);
    CloseTurn(false);
    RunTurns();
    return;
  }
  if (!Quiet(now)) {
    if (now - held_->since < std::chrono::milliseconds(settings_.reply_timeout_ms)) {
      deadline_ = std::min(heard_at_ + std::chrono::milliseconds(settings_.guard_ms),
                           held_->since + std::chrono::milliseconds(settings_.reply_timeout_ms));
      return;
    }
    if (never_quiet_.Begin()) {
      notice_("line " + settings_.port_label + " was not quiet for " +
              std::to_string(settings_.guard_ms) + " ms within the reply timeout of " +
              std::to_string(settings_.reply_timeout_ms) + " ms; device " +
              std::to_string(held_->data_id) + "'s request was not sent");
    }
    CloseTurn(true);
    RunTurns();
    return;
  }
  const Held held = std::move(*held_);
  held_.reset();
  if (WriteNow(held.data_id, held.frame.data(), held.frame.size()) > 0) {
    deadline_ = Clock::now() + std::chrono::milliseconds(settings_.reply_timeout_ms);
    if (never_quiet_.Over()) {
      notice_({"line " + settings_.port_label + " is quiet again; its requests go out",
               outputs::NoticeKind::kOver});
    }
    return;
  }
  // Not written: unanswerable, as a frame the port did not take at once.
  if (!loss_.empty()) PortLost(loss_);
  CloseTurn(false);
  RunTurns();
}

// Reads and drops everything waiting in the port, logged as discarded (`why`). True when there
// was something.
bool Line::Discard(const char* why) {
  std::vector<unsigned char> dropped;
  unsigned char buf[4096];
  while (port_.IsOpen() && dropped.size() < kMostDiscarded) {
    const ssize_t n = read(port_.fd(), buf, sizeof buf);
    if (n > 0) {
      dropped.insert(dropped.end(), buf, buf + n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) loss_ = "the line hung up";
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      loss_ = std::string("read: ") + std::strerror(errno);
    }
    break;
  }
  if (dropped.empty()) return false;
  heard_at_ = Clock::now();
  outputs::HostEvent rx;
  rx.kind = outputs::EventKind::kRx;
  rx.data_id = TurnDataId();
  rx.bytes = std::move(dropped);
  rx.outside_turn = true;
  rx.detail = why;
  Emit(std::move(rx));
  return true;
}

void Line::OnReadable() {
  unsigned char buf[256];
  const ssize_t n = read(port_.fd(), buf, sizeof buf);
  if (n > 0) {
    heard_at_ = Clock::now();
    if (held_) {
      // A request waits for the line to go quiet: whatever comes now answers no one.
      outputs::HostEvent rx;
      rx.kind = outputs::EventKind::kRx;
      rx.data_id = TurnDataId();
      rx.bytes.assign(buf, buf + n);
      rx.outside_turn = true;
      rx.detail = "guard";
      Emit(std::move(rx));
      // Quiet from now on, or the reply timeout: whichever comes first ends the wait.
      deadline_ = std::min(heard_at_ + std::chrono::milliseconds(settings_.guard_ms),
                           held_->since + std::chrono::milliseconds(settings_.reply_timeout_ms));
      return;
    }
    Deliver(buf, static_cast<std::size_t>(n));
  } else if (n == 0) {
    PortLost("the line hung up");
  } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    PortLost(std::string("read: ") + std::strerror(errno));
  }
}

void Line::Deliver(const unsigned char* data, std::size_t len) {
  outputs::HostEvent rx;
  rx.kind = outputs::EventKind::kRx;
  rx.data_id = TurnDataId();
  rx.bytes.assign(data, data + len);
  const bool taken = in_period_ && deadline_.has_value();
  rx.outside_turn = !taken;
  Emit(std::move(rx));
  if (!taken) return;

  XQRSPDevice& d = *devices_[turn_];
  unsigned char chunk[256];
  std::memcpy(chunk, data, len);
  if (CallDevice(d, "received bytes",
                 [&] { host_framework::ReceiveBytes(d, chunk, static_cast<unsigned int>(len)); })) {
    return;
  }
  CloseTurn(false);
  RunTurns();
}

// A device call of the turn. A device that throws left its round where it failed (its poll
// step kept): its next tick recovers it, so its turn simply ends. True while the device waits
// for its reply; the silence is counted from now, so a reply in pieces keeps the turn.
bool Line::CallDevice(XQRSPDevice& d, const char* what, const std::function<void()>& call) {
  try {
    call();
  } catch (const std::exception& e) {
    notice_("device " + std::to_string(d.DataId()) + " failed on " + what + ": " + e.what());
    host_framework::TurnOver(d, false);
  }
  if (!loss_.empty()) PortLost(loss_);
  if (!d.IsProcessing()) {
    held_.reset();
    return false;
  }
  deadline_ = held_ ? heard_at_ + std::chrono::milliseconds(settings_.guard_ms)
                    : Clock::now() + std::chrono::milliseconds(settings_.reply_timeout_ms);
  return true;
}

// The device's request: after what is stale has been discarded, on the wire at once when the
// line is quiet, else held for the guard (the device counts it as sent; a held request that
// never goes out is a request not answered).
int Line::Write(unsigned int data_id, const unsigned char* data, unsigned int len) {
  if (!port_.IsOpen()) return -1;
  if ((!in_period_ || data_id != TurnDataId()) && outside_turn_write_.Begin()) {
    notice_("device " + std::to_string(data_id) + " sent a frame outside its turn on line " +
            settings_.port_label);
  }
  held_.reset();
  Discard("stale");
  if (!loss_.empty()) return -1;
  const Clock::time_point now = Clock::now();
  if (Quiet(now) || !in_period_) return WriteNow(data_id, data, len);
  held_ = Held{data_id, std::vector<unsigned char>(data, data + len), now};
  return static_cast<int>(len);
}

int Line::WriteNow(unsigned int data_id, const unsigned char* data, std::size_t len) {
  std::size_t done = 0;
  while (done < len) {
    const ssize_t n = write(port_.fd(), data + done, len - done);
    if (n < 0 && errno == EINTR) continue;
    // A full output buffer loses the frame like a module that did not hear it; the device's
    // re-send covers both.
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return -1;
    if (n <= 0) {
      loss_ = std::string("write: ") + (n < 0 ? std::strerror(errno) : "nothing written");
      return -1;
    }
    done += static_cast<std::size_t>(n);
  }
  outputs::HostEvent tx;
  tx.kind = outputs::EventKind::kTx;
  tx.data_id = data_id;
  tx.bytes.assign(data, data + len);
  Emit(std::move(tx));
  return static_cast<int>(len);
}

void Line::PortLost(const std::string& why) {
  loss_.clear();
  if (!port_.IsOpen()) return;
  port_.Close();
  held_.reset();
  reopen_at_ = Clock::now() + kReopenEvery;
  PortEvent("lost", why);
  notice_("port " + settings_.port_path + " lost (" + why + "); trying to reopen it once a second");
}

void Line::TryReopen(Clock::time_point now) {
  std::string error;
  if (!port_.Open(settings_.port_path, settings_.baud_rate, &error)) {
    reopen_at_ = now + kReopenEvery;  // still gone
    return;
  }
  reopen_at_.reset();
  PortEvent("reopened", "");
  notice_({"port " + settings_.port_path + " is back", outputs::NoticeKind::kOver});
}

}  // namespace bus

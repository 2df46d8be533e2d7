#include "battery_host/bus/line.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

namespace {

constexpr unsigned long long kReopenPeriodMs = 1000;

std::string Plural(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

Line::Line(Settings settings, outputs::Output& out, outputs::NoticeFn notice)
    : settings_(std::move(settings)), out_(out), notice_(std::move(notice)) {
  reopen_every_ = std::max<unsigned long long>(
      1, (kReopenPeriodMs + settings_.interval_ms - 1) / settings_.interval_ms);
}

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

bool Line::OpenPort(std::string* error) { return port_.Open(settings_.port_path, error); }

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

std::optional<Line::Clock::time_point> Line::deadline() const { return deadline_; }

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
  s.rounds_started = d.RoundsStarted();
  s.rounds_completed = d.HistorySaves();
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
  if (!port_.IsOpen() && periods_ - lost_at_period_ >= reopen_every_) TryReopen();
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
    if (CallDevice(d, "its poll tick", [&d] { d.HostPollTick(); })) return;
    CloseTurn(false);
  }
}

void Line::CloseTurn(bool silent) {
  deadline_.reset();
  XQRSPDevice& d = *devices_[turn_];
  if (d.IsProcessing()) d.HostTurnOver(silent);
  outputs::HostEvent e;
  e.kind = outputs::EventKind::kTurnEnd;
  e.data_id = d.DataId();
  e.status = Status(d);
  Emit(std::move(e));
  ++turn_;
}

void Line::FinishPeriod() {
  in_period_ = false;
  const auto took =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - period_start_);
  if (pending_period_ && !told_stretched_ &&
      took.count() > static_cast<long long>(settings_.interval_ms)) {
    told_stretched_ = true;
    notice_("line " + settings_.port_label + ": the turns of its " +
            Plural(devices_.size(), "device", "devices") + " took " +
            std::to_string(took.count()) + " ms, longer than the period of " +
            std::to_string(settings_.interval_ms) +
            " ms; the period is stretched so that turns never overlap");
  }
}

void Line::OnDeadline(Clock::time_point now) {
  if (!deadline_ || now < *deadline_ || !in_period_) return;
  CloseTurn(true);
  RunTurns();
}

void Line::OnReadable() {
  unsigned char buf[256];
  const ssize_t n = read(port_.fd(), buf, sizeof buf);
  if (n > 0) {
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
                 [&] { d.HostReceive(chunk, static_cast<unsigned int>(len)); })) {
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
    d.HostTurnOver(false);
  }
  if (!loss_.empty()) PortLost(loss_);
  if (!d.IsProcessing()) return false;
  deadline_ = Clock::now() + std::chrono::milliseconds(settings_.reply_timeout_ms);
  return true;
}

int Line::Write(unsigned int data_id, const unsigned char* data, unsigned int len) {
  if (!port_.IsOpen()) return -1;
  if ((!in_period_ || data_id != TurnDataId()) && !told_outside_turn_write_) {
    told_outside_turn_write_ = true;
    notice_("device " + std::to_string(data_id) + " sent a frame outside its turn on line " +
            settings_.port_label);
  }
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
  lost_at_period_ = periods_;
  PortEvent("lost", why);
  notice_("port " + settings_.port_path + " lost (" + why + "); reopening every " +
          std::to_string(reopen_every_ * settings_.interval_ms) + " ms");
}

void Line::TryReopen() {
  lost_at_period_ = periods_;
  std::string error;
  if (!port_.Open(settings_.port_path, &error)) return;  // still gone; the next period tries
  PortEvent("reopened", "");
  notice_("port " + settings_.port_path + " is back");
}

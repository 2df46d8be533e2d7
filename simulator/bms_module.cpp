#include "simulator/bms_module.h"

#include <algorithm>
#include <cmath>

namespace simulator {

namespace {

constexpr double kTwoPi = 6.283185307179586;

std::uint16_t ClampRaw(double value) {
  const double r = std::round(value);
  if (!(r > 0)) return 0;  // also NaN
  if (r > 65535) return 65535;
  return static_cast<std::uint16_t>(r);
}

bool KnownCommand(std::uint8_t c) {
  return c == kCmdCells || c == kCmdGroupVoltage || c == kCmdCurrent || c == kCmdTemperature;
}

}  // namespace

// ---- Frames ----------------------------------------------------------------------------------

std::uint8_t Checksum(const std::uint8_t* data, std::size_t len) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < len; ++i) sum = (sum + data[i]) & 0xFF;
  return static_cast<std::uint8_t>(sum % 254);
}

Bytes BuildRequest(std::uint8_t addr, std::uint8_t command) {
  Bytes b{kRequestStart, kRequestStart, addr, command, 0};
  b[4] = Checksum(&b[2], 2);
  return b;
}

Bytes BuildShortReply(std::uint8_t addr, std::uint16_t raw) {
  Bytes b{kReplyStart, addr, static_cast<std::uint8_t>(raw >> 8),
          static_cast<std::uint8_t>(raw & 0xFF), 0};
  b[4] = Checksum(&b[1], 3);
  return b;
}

Bytes BuildCellFrame(std::uint8_t addr, const Readings& readings) {
  Bytes b(kCellFrameLen, 0);
  b[0] = kReplyStart;
  b[1] = addr;
  for (int i = 0; i < kReadings; ++i) {  // big-endian on the wire
    b[2 + 2 * i] = static_cast<std::uint8_t>(readings[i] >> 8);
    b[3 + 2 * i] = static_cast<std::uint8_t>(readings[i] & 0xFF);
  }
  b[kCellFrameLen - 1] = Checksum(&b[1], kCellFrameLen - 2);
  return b;
}

RequestCheck CheckRequest(const std::uint8_t* frame) {
  if (frame[0] != kRequestStart || frame[1] != kRequestStart) return RequestCheck::kNotARequest;
  if (Checksum(frame + 2, 2) != frame[4]) return RequestCheck::kBadChecksum;
  return RequestCheck::kOk;
}

std::optional<Request> ParseRequest(const std::uint8_t* frame) {
  if (CheckRequest(frame) != RequestCheck::kOk) return std::nullopt;
  return Request{frame[2], frame[3]};
}

std::optional<Request> ParseRequest(const std::uint8_t* data, std::size_t len) {
  if (len != kRequestLen) return std::nullopt;
  return ParseRequest(data);
}

RequestParser::Result RequestParser::Feed(const std::uint8_t* data, std::size_t len) {
  Result result;
  Bytes buf;
  buf.reserve(held_.size() + len);
  buf.insert(buf.end(), held_.begin(), held_.end());
  buf.insert(buf.end(), data, data + len);

  const std::size_t n = buf.size();
  std::size_t i = 0;
  while (i < n) {
    if (buf[i] != kRequestStart || (i + 1 < n && buf[i + 1] != kRequestStart)) {
      ++i;
      continue;
    }
    if (n - i < kRequestLen) break;  // a candidate still coming in
    if (auto req = ParseRequest(&buf[i])) {
      result.requests.push_back(*req);
      i += kRequestLen;
    } else {
      // Not a request after all: its second FE may start the real one.
      ++result.bad_checksums;
      ++i;
    }
  }
  held_.assign(buf.begin() + static_cast<std::ptrdiff_t>(i), buf.end());
  return result;
}

const char* FaultName(std::uint32_t bit) {
  switch (bit) {
    case kFaultNoise:
      return "noise";
    case kFaultSplit:
      return "split";
    case kFaultDrop:
      return "drop";
    case kFaultBadChecksum:
      return "bad-checksum";
    case kFaultWrongAddress:
      return "wrong-address";
    case kFaultOutOfWindow:
      return "out-of-window";
    case kFaultGarbage:
      return "garbage";
    case kFaultSilence:
      return "silence";
    default:
      return "";
  }
}

Bytes Reply::Joined() const {
  Bytes all;
  for (const Bytes& c : chunks) all.insert(all.end(), c.begin(), c.end());
  return all;
}

// ---- Module ----------------------------------------------------------------------------------

Module::Module(const Config& config) : config_(config), rng_(config.seed) {
  config_.cells = std::clamp(config_.cells, 0, kReadings);
  if (config_.weak_cell >= 1 && config_.weak_cell <= config_.cells) {
    weak_index_ = config_.weak_cell - 1;
  }
  // A capacity of 0 (or NaN) would divide by zero: no weaker than a twentieth of the others.
  config_.weak_capacity =
      config_.weak_capacity > 0 ? std::clamp(config_.weak_capacity, 0.05, 1.0) : 1.0;
  // Our own mapping from engine output to doubles: the engine's sequence is fixed by the
  // standard, the library's distributions are not, so a seed repeats on any toolchain.
  auto unit = [this] { return static_cast<double>(rng_() >> 11) * 0x1.0p-53; };
  for (int i = 0; i < kReadings; ++i) {
    offset_[i] = (unit() * 2 - 1) * config_.cell_spread;
    period_[i] = 900 + unit() * 1800;  // 15..45 minutes
    phase_[i] = unit() * kTwoPi;
    slope_[i] = 0.9 + unit() * 0.2;
  }
}

bool Module::Roll(double rate) {
  if (!(rate > 0)) return false;  // no draw: a run without faults never touches the engine
  return static_cast<double>(rng_() >> 11) * 0x1.0p-53 < rate;
}

std::uint32_t Module::Below(std::uint32_t n) { return static_cast<std::uint32_t>(rng_() % n); }

std::uint8_t Module::NoiseByte() {
  std::uint8_t b = static_cast<std::uint8_t>(Below(255));          // 0..254
  return b >= kReplyStart ? static_cast<std::uint8_t>(b + 1) : b;  // skip 0xED
}

void Module::Count(std::uint32_t faults) {
  for (int b = 0; b < kFaultKinds; ++b) {
    if (faults & (1u << b)) ++counters_.faults[b];
  }
}

double DischargeVolts(double f, double amps, double ohms, double since_start_s) {
  constexpr double kCollapsed = 1.08;
  if (f >= kCollapsed - 0.005) return 1.0;
  const double x = since_start_s / 120.0;  // the dip's depth peaks at two minutes
  const double dip = 0.12 * x * std::exp(1 - x);
  const double v = 12.85 - 0.85 * f - amps * ohms - 0.55 - 0.06 * f / (kCollapsed - f) - dip;
  return std::max(v, 1.0);
}

double Module::block_capacity_ah(int i) const {
  const double own = config_.capacity_ah * (1 + (slope_[i] - 1) * 0.3);
  return i == weak_index_ ? own * config_.weak_capacity : own;
}

double Module::block_ohms(int i) const {
  const double own = kHealthyBlockOhms * slope_[i];
  return i == weak_index_ ? own / (config_.weak_capacity * config_.weak_capacity) : own;
}

double Module::LoadAmps(double t) const {
  const double minute = t / 60.0;
  const bool step = config_.load_step > 0 && minute >= 5 && std::fmod(minute - 5, 10) < 1;
  return -config_.discharge_current + (step ? config_.load_step : 0);
}

void Module::Advance(double seconds) {
  if (!(seconds > 0)) return;
  if (!config_.discharge || tripped_at_) {
    elapsed_ += seconds;
    return;
  }
  // Second by second, so that the charge drawn follows the load's steps and the load bank
  // trips within a second of the string reaching its end voltage.
  const double cutoff = config_.cells * config_.discharge_end_volts;
  const double end = elapsed_ + seconds;
  while (elapsed_ < end && !tripped_at_) {
    const double dt = std::min(1.0, end - elapsed_);
    delivered_ah_ += LoadAmps(elapsed_) * dt / 3600.0;
    elapsed_ += dt;
    if (config_.cells > 0 && group_voltage() <= cutoff) tripped_at_ = elapsed_;
  }
  elapsed_ = end;
}

double Module::cell_volts(int i) const {
  if (i < 0 || i >= config_.cells) return 0;
  const double t = elapsed_;
  if (config_.discharge) {
    const double f = delivered_ah_ / block_capacity_ah(i);
    if (!tripped_at_) {
      return DischargeVolts(f, -current(), block_ohms(i), t) + offset_[i];
    }
    // Resting: the polarisation and the knee decay away towards the open-circuit voltage.
    const double ocv = 12.85 - 0.85 * std::min(f, 1.08) + offset_[i];
    const double loaded = DischargeVolts(f, 0, 0, 1e9) + offset_[i];
    return ocv - (ocv - loaded) * std::exp(-(t - *tripped_at_) / 300.0);
  }
  return config_.float_volts + offset_[i] +
         config_.drift_volts * std::sin(kTwoPi * t / period_[i] + phase_[i]);
}

double Module::group_voltage() const {
  double sum = 0;
  for (int i = 0; i < config_.cells; ++i) sum += cell_volts(i);
  return sum;
}

double Module::current() const {
  const double t = elapsed_;
  if (config_.discharge) return tripped_at_ ? 0.0 : -LoadAmps(t);
  return config_.float_current *
         (1 + config_.current_wander * std::sin(kTwoPi * t / 600 + phase_[1]));
}

double Module::temperature() const {
  return config_.temperature +
         config_.temperature_swing * std::sin(kTwoPi * elapsed_ / 3600 + phase_[2]);
}

Readings Module::CellReadings() const {
  Readings r{};
  for (int i = 0; i < config_.cells; ++i) r[i] = ClampRaw(cell_volts(i) * 100);
  return r;
}

std::uint16_t Module::GroupVoltageRaw() const {
  // The module adds up its own cell readings, so the group voltage agrees with them.
  std::uint32_t hundredths = 0;
  const Readings r = CellReadings();
  for (std::uint16_t v : r) hundredths += v;
  return ClampRaw((hundredths + 5) / 10);
}

std::uint16_t Module::CurrentRaw() const {
  const double amps = current();
  if (config_.current_encoding == CurrentEncoding::kSensor) {
    return ClampRaw((amps / 50 + 2) * 1250);
  }
  const long tenths = std::lround(amps * 10);
  return static_cast<std::uint16_t>(static_cast<unsigned long>(tenths) & 0xFFFF);
}

std::uint16_t Module::TemperatureRaw() const { return ClampRaw(temperature() * 100); }

std::vector<Reply> Module::Receive(const std::uint8_t* data, std::size_t len) {
  counters_.bytes_received += len;
  const RequestParser::Result parsed = parser_.Feed(data, len);
  counters_.requests_ignored += parsed.bad_checksums;

  std::vector<Reply> replies;
  for (const Request& req : parsed.requests) {
    if (std::optional<Reply> reply = Answer(req)) replies.push_back(std::move(*reply));
  }
  return replies;
}

std::optional<Reply> Module::Answer(const Request& request) {
  if (request.address != config_.address || !KnownCommand(request.command)) {
    ++counters_.requests_ignored;
    return std::nullopt;
  }
  if (config_.silent) {
    ++counters_.requests_silent;
    return std::nullopt;
  }
  ++counters_.requests_seen;
  Reply reply = Build(request.command);
  if (!reply.chunks.empty()) ++counters_.replies_sent;
  if (reply.clean) ++counters_.replies_clean;
  Count(reply.faults);
  return reply;
}

Reply Module::Build(std::uint8_t command) {
  Reply r;
  r.command = command;
  if (Withheld(&r)) {
    r.clean = false;
    return r;
  }
  Bytes frame = Frame(command, &r);
  Bytes stream;
  if (Roll(config_.faults.noise)) {
    const std::uint32_t n = 1 + Below(8);
    for (std::uint32_t i = 0; i < n; ++i) stream.push_back(NoiseByte());
    r.faults |= kFaultNoise;
  }
  stream.insert(stream.end(), frame.begin(), frame.end());
  Deliver(std::move(stream), &r);
  r.clean = r.faults == kFaultNone;
  return r;
}

// Silence first: a module that has gone quiet answers nothing, whatever else would happen.
bool Module::Withheld(Reply* r) {
  const Faults& f = config_.faults;
  if (silence_left_ > 0) {
    --silence_left_;
    r->faults = kFaultSilence;
  } else if (f.silence_requests > 0 && Roll(f.silence)) {
    silence_left_ = f.silence_requests - 1;
    r->faults = kFaultSilence;
  } else if (Roll(f.drop)) {
    r->faults = kFaultDrop;
  }
  return r->faults != kFaultNone;
}

Bytes Module::Frame(std::uint8_t command, Reply* r) {
  const Faults& f = config_.faults;
  std::uint8_t addr = config_.address;
  if (Roll(f.wrong_address)) {
    addr = static_cast<std::uint8_t>(addr + 1 + Below(255));  // any other address
    r->faults |= kFaultWrongAddress;
  }

  Bytes frame;
  if (command == kCmdCells) {
    r->readings = CellReadings();
    if (Roll(f.out_of_window)) {
      // One cell below 9.00 V or above 15.00 V, so the receiver must drop it.
      const std::uint32_t cell = config_.cells > 0 ? Below(config_.cells) : 0;
      r->readings[cell] = Below(2) ? static_cast<std::uint16_t>(Below(900))
                                   : static_cast<std::uint16_t>(1501 + Below(65535 - 1501 + 1));
      r->faults |= kFaultOutOfWindow;
    }
    frame = BuildCellFrame(addr, r->readings);
  } else {
    if (command == kCmdGroupVoltage) {
      r->raw = GroupVoltageRaw();
    } else if (command == kCmdCurrent) {
      r->raw = CurrentRaw();
    } else {
      r->raw = TemperatureRaw();
      if (Roll(f.out_of_window)) {
        // Accepted temperatures are above 0 and at most 100.00 degrees.
        r->raw = Below(2) ? 0 : static_cast<std::uint16_t>(10001 + Below(65535 - 10001 + 1));
        r->faults |= kFaultOutOfWindow;
      }
    }
    frame = BuildShortReply(addr, r->raw);
  }

  if (Roll(f.bad_checksum)) {
    frame.back() = static_cast<std::uint8_t>(frame.back() + 1 + Below(255));  // never the right one
    r->faults |= kFaultBadChecksum;
  }
  return frame;
}

// The bytes as they reach the line: garbage before them, and in pieces or whole.
void Module::Deliver(Bytes stream, Reply* r) {
  const Faults& f = config_.faults;
  if (Roll(f.garbage)) {
    Bytes burst(16 + Below(33));
    for (auto& b : burst) b = static_cast<std::uint8_t>(Below(256));
    if (Below(2)) burst[Below(static_cast<std::uint32_t>(burst.size()))] = kReplyStart;
    r->chunks.push_back(std::move(burst));
    r->faults |= kFaultGarbage;
  }

  if (!Roll(f.split)) {
    r->chunks.push_back(std::move(stream));
    return;
  }
  // Two to four pieces, cut at distinct places, none empty.
  const std::uint32_t pieces = 2 + Below(3);
  std::vector<std::size_t> cuts;
  while (cuts.size() + 1 < pieces) {
    const std::size_t at = 1 + Below(static_cast<std::uint32_t>(stream.size() - 1));
    if (std::find(cuts.begin(), cuts.end(), at) == cuts.end()) cuts.push_back(at);
  }
  std::sort(cuts.begin(), cuts.end());
  std::size_t from = 0;
  for (std::size_t at : cuts) {
    r->chunks.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(from),
                           stream.begin() + static_cast<std::ptrdiff_t>(at));
    from = at;
  }
  r->chunks.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(from), stream.end());
  r->faults |= kFaultSplit;
}

}  // namespace simulator

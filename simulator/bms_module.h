#pragma once

// A battery-monitoring module as the plug-in meets it on the serial line, without the serial
// line: bytes the host wrote go in, the bytes the module answers come out. Everything is a pure
// function of the configuration (seed included), the bytes received and the simulated time that
// the caller advances, so a seed repeats a run byte for byte.
//
// The module's protocol:
//   request      FE FE addr cmd sum          sum over addr, cmd
//   short reply  ED addr hi lo sum           sum over addr, hi, lo (A2 group voltage, A3 current,
//                                            A4 temperature)
//   cell frame   ED addr r0hi r0lo .. r31hi r31lo sum   (A1; 67 bytes, sum over bytes 1..65)
//   sum = (byte sum mod 256) mod 254
// Values: cells in hundredths of a volt, group voltage in tenths of a volt, current in tenths of
// an ampere (or the current sensor's encoding), temperature in hundredths of a degree Celsius.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

namespace bms_sim {

// Command codes of the four requests of a poll round.
constexpr std::uint8_t kCmdCells = 0xA1;
constexpr std::uint8_t kCmdGroupVoltage = 0xA2;
constexpr std::uint8_t kCmdCurrent = 0xA3;
constexpr std::uint8_t kCmdTemperature = 0xA4;

constexpr std::uint8_t kRequestStart = 0xFE;
constexpr std::uint8_t kReplyStart = 0xED;
constexpr std::size_t kRequestLen = 5;
constexpr std::size_t kShortReplyLen = 5;
constexpr std::size_t kCellFrameLen = 67;
constexpr int kReadings = 32;

using Bytes = std::vector<std::uint8_t>;
using Readings = std::array<std::uint16_t, kReadings>;

// ---- Pure frame helpers ----------------------------------------------------------------------

// Byte sum modulo 256, then modulo 254: always 0..253.
std::uint8_t Checksum(const std::uint8_t* data, std::size_t len);
Bytes BuildRequest(std::uint8_t addr, std::uint8_t command);
Bytes BuildShortReply(std::uint8_t addr, std::uint16_t raw);
Bytes BuildCellFrame(std::uint8_t addr, const Readings& readings);

struct Request {
  std::uint8_t address;
  std::uint8_t command;
};

enum class RequestCheck { kOk, kNotARequest, kBadChecksum };

// Judges exactly kRequestLen bytes: FE FE addr cmd sum with a matching sum.
RequestCheck CheckRequest(const std::uint8_t* frame);
std::optional<Request> ParseRequest(const std::uint8_t* frame);
// The same for a buffer of known length: anything but exactly one request is none.
std::optional<Request> ParseRequest(const std::uint8_t* data, std::size_t len);

// Finds requests in a byte stream that may arrive in pieces, several at once, or mixed with
// line noise. A candidate FE FE .. whose sum does not match is not a request: the parser steps
// one byte past its start and looks again, so noise can never swallow a good request behind it.
class RequestParser {
 public:
  struct Result {
    std::vector<Request> requests;
    std::size_t bad_checksums = 0;  // FE FE candidates dropped for their sum
  };
  Result Feed(const std::uint8_t* data, std::size_t len);
  std::size_t pending() const { return held_.size(); }

 private:
  Bytes held_;  // at most kRequestLen - 1 bytes of an unfinished candidate
};

// ---- Faults ----------------------------------------------------------------------------------

// One bit per kind of fault, so that a reply can carry several.
enum Fault : std::uint32_t {
  kFaultNone = 0,
  kFaultNoise = 1u << 0,         // a few stray bytes (never 0xED) just before the reply
  kFaultSplit = 1u << 1,         // the reply written in two to four pieces
  kFaultDrop = 1u << 2,          // no reply to this request
  kFaultBadChecksum = 1u << 3,   // last byte off
  kFaultWrongAddress = 1u << 4,  // address byte of another module, sum matching those bytes
  kFaultOutOfWindow = 1u << 5,   // a cell (A1) or the temperature (A4) outside its window
  kFaultGarbage = 1u << 6,       // a longer run of random bytes, maybe with 0xED, written first
  kFaultSilence = 1u << 7,       // the module stopped answering for a number of requests
};
constexpr int kFaultKinds = 8;
// Name of one fault bit ("noise", "split", ...), or "" for anything else.
const char* FaultName(std::uint32_t bit);

// Each rate is the chance, 0..1, that the fault hits one reply. All rates default to 0.
struct Faults {
  double noise = 0;
  double split = 0;
  double drop = 0;
  double bad_checksum = 0;
  double wrong_address = 0;
  double out_of_window = 0;
  double garbage = 0;
  double silence = 0;
  unsigned silence_requests = 8;  // requests left unanswered once silence starts
};

// ---- Configuration ---------------------------------------------------------------------------

enum class CurrentEncoding {
  kTenths,  // raw = amperes x 10; negative currents as 16-bit two's complement
  kSensor,  // hall sensor: amperes = ((raw / 10) / 125 - 2) x 50, i.e. -100..+424 A
};

struct Config {
  std::uint8_t address = 0x01;
  int cells = 20;  // 0..32 cells of 12 V blocks; readings beyond them are 0

  // Float charge: each block sits at float_volts +- cell_spread, drifting slowly by up to
  // drift_volts around it.
  double float_volts = 13.575;
  double cell_spread = 0.04;
  double drift_volts = 0.02;
  double float_current = 0.5;  // amperes, small positive float-charge current
  double current_wander = 0.25;  // the current moves by this fraction around its centre
  double temperature = 25.0;     // degrees Celsius
  double temperature_swing = 0.3;  // degrees, slow swing around it

  // Discharge: a load draws 20..40 A and the blocks fall from about 12.8 V towards 10.5 V.
  bool discharge = false;
  double discharge_start_volts = 12.8;
  double discharge_volts_per_hour = 0.6;
  double discharge_end_volts = 10.5;
  double discharge_current = -30.0;  // centre of the load current, amperes

  // One weak block, for the discharge test that has to find it: 1-based block number as people
  // count them (0: none, or beyond the cells: none) and its capacity as a fraction of the
  // others' (kept within 0.05..1). Only the discharge shows it, see kWeakBlockOhms.
  int weak_cell = 0;
  double weak_capacity = 0.5;

  // A silent module stays on the line and hears every request but never answers, as one with a
  // dead transmitter would.
  bool silent = false;

  CurrentEncoding current_encoding = CurrentEncoding::kTenths;
  std::uint64_t seed = 1;
  Faults faults;
};

// The weak block during discharge. Its capacity is weak_capacity of the others', so the same
// current empties it that much sooner: it falls at discharge_volts_per_hour x its own slope
// factor / weak_capacity. Its internal resistance grows the same way, to kWeakBlockOhms /
// weak_capacity, where a healthy 12 V block of this size has about 5 milliohms; the healthy
// blocks' own drop under the load is already in discharge_start_volts, so the weak one sits
// lower by the extra resistance times the load current:
//   v = start + offset - rate x slope / weak_capacity x hours
//         - kWeakBlockOhms x (1 / weak_capacity - 1) x load amperes,   never below end volts.
// Worked with the defaults (weak_capacity 0.5, 30 A, slope 0.9..1.1, offset +-0.04 V):
//   t = 0      healthy 12.76..12.84 V, weak 12.65 +- 0.04 = 12.61..12.69 V (0.15 V extra drop)
//   t = 1 h    healthy 12.8 - 0.54..0.66 +- 0.04 = 12.10..12.30 V
//              weak    12.65 - 1.08..1.32 +- 0.04 = 11.29..11.61 V
// so after an hour it is at least 0.49 V below every other block and has fallen at least
// 0.42 V more, over ten times the spread and the float drift. With the load wandering by a
// quarter (22.5..37.5 A) the extra drop is 0.11..0.19 V; its period is 15 minutes, so it is the
// same at t = 0 and at whole hours and the fall between them is the slope's alone.
constexpr double kWeakBlockOhms = 0.005;

// ---- The module ------------------------------------------------------------------------------

struct Reply {
  std::uint8_t command = 0;
  // The bytes to write, in the pieces to write them. Empty when the module stays silent
  // (kFaultDrop, kFaultSilence).
  std::vector<Bytes> chunks;
  // True exactly when no fault touched this reply: the chunks are one valid frame for our
  // address, nothing more, carrying the module's true values.
  bool clean = true;
  std::uint32_t faults = kFaultNone;  // Fault bits applied
  Readings readings{};                // A1: the readings the frame carries
  std::uint16_t raw = 0;              // A2, A3, A4: the value the frame carries

  Bytes Joined() const;  // all chunks back to back
};

struct Counters {
  std::uint64_t bytes_received = 0;
  std::uint64_t requests_seen = 0;      // good requests for our address with a known command
  std::uint64_t requests_ignored = 0;   // bad sum, other address or unknown command
  std::uint64_t requests_silent = 0;    // good requests for us while set silent: no reply
  std::uint64_t replies_sent = 0;       // replies with bytes to write
  std::uint64_t replies_clean = 0;
  std::array<std::uint64_t, kFaultKinds> faults{};  // indexed by bit number of Fault
};

class Module {
 public:
  explicit Module(const Config& config = Config());

  // The bytes the host wrote. Returns one Reply per good request for our address, in order;
  // requests for other addresses, with a bad sum or an unknown command get none, as a real
  // module stays silent then, and so do all while the module is set silent.
  std::vector<Reply> Receive(const std::uint8_t* data, std::size_t len);

  // One request already taken off the line, for a bus that parses the line once for all its
  // modules. The same as Receive for one request: a Reply when it is ours with a known command
  // (counted in requests_seen), none when it is not (requests_ignored) or while silent
  // (requests_silent). Bytes and bad sums are the bus's to count then.
  std::optional<Reply> Answer(const Request& request);

  // Silent: hears everything, answers nothing. Time runs on; no fault is drawn meanwhile.
  void set_silent(bool silent) { config_.silent = silent; }
  bool silent() const { return config_.silent; }

  // Moves simulated time on; values change only here.
  void Advance(double seconds);
  double elapsed() const { return elapsed_; }

  // True values now, in volts, amperes and degrees Celsius.
  double cell_volts(int i) const;  // 0 beyond the configured cells
  double group_voltage() const;
  double current() const;
  double temperature() const;

  // What a clean reply carries now.
  Readings CellReadings() const;
  std::uint16_t GroupVoltageRaw() const;  // tenths of a volt of the sum of the cell readings
  std::uint16_t CurrentRaw() const;
  std::uint16_t TemperatureRaw() const;

  const Counters& counters() const { return counters_; }
  const Config& config() const { return config_; }
  // New fault rates from the next request on (an ongoing silence runs out first).
  void set_faults(const Faults& faults) { config_.faults = faults; }
  unsigned silence_left() const { return silence_left_; }

 private:
  Reply Build(std::uint8_t command);
  bool Roll(double rate);
  std::uint32_t Below(std::uint32_t n);  // 0..n-1
  std::uint8_t NoiseByte();              // any byte but 0xED
  void Count(std::uint32_t faults);

  Config config_;
  std::mt19937_64 rng_;
  RequestParser parser_;
  Counters counters_;
  double elapsed_ = 0;
  unsigned silence_left_ = 0;
  int weak_index_ = -1;  // 0-based reading of the weak block, -1 for none
  // Per-cell character fixed by the seed: offset from the nominal voltage, drift period and
  // phase, discharge slope factor.
  std::array<double, kReadings> offset_{};
  std::array<double, kReadings> period_{};
  std::array<double, kReadings> phase_{};
  std::array<double, kReadings> slope_{};
};

}  // namespace bms_sim

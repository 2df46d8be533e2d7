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

namespace simulator {

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
  double float_current = 0.5;      // amperes, small positive float-charge current
  double current_wander = 0.25;    // the current moves by this fraction around its centre
  double temperature = 25.0;       // degrees Celsius
  double temperature_swing = 0.3;  // degrees, slow swing around it

  // Discharge at a constant current, as a capacity test's load bank draws it: each block
  // follows a lead-acid curve (see DischargeVolts) from its own capacity and internal
  // resistance, and the load trips when the group voltage reaches cells x end volts; the blocks
  // then rest and recover.
  bool discharge = false;
  double discharge_current = -50.0;   // amperes, negative: out of the string
  double capacity_ah = 100.0;         // a healthy block's capacity at that current
  double discharge_end_volts = 10.5;  // a block's end voltage; the string's is cells times it
  // An optional load step, for an internal resistance estimate to measure: every 10 minutes
  // from the 5th, for one minute, the load draws this many amperes more (0: none).
  double load_step = 0.0;

  // One weak block, for the discharge test that has to find it: 1-based block number as people
  // count them (0: none, or beyond the cells: none) and its capacity as a fraction of the
  // others' (kept within 0.05..1); its internal resistance is the others' / fraction squared.
  // Only the discharge shows it.
  int weak_cell = 0;
  double weak_capacity = 0.5;

  // A silent module stays on the line and hears every request but never answers, as one with a
  // dead transmitter would.
  bool silent = false;

  CurrentEncoding current_encoding = CurrentEncoding::kTenths;
  std::uint64_t seed = 1;
  Faults faults;
};

// A 12 V lead-acid block on a constant-current discharge, f = ampere-hours out / its capacity:
//   at rest      ocv(f) = 12.85 - 0.85 f (+ the block's own offset)
//   on load      v = ocv(f) - I R - 0.55 - 0.06 f / (1.08 - f) - dip(t)
// I R the block's own resistance drop at the present current; 0.55 V the polarisation at the
// test current; the last term the knee, steep as the active material runs out (f -> 1.08 is a
// collapsed block, held at 1 V: a reversed or open block reads out of any window); dip(t) the
// initial dip and recovery (coup de fouet) of the first minutes, 0.12 V deep at two minutes.
// Worked for a healthy block (R 4 mOhm, 50 A, no offset): f = 0 12.10 V after the dip, f = 0.5
// 11.62 V, f = 0.9 11.03 V, f = 1 exactly 10.50 V (so 100 Ah at 50 A reach the end voltage at
// 2 h), f = 1.04 9.66 V, f = 1.06 8.02 V. After the load trips the polarisation decays with a
// time constant of five minutes and the block settles at ocv(f).
double DischargeVolts(double f, double amps, double ohms, double since_start_s);
constexpr double kHealthyBlockOhms = 0.004;

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
  std::uint64_t requests_seen = 0;     // good requests for our address with a known command
  std::uint64_t requests_ignored = 0;  // bad sum, other address or unknown command
  std::uint64_t requests_silent = 0;   // good requests for us while set silent: no reply
  std::uint64_t replies_sent = 0;      // replies with bytes to write
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
  // The discharge's load tripped at the end voltage (simulated seconds), or none yet.
  std::optional<double> tripped_at() const { return tripped_at_; }
  double delivered_ah() const { return delivered_ah_; }
  double block_capacity_ah(int i) const;
  double block_ohms(int i) const;

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
  bool Withheld(Reply* r);                      // silence or a dropped reply
  Bytes Frame(std::uint8_t command, Reply* r);  // the reply frame, maybe damaged
  void Deliver(Bytes stream, Reply* r);         // garbage before it, in pieces or whole
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
  double delivered_ah_ = 0;  // out of the string since the discharge started
  std::optional<double> tripped_at_;
  int weak_index_ = -1;             // 0-based reading of the weak block, -1 for none
  double LoadAmps(double t) const;  // drawn by the discharge's load at t, before any trip
  // Per-cell character fixed by the seed: offset from the nominal voltage, drift period and
  // phase, and a spread factor 0.9..1.1 that sets its capacity (0.97..1.03 of the rating) and
  // resistance (0.9..1.1 of a healthy block's).
  std::array<double, kReadings> offset_{};
  std::array<double, kReadings> period_{};
  std::array<double, kReadings> phase_{};
  std::array<double, kReadings> slope_{};
};

}  // namespace simulator

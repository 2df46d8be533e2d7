#pragma once

// A long run of poll rounds without real time: several string devices on one host controller,
// each talking to its own simulated module over a line that picks up noise, splits and loses
// replies, corrupts checksums, hears other modules, carries bursts of garbage and sometimes goes
// quiet. Poll ticks and received byte chunks drive everything; simulated time moves on only
// between ticks.
//
// The soak keeps its own ledger of every reply the modules sent and an independent model of what
// each device must hold (decoded in single precision exactly as the device documents it). It
// checks:
//   - every history record equals the model built from the replies of that round alone;
//   - a clean reply (one valid frame, nothing else on the line) is always taken: the device
//     moves on to the next request or completes the round; so is a reply with only noise before
//     its start byte, a value outside its window, or (for the cell frame) cut into pieces;
//   - a reply with a bad checksum or another module's address is never taken, nor a short reply
//     in pieces (the device judges a short reply on its first receive);
//   - every round that breaks off has a fault in the ledger that explains it;
//   - between receives, the host's queries get the group values of the last accepted replies and
//     the cells of the last history record.
// Any violation is counted as a mismatch and described.

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host_framework/xqr_controller.h"
#include "host_framework/xqr_listener.h"
#include "host_framework/xqr_port.h"
#include "simulator/bms_module.h"
#include "string_device/battery32.h"

namespace soak {

// Fault rates per reply, close to what a long RS-485 run in a UPS room shows.
simulator::Faults RealisticFaults();

// What the device is expected to hold, mirrored from the replies it accepted.
struct Model {
  std::array<float, 32> cells{};
  float group_voltage = 0.0f;
  float group_current = 0.0f;
  float temperature = 0.0f;
  bool ready = false;  // a round has completed: peers can read this device's values
};

// Decoding as the device documents it, written out independently of the device code.
float DecodeCell(std::uint16_t raw);                  // raw / 100, outside 9.0..15.0 -> 0.0
float DecodeGroupVoltage(std::uint16_t raw);          // raw / 10
float DecodeCurrentTenths(std::uint16_t raw);         // raw / 10
float DecodeCurrentSensor(std::uint16_t raw);         // ((raw / 10) / 125 - 2) * 50
bool DecodeTemperature(std::uint16_t raw, float* t);  // raw / 100, only if in (0, 100]

struct StationPlan {
  unsigned int data_id = 0;
  bool twenty_cells = true;  // Ondrell20, else Battery32
  std::uint8_t bus_address = 0x01;
  bool reversed = false;        // settings "dir" 1
  bool current_sensor = false;  // settings "current_ratio" 1, module with the sensor encoding
  bool discharge = false;
  std::vector<unsigned int> group_voltage_peers;  // settings "group_voltage"
  unsigned int current_peer = 0;                  // settings "r_data_id" with "group_current"
};

// Four devices: two Ondrell20 and two Battery32, distinct addresses, peers between them.
std::vector<StationPlan> DefaultStations();

struct Report {
  std::uint64_t ticks = 0;
  std::uint64_t rounds_started = 0;
  std::uint64_t rounds_completed = 0;
  std::uint64_t rounds_abandoned = 0;
  std::uint64_t rounds_open_at_end = 0;
  std::map<std::string, std::uint64_t> abandoned_by_cause;  // fault names joined by "+"
  std::uint64_t replies = 0;
  std::uint64_t replies_clean = 0;
  std::uint64_t clean_replies_taken = 0;
  std::uint64_t faulty_replies_taken = 0;  // accepted although a fault touched them
  std::uint64_t history_records_checked = 0;
  std::uint64_t mismatches = 0;
  std::vector<std::string> first_mismatches;  // descriptions, at most 20
  std::vector<std::uint64_t> completed_per_device;
};

class Soak;

// One device, its line and its module, and the soak's ledger of the round in progress.
struct Station {
  StationPlan plan;
  std::unique_ptr<Battery32> device;
  std::unique_ptr<simulator::Module> module;
  std::shared_ptr<XQRPort> port;
  std::vector<simulator::Bytes> outbox;  // requests written by the device, not yet on the line

  Model model;
  bool round_open = false;
  // Latest reply to the outstanding request of each step (index 1..4); empty bytes when none.
  std::array<simulator::Reply, 5> latest{};
  std::array<bool, 5> answered{};
  const simulator::Reply* delivering = nullptr;  // reply whose chunks are being handed over
  bool completed_during_delivery = false;
  std::uint64_t completed = 0;
  unsigned char last_record[152] = {};  // the last history record
};

class Soak {
 public:
  Soak(const std::vector<StationPlan>& stations, const simulator::Faults& faults,
       std::uint64_t seed, double poll_seconds = 2.0);
  ~Soak();

  // Ticks until at least `rounds` rounds have started over all devices; then a few clean ticks
  // are not added: the last open rounds are reported as open.
  const Report& Run(std::uint64_t rounds);
  const Report& report() const { return report_; }

  // Called by the listener when a device saves a history record.
  void OnHistory(unsigned int data_id, const unsigned char* data, int len);

 private:
  void Tick();
  void Pump(Station& s);
  void Deliver(Station& s, const simulator::Reply& reply);
  void Accept(Station& s, int step, const simulator::Reply& reply);
  void Abandon(Station& s, int step);
  void CheckServedValues(Station& s);
  void Mismatch(const std::string& what);
  Station* Find(unsigned int data_id);
  int StepOf(const Station& s) const;
  int RetriesOf(const Station& s) const;

  class Listener;
  std::shared_ptr<XQRController> controller_;
  std::unique_ptr<Listener> listener_;
  std::vector<std::unique_ptr<Station>> stations_;
  double poll_seconds_;
  Report report_;
};

// "drop", "split+noise", ...: the names of the fault bits set.
std::string FaultNames(std::uint32_t faults);

}  // namespace soak

#include "soak/soak.h"

#include <cstring>
#include <stdexcept>
#include <sstream>

#include <json/value.h>

#include "battery/byte_order.h"
#include "host_framework/device_book.h"
#include "string_device/ondrell20.h"

namespace soak {

namespace {

// The device's poll state, read from outside for the ledger.
template <typename Device>
class Opened : public Device {
 public:
  using Device::poll_step_;
  using Device::retry_count_;
};

int StepOfCommand(std::uint8_t command) {
  switch (command) {
    case simulator::kCmdCells:
      return 1;
    case simulator::kCmdGroupVoltage:
      return 2;
    case simulator::kCmdCurrent:
      return 3;
    case simulator::kCmdTemperature:
      return 4;
    default:
      return 0;
  }
}

// Requests the device writes wait in its outbox until the soak puts them on the line.
class OutboxPort : public XQRPort {
 public:
  explicit OutboxPort(std::vector<simulator::Bytes>* outbox) : outbox_(outbox) {}
  int Write(const unsigned char* data, unsigned int len) override {
    outbox_->emplace_back(data, data + len);
    return static_cast<int>(len);
  }

 private:
  std::vector<simulator::Bytes>* outbox_;
};

// What the device documents for a reply with these faults, delivered right after its request.
enum class Outcome { kTaken, kRejected, kEither };

Outcome Expected(const simulator::Reply& reply) {
  const std::uint32_t f = reply.faults;
  // No valid frame for this device on the line.
  if (f & (simulator::kFaultDrop | simulator::kFaultSilence | simulator::kFaultBadChecksum |
           simulator::kFaultWrongAddress)) {
    return Outcome::kRejected;
  }
  // A burst may or may not hold a start byte; what follows depends on where it stands.
  if (f & simulator::kFaultGarbage) return Outcome::kEither;
  // A short reply is judged on the first receive: in pieces it is lost. A cell frame is
  // collected over several receives. Noise before the start byte is skipped, a value outside its
  // window is still a valid frame.
  if ((f & simulator::kFaultSplit) && reply.command != simulator::kCmdCells)
    return Outcome::kRejected;
  return Outcome::kTaken;
}

std::string Describe(const Station& s, const std::string& what) {
  std::ostringstream out;
  out << "device " << s.plan.data_id << ": " << what;
  return out.str();
}

}  // namespace

simulator::Faults RealisticFaults() {
  simulator::Faults f;
  f.noise = 0.02;           // a few stray bytes before a reply
  f.split = 0.05;           // the UART hands a reply over in pieces
  f.drop = 0.01;            // a reply lost
  f.bad_checksum = 0.005;   // a flipped bit in the reply
  f.wrong_address = 0.003;  // another module on the bus answers
  f.out_of_window = 0.005;  // a broken sense lead or temperature probe
  f.garbage = 0.003;        // a burst of garbage, e.g. a contactor switching nearby
  f.silence = 0.0005;       // the module resets and stays quiet for a while
  f.silence_requests = 12;
  return f;
}

float DecodeCell(std::uint16_t raw) {
  const float v = static_cast<float>(raw) / 100.0f;
  return (v < 9.0f || v > 15.0f) ? 0.0f : v;
}

float DecodeGroupVoltage(std::uint16_t raw) { return static_cast<float>(raw) / 10.0f; }

float DecodeCurrentTenths(std::uint16_t raw) { return static_cast<float>(raw) / 10.0f; }

float DecodeCurrentSensor(std::uint16_t raw) {
  float c = static_cast<float>(raw) / 10.0f;
  c = c / 125.0f;
  c = c - 2.0f;
  return c * 50.0f;
}

bool DecodeTemperature(std::uint16_t raw, float* t) {
  const float v = static_cast<float>(raw) / 100.0f;
  if (!(v > 0.0f && v <= 100.0f)) return false;
  *t = v;
  return true;
}

std::vector<StationPlan> DefaultStations() {
  std::vector<StationPlan> s(4);
  // Two halves of one string: 101 adds 102's group voltage to its own.
  s[0].data_id = 101;
  s[0].twenty_cells = true;
  s[0].bus_address = 0x01;
  s[0].group_voltage_peers = {102};
  s[1].data_id = 102;
  s[1].twenty_cells = false;
  s[1].bus_address = 0x02;
  s[1].reversed = true;
  // A discharging string whose current is measured by the sensor module of 104.
  s[2].data_id = 103;
  s[2].twenty_cells = true;
  s[2].bus_address = 0x03;
  s[2].discharge = true;
  s[2].current_peer = 104;
  s[3].data_id = 104;
  s[3].twenty_cells = false;
  s[3].bus_address = 0x04;
  s[3].current_sensor = true;
  return s;
}

std::string FaultNames(std::uint32_t faults) {
  std::string names;
  for (int bit = 0; bit < simulator::kFaultKinds; ++bit) {
    const std::uint32_t mask = 1u << bit;
    if ((faults & mask) == 0) continue;
    if (!names.empty()) names += "+";
    names += simulator::FaultName(mask);
  }
  return names.empty() ? "clean" : names;
}

class Soak::Listener : public XQRListener {
 public:
  explicit Listener(Soak* soak) : soak_(soak) {}
  void OnSaveHistory(const XQRVDevice& device, const unsigned char* data, int len) override {
    soak_->OnHistory(device.DataId(), data, len);
  }

 private:
  Soak* soak_;
};

Soak::Soak(const std::vector<StationPlan>& plans, const simulator::Faults& faults,
           std::uint64_t seed, double poll_seconds)
    : controller_(std::make_shared<XQRController>()),
      listener_(std::make_unique<Listener>(this)),
      poll_seconds_(poll_seconds) {
  controller_->SetListener(listener_.get());
  for (const StationPlan& plan : plans) {
    auto s = std::make_unique<Station>();
    s->plan = plan;
    if (plan.twenty_cells) {
      s->device = std::make_unique<Opened<Ondrell20>>();
    } else {
      s->device = std::make_unique<Opened<Battery32>>();
    }
    simulator::Config config;
    config.address = plan.bus_address;
    config.cells = plan.twenty_cells ? 20 : 32;
    config.discharge = plan.discharge;
    config.current_encoding = plan.current_sensor ? simulator::CurrentEncoding::kSensor
                                                  : simulator::CurrentEncoding::kTenths;
    config.seed = seed * 1000003u + plan.data_id;
    config.faults = faults;
    s->module = std::make_unique<simulator::Module>(config);

    // The host keeps the address with bit 7 set; the device's settings turn it into the bus
    // address.
    Json::Value init(Json::objectValue);
    init["address"] = plan.bus_address | 0x80u;
    s->device->Init(controller_, plan.data_id, init);
    s->port = std::make_shared<OutboxPort>(&s->outbox);
    host_framework::AttachPort(*s->device, s->port);
    controller_->AddDevice(s->device.get());

    Json::Value app(Json::objectValue);
    app["dir"] = plan.reversed ? 1 : 0;
    app["current_ratio"] = plan.current_sensor ? 1 : 0;
    if (!plan.group_voltage_peers.empty()) {
      Json::Value ids(Json::arrayValue);
      for (unsigned int id : plan.group_voltage_peers) ids.append(id);
      app["group_voltage"] = ids;
    }
    if (plan.current_peer != 0) {
      app["r_data_id"] = plan.current_peer;
      app["r_current_field"] = "group_current";
    }
    Json::Value settings(Json::objectValue);
    settings["appSetting"] = app;
    s->device->InitSetting(settings);
    stations_.push_back(std::move(s));
  }
  report_.completed_per_device.assign(stations_.size(), 0);
}

Soak::~Soak() {
  for (auto& s : stations_) controller_->RemoveDevice(s->plan.data_id);
}

int Soak::StepOf(const Station& s) const {
  if (s.plan.twenty_cells) return static_cast<const Opened<Ondrell20>&>(*s.device).poll_step_;
  return static_cast<const Opened<Battery32>&>(*s.device).poll_step_;
}

int Soak::RetriesOf(const Station& s) const {
  if (s.plan.twenty_cells) return static_cast<const Opened<Ondrell20>&>(*s.device).retry_count_;
  return static_cast<const Opened<Battery32>&>(*s.device).retry_count_;
}

Station* Soak::Find(unsigned int data_id) {
  for (auto& s : stations_) {
    if (s->plan.data_id == data_id) return s.get();
  }
  return nullptr;
}

void Soak::Mismatch(const std::string& what) {
  ++report_.mismatches;
  if (report_.first_mismatches.size() < 20) report_.first_mismatches.push_back(what);
}

const Report& Soak::Run(std::uint64_t rounds) {
  while (report_.rounds_started < rounds) Tick();
  report_.rounds_open_at_end = 0;
  for (auto& s : stations_) {
    if (s->round_open) ++report_.rounds_open_at_end;
  }
  for (std::size_t i = 0; i < stations_.size(); ++i) {
    report_.completed_per_device[i] = stations_[i]->completed;
  }
  if (report_.rounds_completed + report_.rounds_abandoned + report_.rounds_open_at_end !=
      report_.rounds_started) {
    Mismatch("rounds started do not add up to completed + abandoned + open");
  }
  return report_;
}

void Soak::Tick() {
  ++report_.ticks;
  for (auto& sp : stations_) {
    Station& s = *sp;
    const int step = StepOf(s);
    // The device documents when a tick starts a new round: idle, or the round's three re-sends
    // used up.
    const bool new_round = step == 0 || RetriesOf(s) >= 3;
    if (new_round && s.round_open) Abandon(s, step);
    const std::size_t sent_before = s.outbox.size();
    if (s.device->RefreshStatus() != 1) Mismatch(Describe(s, "RefreshStatus did not return 1"));
    if (s.outbox.size() != sent_before + 1) Mismatch(Describe(s, "a tick sent no request"));
    if (new_round) {
      if (StepOf(s) != 1) Mismatch(Describe(s, "a new round did not start with A1"));
      s.round_open = true;
      s.answered.fill(false);
      ++report_.rounds_started;
    } else if (StepOf(s) != step) {
      Mismatch(Describe(s, "a re-send changed the poll step"));
    }
    Pump(s);
  }
  for (auto& s : stations_) s->module->Advance(poll_seconds_);
}

void Soak::Pump(Station& s) {
  std::size_t next = 0;
  while (next < s.outbox.size()) {
    const simulator::Bytes request = s.outbox[next++];
    for (const simulator::Reply& reply : s.module->Receive(request.data(), request.size())) {
      Deliver(s, reply);
    }
  }
  s.outbox.clear();
}

void Soak::Deliver(Station& s, const simulator::Reply& reply) {
  const int step = StepOfCommand(reply.command);
  ++report_.replies;
  if (reply.clean) ++report_.replies_clean;
  if (step == 0 || step != StepOf(s)) {
    Mismatch(Describe(s, "a reply arrived for a request that is not outstanding"));
    return;
  }
  s.latest[step] = reply;
  s.answered[step] = true;
  s.delivering = &s.latest[step];
  s.completed_during_delivery = false;
  bool taken = false;
  for (const simulator::Bytes& chunk : reply.chunks) {
    const std::size_t sent_before = s.outbox.size();
    simulator::Bytes copy = chunk;  // the device may be handed a buffer it can write
    const int result = s.device->process(copy.data(), static_cast<unsigned int>(copy.size()));
    if (result != (StepOf(s) != 0 ? 1 : 0)) {
      Mismatch(Describe(s, "process returned " + std::to_string(result) + " in step " +
                               std::to_string(StepOf(s))));
    }
    if (taken) continue;  // later pieces reach a device that has moved on
    if (s.completed_during_delivery) {
      taken = true;
    } else if (!s.round_open) {
      continue;  // the round broke off on an earlier piece
    } else if (s.outbox.size() > sent_before) {
      if (StepOf(s) != step + 1) Mismatch(Describe(s, "the round skipped a step"));
      Accept(s, step, reply);
      taken = true;
    } else if (StepOf(s) == 0) {
      Abandon(s, step);
    }
  }
  s.delivering = nullptr;
  if (taken) {
    if (reply.clean) {
      ++report_.clean_replies_taken;
    } else {
      ++report_.faulty_replies_taken;
    }
  }
  CheckServedValues(s);
  const Outcome expected = Expected(reply);
  if (expected != Outcome::kEither && taken != (expected == Outcome::kTaken)) {
    Mismatch(Describe(s, std::string("a reply to step ") + std::to_string(step) + " (" +
                             FaultNames(reply.faults) + ") was " +
                             (taken ? "taken" : "not taken")));
  }
}

// The device took the reply of `step` and sent the next request: mirror what it must now hold.
void Soak::Accept(Station& s, int step, const simulator::Reply& reply) {
  Model& m = s.model;
  if (step == 1) {
    const int n = s.plan.twenty_cells ? 20 : 32;
    for (int i = 0; i < n; ++i) {
      const int slot = s.plan.reversed ? n - 1 - i : i;
      m.cells[slot] = DecodeCell(reply.readings[i]);
    }
  } else if (step == 2) {
    float v = DecodeGroupVoltage(reply.raw);
    for (unsigned int id : s.plan.group_voltage_peers) {
      const Station* peer = Find(id);
      // A peer that has not completed a round refuses the query: no valid group voltage.
      if (peer == nullptr || !peer->model.ready) {
        v = 0.0f;
        break;
      }
      v = peer->model.group_voltage + v;
    }
    m.group_voltage = v;
  } else if (step == 3) {
    if (s.plan.current_sensor) {
      m.group_current = DecodeCurrentSensor(reply.raw);
    } else if (s.plan.current_peer != 0) {
      const Station* peer = Find(s.plan.current_peer);
      if (peer != nullptr && peer->model.ready) m.group_current = peer->model.group_current;
    } else {
      m.group_current = DecodeCurrentTenths(reply.raw);
    }
  }
}

// What the host reads between receives: the group values as last accepted (a rejected reply
// must not have touched them), the cells from the record of the last completed round.
void Soak::CheckServedValues(Station& s) {
  if (!s.model.ready) return;
  const auto same = [](float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; };
  const unsigned int id = s.plan.data_id;
  try {
    if (!same(s.device->Get_Value(id, "group_voltage"), s.model.group_voltage) ||
        !same(s.device->Get_Value(id, "group_current"), s.model.group_current) ||
        !same(s.device->Get_Value(id, "temperature"), s.model.temperature)) {
      Mismatch(Describe(s, "a group value differs from the last accepted reply"));
    }
    const int n = s.plan.twenty_cells ? 20 : 32;
    const int cell = static_cast<int>(report_.replies % static_cast<std::uint64_t>(n));
    const float served = s.device->Get_Value(id, "battery_" + std::to_string(cell) + "_value");
    if (!same(served, byte_order::ReadLeFloat(s.last_record + 4 + 4 * cell))) {
      Mismatch(Describe(s, "cell " + std::to_string(cell) + " differs from the last record"));
    }
  } catch (const std::out_of_range& e) {
    Mismatch(Describe(s, std::string("a value query was refused: ") + e.what()));
  }
}

void Soak::Abandon(Station& s, int step) {
  std::string cause = "no reply";
  if (step >= 1 && step <= 4 && s.answered[step]) cause = FaultNames(s.latest[step].faults);
  if (cause == "clean") {
    Mismatch(Describe(s, "a round broke off in step " + std::to_string(step) +
                             " although its last reply was clean"));
  }
  ++report_.rounds_abandoned;
  ++report_.abandoned_by_cause["step " + std::to_string(step) + ": " + cause];
  s.round_open = false;
}

void Soak::OnHistory(unsigned int data_id, const unsigned char* data, int len) {
  Station* sp = Find(data_id);
  if (sp == nullptr) {
    Mismatch("history from an unknown device " + std::to_string(data_id));
    return;
  }
  Station& s = *sp;
  ++report_.history_records_checked;
  if (s.delivering == nullptr || StepOfCommand(s.delivering->command) != 4 || !s.round_open) {
    Mismatch(Describe(s, "a history record outside the temperature reply of an open round"));
    return;
  }
  Model& m = s.model;
  float t = 0.0f;
  if (DecodeTemperature(s.delivering->raw, &t)) m.temperature = t;
  // A module that reports no group voltage (or a peer that could not be asked): the cells tell.
  const int n = s.plan.twenty_cells ? 20 : 32;
  if (!(m.group_voltage >= 40.0f)) {
    float sum = 0.0f;
    for (int i = 0; i < n; ++i) sum = sum + m.cells[i];
    m.group_voltage = sum;
  }

  unsigned char want[152] = {};
  byte_order::WriteLe32(want, data_id);
  for (int i = 0; i < 32; ++i) byte_order::WriteLeFloat(want + 4 + 4 * i, m.cells[i]);
  byte_order::WriteLeFloat(want + 132, m.group_voltage);
  byte_order::WriteLeFloat(want + 136, m.group_current);
  want[140] = 0;
  byte_order::WriteLeFloat(want + 141, m.temperature);
  if (len != 152 || std::memcmp(want, data, 145) != 0) {
    std::ostringstream what;
    what << "history record differs from the round's replies (group voltage "
         << byte_order::ReadLeFloat(data + 132) << " want " << m.group_voltage << ", current "
         << byte_order::ReadLeFloat(data + 136) << " want " << m.group_current << ")";
    Mismatch(Describe(s, what.str()));
  }
  std::memcpy(s.last_record, data, sizeof s.last_record);
  m.ready = true;
  ++s.completed;
  ++report_.rounds_completed;
  s.completed_during_delivery = true;
  s.round_open = false;
}

}  // namespace soak

#pragma once

// Several battery-monitoring modules on one RS-485 line, as on a controller with more than one
// string: every module hears every byte, and the one whose address a request names answers it.
// The line is parsed once here, and each good request is handed only to its module; a request
// for an address that no module on the line has goes unanswered. Modules may be set silent
// (still on the line, never answering) or taken off the line and put back while it runs.
//
// Pure like Module: bytes in, replies out, time advanced by the caller.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "simulator/bms_module.h"

namespace simulator {

// A reply and the module that gave it.
struct BusReply {
  std::uint8_t address = 0;
  Reply reply;
};

struct BusCounters {
  std::uint64_t bytes_received = 0;
  std::uint64_t requests = 0;       // good requests on the line, for any address
  std::uint64_t bad_checksums = 0;  // FE FE candidates dropped for their sum
  std::uint64_t unclaimed = 0;      // requests for an address with no module on the line
};

// Run-time commands, one a line: "silent ADDR", "answer ADDR", "remove ADDR", "add ADDR", the
// address in decimal or 0x.. hexadecimal.
enum class ControlVerb { kSilent, kAnswer, kRemove, kAdd };
struct ControlCommand {
  ControlVerb verb = ControlVerb::kSilent;
  std::uint8_t address = 0;
};
// None, with *error saying what is wrong, for anything else (surrounding blanks are allowed).
std::optional<ControlCommand> ParseControl(const std::string& line, std::string* error);

// Parses one command line and carries it out with apply, which returns false when no module was
// configured at the address. True with *report saying what was done ("0x02 silent"), or false
// with *report saying why the line was ignored ("ignored \"mute 2\": want silent, ...").
bool RunControl(const std::string& line, const std::function<bool(const ControlCommand&)>& apply,
                std::string* report);

// "" when every module has its own address, else "two modules at address 0x02".
std::string DuplicateAddress(const std::vector<Config>& configs);

// "0x02"
std::string AddressText(std::uint8_t address);

class Bus {
 public:
  // One module per configuration, in that order, all on the line (each silent if its Config
  // says so). Throws std::invalid_argument with DuplicateAddress's text when two share one.
  explicit Bus(const std::vector<Config>& configs);

  // The bytes the host wrote: requests may come in pieces or several at once. One BusReply per
  // good request that a module on the line answers, in the order of the requests.
  std::vector<BusReply> Receive(const std::uint8_t* data, std::size_t len);

  // Moves every module's time on, those off the line too: their batteries go on discharging.
  void Advance(double seconds);

  // Run-time control. Each returns false when no module was configured at that address; setting
  // a state it already has is no change and still true. Removed modules keep their state
  // (values, counters, fault draws) and come back with it; silent and removed are independent.
  bool SetSilent(std::uint8_t address, bool silent);
  bool Remove(std::uint8_t address);
  bool Add(std::uint8_t address);
  bool Apply(const ControlCommand& command);

  // RunControl with Apply.
  bool Command(const std::string& line, std::string* report);

  std::size_t size() const { return modules_.size(); }
  // In configuration order.
  const Module& module(std::size_t i) const { return modules_[i]; }
  std::vector<std::uint8_t> addresses() const;
  // nullptr when no module was configured at that address.
  const Module* Find(std::uint8_t address) const;
  const BusCounters& counters() const { return counters_; }

 private:
  int Index(std::uint8_t address) const { return index_[address]; }

  std::vector<Module> modules_;
  std::vector<bool> on_line_;
  std::array<int, 256> index_;  // address -> position in modules_, -1 for none
  RequestParser parser_;
  BusCounters counters_;
};

}  // namespace simulator

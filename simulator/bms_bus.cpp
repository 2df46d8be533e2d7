#include "simulator/bms_bus.h"

#include <cstdio>
#include <sstream>
#include <stdexcept>

#include "simulator/module_options.h"

namespace simulator {

namespace {

const char kCommandForm[] = "want silent, answer, remove or add and an address";

}  // namespace

std::string AddressText(std::uint8_t address) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", address);
  return text;
}

std::optional<ControlCommand> ParseControl(const std::string& line, std::string* error) {
  std::istringstream words(line);
  std::string verb, address, extra;
  words >> verb >> address >> extra;
  ControlCommand command;
  if (verb == "silent") {
    command.verb = ControlVerb::kSilent;
  } else if (verb == "answer") {
    command.verb = ControlVerb::kAnswer;
  } else if (verb == "remove") {
    command.verb = ControlVerb::kRemove;
  } else if (verb == "add") {
    command.verb = ControlVerb::kAdd;
  } else {
    if (error) *error = kCommandForm;
    return std::nullopt;
  }
  if (address.empty() || !extra.empty()) {
    if (error) *error = kCommandForm;
    return std::nullopt;
  }
  const std::optional<unsigned long long> value = ParseWhole(address, 255);
  if (!value) {
    if (error) *error = "the address is 0..255, decimal or 0x.., not \"" + address + "\"";
    return std::nullopt;
  }
  command.address = static_cast<std::uint8_t>(*value);
  return command;
}

bool RunControl(const std::string& line, const std::function<bool(const ControlCommand&)>& apply,
                std::string* report) {
  std::string why;
  const std::optional<ControlCommand> command = ParseControl(line, &why);
  if (command && !apply(*command)) why = "no module at address " + AddressText(command->address);
  if (!command || !why.empty()) {
    if (report) *report = "ignored \"" + line + "\": " + why;
    return false;
  }
  static const char* const kDone[] = {"silent", "answers", "removed", "added"};
  if (report)
    *report = AddressText(command->address) + " " + kDone[static_cast<int>(command->verb)];
  return true;
}

std::string DuplicateAddress(const std::vector<Config>& configs) {
  bool seen[256] = {};
  for (const Config& c : configs) {
    if (seen[c.address]) return "two modules at address " + AddressText(c.address);
    seen[c.address] = true;
  }
  return "";
}

Bus::Bus(const std::vector<Config>& configs) {
  const std::string duplicate = DuplicateAddress(configs);
  if (!duplicate.empty()) throw std::invalid_argument(duplicate);
  index_.fill(-1);
  for (const Config& c : configs) {
    index_[c.address] = static_cast<int>(modules_.size());
    modules_.emplace_back(c);
  }
  on_line_.assign(modules_.size(), true);
}

std::vector<BusReply> Bus::Receive(const std::uint8_t* data, std::size_t len) {
  counters_.bytes_received += len;
  const RequestParser::Result parsed = parser_.Feed(data, len);
  counters_.bad_checksums += parsed.bad_checksums;
  std::vector<BusReply> replies;
  for (const Request& request : parsed.requests) {
    ++counters_.requests;
    const int i = Index(request.address);
    if (i < 0 || !on_line_[i]) {
      ++counters_.unclaimed;
      continue;
    }
    if (std::optional<Reply> reply = modules_[i].Answer(request)) {
      replies.push_back({request.address, std::move(*reply)});
    }
  }
  return replies;
}

void Bus::Advance(double seconds) {
  for (Module& m : modules_) m.Advance(seconds);
}

bool Bus::SetSilent(std::uint8_t address, bool silent) {
  const int i = Index(address);
  if (i < 0) return false;
  modules_[i].set_silent(silent);
  return true;
}

bool Bus::Remove(std::uint8_t address) {
  const int i = Index(address);
  if (i < 0) return false;
  on_line_[i] = false;
  return true;
}

bool Bus::Add(std::uint8_t address) {
  const int i = Index(address);
  if (i < 0) return false;
  on_line_[i] = true;
  return true;
}

bool Bus::Apply(const ControlCommand& command) {
  switch (command.verb) {
    case ControlVerb::kSilent:
      return SetSilent(command.address, true);
    case ControlVerb::kAnswer:
      return SetSilent(command.address, false);
    case ControlVerb::kRemove:
      return Remove(command.address);
    case ControlVerb::kAdd:
      return Add(command.address);
  }
  return false;
}

bool Bus::Command(const std::string& line, std::string* report) {
  return RunControl(
      line, [this](const ControlCommand& c) { return Apply(c); }, report);
}

std::vector<std::uint8_t> Bus::addresses() const {
  std::vector<std::uint8_t> all;
  for (const Module& m : modules_) all.push_back(m.config().address);
  return all;
}

const Module* Bus::Find(std::uint8_t address) const {
  const int i = Index(address);
  return i < 0 ? nullptr : &modules_[i];
}

}  // namespace simulator

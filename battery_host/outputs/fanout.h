#pragma once

#include <vector>

#include "battery_host/outputs/output.h"

namespace outputs {

// Every output of the host behind one: each event goes to all of them, in the order they were
// added. The outputs are not owned.
class Fanout : public Output {
 public:
  void Add(Output* output) { outputs_.push_back(output); }

  void Start(const std::vector<DeviceInfo>& devices, const NoticeFn& notice) override {
    for (Output* o : outputs_) o->Start(devices, notice);
  }
  void Take(const HostEvent& event) override {
    for (Output* o : outputs_) o->Take(event);
  }
  void Stop() override {
    for (Output* o : outputs_) o->Stop();
  }

 private:
  std::vector<Output*> outputs_;
};

}  // namespace outputs

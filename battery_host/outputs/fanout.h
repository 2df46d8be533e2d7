#pragma once

#include <vector>

#include "battery_host/outputs/output.h"

// Every output of the host behind one: each event goes to all of them, in the order they were
// added. The outputs are not owned.
class Fanout : public outputs::Output {
 public:
  void Add(outputs::Output* output) { outputs_.push_back(output); }

  void Start(const std::vector<outputs::DeviceInfo>& devices,
             const outputs::NoticeFn& notice) override {
    for (outputs::Output* o : outputs_) o->Start(devices, notice);
  }
  void Take(const outputs::HostEvent& event) override {
    for (outputs::Output* o : outputs_) o->Take(event);
  }
  void Stop() override {
    for (outputs::Output* o : outputs_) o->Stop();
  }

 private:
  std::vector<outputs::Output*> outputs_;
};

#pragma once

// Running the battery-host program from a test and reading what it wrote: its exit code, its
// standard output and error, and its events file, with an independent reading of the module's
// replies that the history records must match.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <json/value.h>

#include "simulator/bms_module.h"

namespace host_run {

using Bytes = std::vector<unsigned char>;

// A scratch directory, removed with its files afterwards.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct Result {
  int exit_code = -1;
  std::string out;
  std::string err;
};

// Starts battery-host with the arguments, standard output and error into files of `dir`.
// Returns the child's pid; Wait() collects it.
int Spawn(const std::vector<std::string>& args, const ScratchDir& dir);
Result Wait(int pid, const ScratchDir& dir);
inline Result Run(const std::vector<std::string>& args, const ScratchDir& dir) {
  return Wait(Spawn(args, dir), dir);
}

std::string ReadFile(const std::string& path);
std::vector<Json::Value> ReadEvents(const std::string& path);
Bytes FromHex(const std::string& hex);
std::vector<Bytes> Records(const std::vector<Json::Value>& events, const std::string& kind);

// What one completed round must have stored, read from the reply bytes the host received after
// each of the round's requests, with the module's checksum checked here again.
struct Measured {
  float cells[32] = {};
  float group_voltage = 0.0f;
  float group_current = 0.0f;
  float temperature = 0.0f;
};

// Every completed round of the events (one per "send" event), in order. `temperature` is what
// the device held before the first round (0, or the restored value). Adds a test failure for a
// reply that is not a valid frame.
std::vector<Measured> MeasuredRounds(const std::vector<Json::Value>& events, float temperature);

// A pseudo-terminal standing in for a serial adapter: the test is the module on the master side,
// the host opens the slave path. The slave is held open here too, so that the master never sees
// a hang-up while the host has the line closed; Unplug() closes both, as a pulled adapter.
struct Pty {
  Pty();
  ~Pty() { Unplug(); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
  void Unplug();
  int master = -1;
  int slave = -1;
  std::string slave_path;
};

// A descriptor that becomes readable when the process ends.
int PidFd(int pid);

// The module on the test's side of a pseudo-terminal until the host ends (its pidfd becomes
// readable) or `after` returns false. `after` sees every reply once it is written, with the
// count of temperature replies (the last request of a round) so far. `master` is asked before
// every read: a test that swaps the line (a new adapter under the same name) returns the new one.
void ServeModule(int exit_fd, const std::function<int()>& master,
                 const std::function<bool(const simulator::Reply&, int)>& after);

// The fields of a stored record.
float FloatAt(const Bytes& record, std::size_t offset);
std::uint32_t U32At(const Bytes& record, std::size_t offset);

}  // namespace host_run

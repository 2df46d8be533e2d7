#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "battery_host/bus/line.h"
#include "battery_host/bus/pollable.h"

namespace bus {

// The host's one loop: every line's period timer and port, the signals, and whatever else the
// host waits on (the messages of the outputs, the terminals it writes to: Pollable). Everything
// runs on this one thread, so every device sees one call at a time. Nothing spins: the loop sleeps
// in poll() until a descriptor is ready or the nearest turn's reply timeout has passed.
struct LoopLimits {
  unsigned int rounds = 0;  // stop once every device completed this many rounds (0: never)
  double duration_s = 0.0;  // stop after this long (0: never)
};

enum class LoopEnd {
  kSignal,           // SIGINT, SIGTERM or SIGHUP
  kRoundsDone,       // every device completed the requested rounds
  kDurationDone,     // the requested time has passed
  kRoundsTimedOut,   // the rounds did not complete in time
  kSimulatorExited,  // a simulator child ended on its own
  kError,            // the loop itself failed (message given)
};

class PollLoop {
 public:
  struct Simulator {
    pid_t pid;
    std::string line;  // for the message
  };

  // `others` are served in their order, after the signals and before the lines.
  PollLoop(std::vector<Line*> lines, std::vector<Pollable*> others,
           std::vector<Simulator> simulators, LoopLimits limits);
  ~PollLoop();

  // Takes SIGINT, SIGTERM, SIGHUP and SIGCHLD through a signalfd; starts the lines' timers.
  bool Start(std::string* error);
  LoopEnd Run(std::string* message);
  // A simulator child that the loop reaped itself (it exited).
  pid_t exited_simulator() const { return exited_simulator_; }

  // Periods allowed for the requested rounds: eight per round, plus a margin of at least twenty
  // periods or five seconds, whichever is longer.
  static unsigned long long RoundsDeadlinePeriods(unsigned int rounds, unsigned int interval_ms);

 private:
  bool RoundsDone() const;
  bool RoundsTimedOut(std::string* message) const;

  std::vector<Line*> lines_;
  std::vector<Pollable*> others_;
  std::vector<Simulator> simulators_;
  LoopLimits limits_;
  int signal_fd_ = -1;
  pid_t exited_simulator_ = -1;
};

}  // namespace bus

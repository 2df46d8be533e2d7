#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "battery_host/bus/line.h"

class NoticeHub;
class TerminalWriter;

// The host's one loop: every line's period timer and port, the signals, the messages of the
// outputs, and the terminals the host writes to. Everything runs on this one thread, so every
// device sees one call at a time. Nothing spins: the loop sleeps in poll() until a descriptor is
// ready or the nearest turn's reply timeout has passed.
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
  using NoticeSink = std::function<void(const std::string&)>;
  struct Simulator {
    pid_t pid;
    std::string line;  // for the message
  };

  PollLoop(std::vector<Line*> lines, NoticeHub& notices, NoticeSink show,
           std::vector<TerminalWriter*> writers, std::vector<Simulator> simulators,
           LoopLimits limits);
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
  void ShowNotices();

  std::vector<Line*> lines_;
  NoticeHub& notices_;
  NoticeSink show_;
  std::vector<TerminalWriter*> writers_;
  std::vector<Simulator> simulators_;
  LoopLimits limits_;
  int signal_fd_ = -1;
  pid_t exited_simulator_ = -1;
};

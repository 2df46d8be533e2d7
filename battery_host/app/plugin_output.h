#pragma once

#include <string>

namespace app {

// The plug-in writes its diagnostic lines to standard output. While the host starts they are
// held in memory, so that a start that is refused leaves no log file behind; once every check has
// passed the log (or /dev/null) becomes standard output, beginning with what was held. The view
// keeps the original standard output, so that the plug-in's lines cannot tear it.
class PluginOutput {
 public:
  PluginOutput() = default;
  ~PluginOutput();
  PluginOutput(const PluginOutput&) = delete;
  PluginOutput& operator=(const PluginOutput&) = delete;

  // Before the plug-in is loaded.
  bool Hold(std::string* error);
  // After every check; `log` empty: the plug-in's lines are discarded.
  bool Settle(const std::string& log, std::string* error);

  // The original standard output, for the view.
  int view_fd() const { return view_fd_; }

 private:
  int view_fd_ = -1;
  int held_fd_ = -1;
};

}  // namespace app

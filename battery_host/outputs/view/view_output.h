#pragma once

#include <chrono>
#include <map>
#include <string>

#include "battery_host/outputs/output.h"
#include "battery_host/outputs/view/live_view.h"
#include "battery_host/outputs/view/terminal_writer.h"

namespace view {

// The live view as an output of the host: on a terminal the picture of every string is redrawn
// in place whenever something in it changed; otherwise one line per completed round. It runs on
// the poll thread but never waits for the terminal (TerminalWriter): a paused or unread terminal
// only makes it skip pictures, which it says once.
class ViewOutput : public outputs::Output {
 public:
  // `fd` is where the view goes (the host's original standard output); `sources` says per data
  // id where its line is, for the block's first line; `prefix` what goes before each line of
  // the plain view (a journal's priority).
  ViewOutput(int fd, bool redraw, std::map<unsigned int, std::string> sources,
             outputs::LinePrefixFn prefix = {});

  void Start(const std::vector<outputs::DeviceInfo>& devices,
             const outputs::NoticeFn& notice) override;
  void Take(const outputs::HostEvent& event) override;
  void Stop() override;

  // The host's latest message, shown under the picture.
  void SetNotice(const std::string& message);

  TerminalWriter& writer() { return writer_; }

 private:
  DeviceView* Find(unsigned int data_id);
  void Show(const DeviceView* changed_round);
  void Draw();
  std::string Prefix(outputs::NoticeKind kind) const { return prefix_ ? prefix_(kind) : ""; }

  TerminalWriter writer_;
  bool redraw_;
  std::map<unsigned int, std::string> sources_;
  outputs::LinePrefixFn prefix_;
  ViewState state_;
  outputs::NoticeFn notice_;
  bool dirty_ = false;  // something changed since the last picture
  std::chrono::steady_clock::time_point drawn_at_{};
};

}  // namespace view

#include "battery_host/outputs/view/view_output.h"

#include <sys/ioctl.h>

#include <chrono>

#include "battery_host/support/input_file.h"

namespace view {

ViewOutput::ViewOutput(int fd, bool redraw, std::map<unsigned int, std::string> sources,
                       outputs::LinePrefixFn prefix)
    : writer_(fd, redraw ? TerminalWriter::Mode::kFrames : TerminalWriter::Mode::kLines),
      redraw_(redraw),
      sources_(std::move(sources)),
      prefix_(std::move(prefix)) {}

void ViewOutput::Start(const std::vector<outputs::DeviceInfo>& devices,
                       const outputs::NoticeFn& notice) {
  notice_ = notice;
  for (const outputs::DeviceInfo& info : devices) {
    DeviceView d;
    d.info = info;
    // Names and ports come from the site file: no terminal escape of theirs reaches the screen.
    d.name = support::Printable(info.name.empty() ? "string " + std::to_string(info.data_id)
                                                  : info.name);
    d.source = support::Printable(sources_[info.data_id]);
    d.info.current_field = support::Printable(info.current_field);
    state_.devices.push_back(std::move(d));
  }
}

DeviceView* ViewOutput::Find(unsigned int data_id) {
  for (DeviceView& d : state_.devices) {
    if (d.info.data_id == data_id) return &d;
  }
  return nullptr;
}

void ViewOutput::Take(const outputs::HostEvent& e) {
  DeviceView* d = Find(e.data_id);
  if (d == nullptr) return;
  switch (e.kind) {
    case outputs::EventKind::kHistory:
      if (e.bytes.size() != outputs::StringRecord::kSize) return;
      d->record = outputs::DecodeStringRecord(e.bytes.data());
      d->restored = false;
      ++d->status.rounds_completed;
      Show(d);
      return;
    case outputs::EventKind::kRestore:
      if (e.bytes.size() != outputs::StringRecord::kSize) return;
      d->record = outputs::DecodeStringRecord(e.bytes.data());
      d->restored = true;
      Show(nullptr);
      return;
    case outputs::EventKind::kThreshold: {
      // A raised alarm shows the value of the latest round, not the one that raised it.
      auto raised = d->alarms.find(e.rule.key);
      if (raised != d->alarms.end() && e.rule.alarm) {
        raised->second.value = e.rule.value;
        raised->second.limit = e.rule.limit;
      }
      return;
    }
    case outputs::EventKind::kAlarm:
      if (e.raised) {
        d->alarms[e.rule.key] = ActiveAlarm{e.rule.label, e.rule.value, e.rule.limit};
      } else {
        d->alarms.erase(e.rule.key);
      }
      return;  // shown with the round's record, which follows at once
    case outputs::EventKind::kPort:
      d->status.port_up = e.state != "lost";
      Show(nullptr);
      return;
    case outputs::EventKind::kTurnEnd: {
      // Said at once: the turn that ended silent, and the first answer after silence. A turn
      // with the port down is neither (the port's own line says that).
      const bool silent = e.status.silent;
      const bool silence_changed = e.status.port_up && silent != d->silent;
      const bool changed = d->status.rounds_abandoned != e.status.rounds_abandoned ||
                           d->status.stalled != e.status.stalled ||
                           d->status.port_up != e.status.port_up || silence_changed;
      d->status = e.status;
      if (silence_changed) {
        d->silent = silent;
        if (!redraw_ && silent) writer_.Put(Prefix(outputs::NoticeKind::kTrouble) + SilentLine(*d));
        if (!redraw_ && !silent)
          writer_.Put(Prefix(outputs::NoticeKind::kOver) + AnswersAgainLine(*d));
      }
      if (changed) Show(nullptr);
      return;
    }
    case outputs::EventKind::kTx:
    case outputs::EventKind::kRx:
    case outputs::EventKind::kSend:
      return;
  }
}

void ViewOutput::Show(const DeviceView* round_of) {
  if (redraw_) {
    // A picture of every string at most every 100 ms: with many devices each period ends many
    // turns, and a picture drawn for each would mostly be replaced before the terminal took it.
    // The next event (every turn makes one) draws what was left waiting.
    const auto now = std::chrono::steady_clock::now();
    dirty_ = true;
    if (now - drawn_at_ < std::chrono::milliseconds(100)) return;
    Draw();
    drawn_at_ = now;
  } else if (round_of != nullptr) {
    writer_.Put(Prefix(outputs::NoticeKind::kRound) + RenderLine(*round_of));
  }
  if (writer_.TakeFirstDrop() && notice_) {
    notice_(redraw_ ? "the terminal is not keeping up: the view skips pictures and shows the "
                      "latest"
                    : "standard output is not keeping up: round lines are dropped");
  }
}

void ViewOutput::Draw() {
  dirty_ = false;
  // The picture must fit the terminal, or every redraw scrolls: its size is asked each time
  // (a resized window is followed at the next picture); 80x24 when it cannot say.
  int columns = 80;
  int rows = 24;
  winsize size{};
  if (ioctl(writer_.fd(), TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
    columns = size.ws_col;
    rows = size.ws_row;
  }
  // Cursor home, clear to the end of the screen, then the picture.
  writer_.Put("\x1b[H\x1b[J" + RenderView(state_, true, columns, rows));
}

void ViewOutput::SetNotice(const std::string& message) {
  state_.notice = message;
  if (redraw_) Show(nullptr);
}

void ViewOutput::Stop() {
  if (redraw_ && dirty_) Draw();
  writer_.Drain(200);
}

}  // namespace view

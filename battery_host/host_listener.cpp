#include "battery_host/host_listener.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "battery_host/cache_file.h"
#include "host/xqr_vdevice.h"

void ViewOutput::Write(const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a closed terminal must not stop the host
    done += static_cast<std::size_t>(n);
  }
}

void ViewOutput::Show(const ViewState& state) {
  if (redraw_) {
    // Cursor home, clear to the end of the screen, then the picture.
    Write("\x1b[H\x1b[J" + RenderView(state, true));
  } else {
    Write(RenderLine(state));
  }
}

HostListener::HostListener(EventLog& events, ViewOutput& view, std::string cache_path, int cells,
                           std::string source)
    : events_(events), view_(view), cache_path_(std::move(cache_path)) {
  state_.cells = cells;
  state_.source = std::move(source);
}

void HostListener::OnSendSP(const XQRVDevice&, int record_code, const unsigned char* data,
                            int len, bool) {
  events_.Send(record_code, data, static_cast<std::size_t>(len));
}

void HostListener::OnCheckThreshold(const XQRVDevice&, const rule_value& rule) {
  events_.Threshold(rule);
  // A raised alarm shows the value of the latest round, not the one that raised it.
  auto raised = state_.alarms.find(rule.key);
  if (raised != state_.alarms.end() && rule.alarm) {
    raised->second.value = rule.value;
    raised->second.limit = rule.limit;
  }
}

void HostListener::OnAlarmChange(const XQRVDevice&, const rule_value& rule, bool raised) {
  events_.Alarm(rule, raised);
  if (raised) {
    state_.alarms[rule.key] = ActiveAlarm{rule.label, rule.value, rule.limit};
  } else {
    state_.alarms.erase(rule.key);
  }
}

void HostListener::OnSaveHistory(const XQRVDevice&, const unsigned char* data, int len) {
  events_.History(data, static_cast<std::size_t>(len));
  if (len != static_cast<int>(StringRecord::kSize)) {
    Notice("history record of " + std::to_string(len) + " bytes ignored");
    return;
  }
  ++state_.rounds;
  state_.record = DecodeStringRecord(data);
  if (!cache_path_.empty()) {
    std::string error;
    if (!WriteCacheFile(cache_path_, data, static_cast<std::size_t>(len), &error)) {
      cache_failed_ = true;
      Notice(error);
    }
  }
  view_.Show(state_);
}

void HostListener::Notice(const std::string& message) {
  std::fprintf(stderr, "battery-host: %s\n", message.c_str());
  std::fflush(stderr);
  state_.notice = message;
}

void HostListener::ShowRestored(const unsigned char* data) {
  events_.Restore(data, StringRecord::kSize);
  state_.record = DecodeStringRecord(data);
  view_.Show(state_);
}

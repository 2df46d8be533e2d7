#pragma once

#include <string>

#include "battery_host/event_log.h"
#include "battery_host/live_view.h"
#include "host/xqr_listener.h"

// Where the view goes: the terminal the host was started from (a dup of the original standard
// output, since the plug-in's own diagnostic lines are sent elsewhere), redrawn in place on a
// terminal, one line per round otherwise.
class ViewOutput {
 public:
  ViewOutput(int fd, bool redraw) : fd_(fd), redraw_(redraw) {}
  void Show(const ViewState& state);

 private:
  void Write(const std::string& text);
  int fd_;
  bool redraw_;
};

// The host's side of the device's output: every record, threshold request and alarm change goes
// to the events file, every history record to the cache and to the view.
class HostListener : public XQRListener {
 public:
  HostListener(EventLog& events, ViewOutput& view, std::string cache_path, int cells,
               std::string source);

  void OnSendSP(const XQRVDevice& device, int record_code, const unsigned char* data, int len,
                bool flag) override;
  void OnCheckThreshold(const XQRVDevice& device, const rule_value& rule) override;
  void OnAlarmChange(const XQRVDevice& device, const rule_value& rule, bool raised) override;
  void OnSaveHistory(const XQRVDevice& device, const unsigned char* data, int len) override;

  // A record restored from the cache: shown until the first round replaces it.
  void ShowRestored(const unsigned char* data);

  // A host message: on standard error at once, and in the view until the next one.
  void Notice(const std::string& message);
  void SetPortUp(bool up) { state_.port_up = up; }

  unsigned rounds() const { return state_.rounds; }
  bool cache_failed() const { return cache_failed_; }

 private:
  EventLog& events_;
  ViewOutput& view_;
  std::string cache_path_;
  ViewState state_;
  bool cache_failed_ = false;
};

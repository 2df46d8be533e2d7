#include "battery_host/event_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "battery_host/json_text.h"

using json_text::Float;
using json_text::Hex;
using json_text::Quoted;

EventLog::~EventLog() {
  if (fd_ >= 0) close(fd_);
}

bool EventLog::Open(const std::string& path, std::string* error) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot open events file " + path + ": " + std::strerror(errno);
    return false;
  }
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
  return true;
}

void EventLog::Line(const std::string& json_object) {
  if (fd_ < 0) return;
  const std::string line = json_object + "\n";
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = write(fd_, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      healthy_ = false;
      return;
    }
    done += static_cast<std::size_t>(n);
  }
}

void EventLog::Tx(const unsigned char* data, std::size_t len) {
  Line("{\"event\":\"tx\",\"bytes\":\"" + Hex(data, len) + "\"}");
}

void EventLog::Rx(const unsigned char* data, std::size_t len) {
  Line("{\"event\":\"rx\",\"bytes\":\"" + Hex(data, len) + "\"}");
}

void EventLog::Send(int code, const unsigned char* data, std::size_t len) {
  Line("{\"event\":\"send\",\"code\":" + std::to_string(code) + ",\"record\":\"" +
       Hex(data, len) + "\"}");
}

void EventLog::History(const unsigned char* data, std::size_t len) {
  Line("{\"event\":\"history\",\"record\":\"" + Hex(data, len) + "\"}");
}

void EventLog::Restore(const unsigned char* data, std::size_t len) {
  Line("{\"event\":\"restore\",\"record\":\"" + Hex(data, len) + "\"}");
}

void EventLog::Threshold(const rule_value& rule) {
  Line("{\"event\":\"threshold\",\"key\":" + Quoted(rule.key) + ",\"label\":" +
       Quoted(rule.label) + ",\"value\":" + Float(rule.value) +
       ",\"index\":" + std::to_string(rule.index) + "}");
}

void EventLog::Alarm(const rule_value& rule, bool raised) {
  Line(std::string("{\"event\":\"alarm\",\"state\":\"") + (raised ? "raised" : "cleared") +
       "\",\"key\":" + Quoted(rule.key) + ",\"label\":" + Quoted(rule.label) +
       ",\"value\":" + Float(rule.value) + ",\"limit\":" + Float(rule.limit) + "}");
}

void EventLog::Port(const std::string& state, const std::string& path,
                    const std::string& detail) {
  Line("{\"event\":\"port\",\"state\":" + Quoted(state) + ",\"path\":" + Quoted(path) +
       ",\"detail\":" + Quoted(detail) + "}");
}

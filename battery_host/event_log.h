#pragma once

#include <cstddef>
#include <string>

#include "host/rule_value.h"

// The events file: JSON Lines, one object per line, each line written with one write() call as
// soon as the event happens, so that a reader (or a crash) never sees half a line.
//   {"event":"tx","bytes":"fefe01a1a2"}                   request frame written to the port
//   {"event":"rx","bytes":"ed01..."}                      bytes read from the port, as handed on
//   {"event":"send","code":5013,"record":"<304 hex>"}     record handed to SendSP
//   {"event":"history","record":"<304 hex>"}              record saved as history
//   {"event":"threshold","key":..,"label":..,"value":..,"index":..}
//   {"event":"alarm","state":"raised"|"cleared","key":..,"label":..,"value":..,"limit":..}
//   {"event":"port","state":"open"|"lost"|"reopened","path":..,"detail":..}
//   {"event":"restore","record":"<304 hex>"}              record restored from the cache
class EventLog {
 public:
  EventLog() = default;
  ~EventLog();
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  // Creates or truncates the file. Without a call to Open every event is dropped.
  bool Open(const std::string& path, std::string* error);
  bool IsOpen() const { return fd_ >= 0; }

  void Tx(const unsigned char* data, std::size_t len);
  void Rx(const unsigned char* data, std::size_t len);
  void Send(int code, const unsigned char* data, std::size_t len);
  void History(const unsigned char* data, std::size_t len);
  void Restore(const unsigned char* data, std::size_t len);
  void Threshold(const rule_value& rule);
  void Alarm(const rule_value& rule, bool raised);
  void Port(const std::string& state, const std::string& path, const std::string& detail);

  // False once a write failed (disk full, ...); the host reports it once and carries on.
  bool Healthy() const { return healthy_; }

 private:
  void Line(const std::string& json_object);

  int fd_ = -1;
  bool healthy_ = true;
};

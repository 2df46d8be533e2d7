#include "battery/battery.h"

#include <cstring>
#include <stdexcept>

#include "battery/frame.h"
#include "battery/link_settings.h"
#include "battery/local_clock.h"

Battery::Battery() { baud_rate_ = 19200; }

Battery::~Battery() = default;

unsigned char Battery::GetMMCheckSum(unsigned char* data, int len) {
  return frame::Checksum(data, len);
}

// Every request discards what is held: a reply that was half received when a request is re-sent
// is lost, and whatever arrives next is judged as the answer to this request.
void Battery::SendRequest(unsigned char command, int step) {
  msg_len_ = 0;
  const auto request = frame::BuildRequest(addr_, command);
  XQRSPDevice::SendData(request.data(), frame::kRequestLen);
  poll_step_ = step;
  last_update_ = local_clock::Now();
}

void Battery::CallVoltage() { SendRequest(frame::kCmdCellVoltages, kCellVoltages); }
void Battery::CallGroupVoltage() { SendRequest(frame::kCmdGroupVoltage, kGroupVoltage); }
void Battery::CallCurrent() { SendRequest(frame::kCmdCurrent, kCurrent); }
void Battery::CallTemperature() { SendRequest(frame::kCmdTemperature, kTemperature); }

void Battery::ResendOutstanding() {
  switch (poll_step_) {
    case kCellVoltages:
      CallVoltage();
      break;
    case kGroupVoltage:
      CallGroupVoltage();
      break;
    case kCurrent:
      CallCurrent();
      break;
    case kTemperature:
      CallTemperature();
      break;
    default:
      break;
  }
}

// The host's poll period is the only reply timeout. A round shares three re-sends among its four
// requests; the fourth tick that still finds a request open starts over with the cell voltages.
int Battery::RefreshStatus() {
  if (poll_step_ != kIdle) {
    const int taken = retry_count_;
    retry_count_ = taken + 1;
    if (taken <= 2) {
      ResendOutstanding();
      return 1;
    }
  }
  retry_count_ = 0;
  XQRSPDevice::RefreshStatus();
  CallVoltage();
  return 1;
}

int Battery::process(unsigned char* data, unsigned int len) {
  last_update_ = local_clock::Now();

  // Compared without wrap-around: a huge len must not sum past the capacity check.
  if (msg_len_ > frame::kReceiveCapacity || len > frame::kReceiveCapacity - msg_len_) {
    poll_step_ = kIdle;
    msg_len_ = 0;
    return 0;
  }
  // A host fault: a chunk without bytes. Its length has been judged like any other's; what fits
  // is taken as no bytes at all.
  if (data == nullptr) len = 0;

  // memmove: the host may hand us a pointer into msg_buf itself.
  if (len > 0 && msg_len_ == 0) {
    // A reply starts at its 0xED; line noise before it is dropped.
    const void* start = std::memchr(data, frame::kReplyStart, len);
    if (start != nullptr) {
      const auto p = static_cast<unsigned int>(static_cast<const unsigned char*>(start) - data);
      std::memmove(msg_buf, data + p, len - p);
      msg_len_ = len - p;
    }
  } else if (len > 0) {
    // Inside a frame every byte counts, 0xED included.
    std::memmove(msg_buf + msg_len_, data, len);
    msg_len_ += len;
  }

  switch (poll_step_) {
    case kCellVoltages:
      return ProcessBatteryVoltage();
    case kGroupVoltage:
    case kCurrent:
    case kTemperature:
      return HandleShortReply();
    default:
      // Idle: the bytes stay until the next request clears them.
      return 0;
  }
}

int Battery::HandleShortReply() {
  if (msg_len_ < frame::kShortReplyLen) {
    // A reply split across two receives is not waited for; the next tick starts a new round.
    poll_step_ = kIdle;
    return 0;
  }
  msg_len_ = 0;
  std::uint16_t raw = 0;
  if (!frame::ParseShortReply(msg_buf, addr_, &raw)) {
    poll_step_ = kIdle;
    return 0;
  }
  const float value = static_cast<float>(raw);
  switch (poll_step_) {
    case kGroupVoltage:
      DecodeGroupVoltage(value);
      CallCurrent();
      return 1;
    case kCurrent:
      DecodeCurrent(value);
      CallTemperature();
      return 1;
    default:
      DecodeTemperature(value);
      poll_step_ = kIdle;
      RoundDone();
      if (!data_ready_) data_ready_ = true;
      return 0;
  }
}

// Single precision, one rounding per operation, in this order: the stored values must match the
// controller's, bit for bit.
void Battery::DecodeGroupVoltage(float raw) {
  float v = version_ == 2 ? raw / 100.0f : raw / 10.0f;
  v = v * group_a_;
  v = v + group_b_;
  group_voltage_ = v;
  group_voltage_valid_ = true;
  // Strings split over several modules: each peer adds its own share.
  for (unsigned int id : group_voltage_ids_) {
    try {
      group_voltage_ = Get_SP_Value(id, "group_voltage") + group_voltage_;
    } catch (const std::out_of_range&) {
      group_voltage_ = 0.0f;
      group_voltage_valid_ = false;
      break;
    }
  }
}

void Battery::DecodeCurrent(float raw) {
  if (current_ratio_ != 0) {
    // Hall sensor: 2.5 V at zero current, 1.25 V per 50 A.
    float c = raw / 10.0f;
    c = c / 125.0f;
    c = c - 2.0f;
    c = c * 50.0f;
    group_current_ = c;
  } else if (link_settings::TakesPeerCurrent(current_ratio_, r_data_id_, r_current_field_)) {
    // Another device measures the current; the module's own reading is ignored.
    try {
      group_current_ = Get_SP_Value(static_cast<unsigned int>(r_data_id_), r_current_field_);
    } catch (const std::out_of_range&) {
      // keep the previous current
    }
  } else {
    group_current_ = raw / 10.0f;
  }
}

void Battery::DecodeTemperature(float raw) {
  const float t = raw / 100.0f;
  // A disconnected probe reads 0 or far out of range; keep the last good temperature.
  if (t > 0.0f && t <= 100.0f) temperature_ = t;
}

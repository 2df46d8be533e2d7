#include "string_device/battery32.h"

#include <cstring>

#include "battery/diag_line.h"
#include "battery/frame.h"
#include "battery/local_clock.h"
#include "string_device/cell_frame.h"
#include "string_device/signal_key.h"

Battery32::Battery32() {
  device_type_ = "battery_32";
  // The keys, once per process, before any round. The labels wait for the cell count: Ondrell20
  // sets its own, and otherwise the first round builds them.
  signal_key::Fixed();
}

void Battery32::PrepareCellLabels() {
  const std::size_t count = static_cast<std::size_t>(
      cell_count_ < 0
          ? 0
          : (cell_count_ > signal_key::kMaxCells ? signal_key::kMaxCells : cell_count_));
  if (cell_labels_.size() == count && labels_start_ == battery_start_) return;
  cell_labels_.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    // 64-bit: any battery_start_ gives a plain decimal label without overflow.
    cell_labels_[i] = signal_key::CellLabel(static_cast<long long>(battery_start_) +
                                            static_cast<long long>(i) + 1);
  }
  labels_start_ = battery_start_;
}

Battery32::~Battery32() = default;

// "Battery32 <data id><what>"
void Battery32::WriteDeviceLine(const char* what) const {
  DiagLine().Text("Battery32 ").Unsigned(DataId()).Text(what).Write();
}

int Battery32::ProcessBatteryVoltage() { return ProcessCellFrame(32, true, true); }

int Battery32::ProcessCellFrame(int n, bool drop_whole_buffer, bool report) {
  if (msg_len_ < frame::kCellReplyLen) return 1;  // keep collecting
  // After a rejection the next request clears what is left; on success CallGroupVoltage does.
  if (drop_whole_buffer) {
    msg_len_ = 0;
  } else {
    msg_len_ -= frame::kCellReplyLen;
  }

  if (msg_buf[0] != frame::kReplyStart || msg_buf[frame::kReplyAddr] != addr_) {
    if (report) {
      DiagLine().Text("msg_buf[0] == 0xed && msg_buf[1] == addr_ failed").Write();
    }
    poll_step_ = kIdle;
    return 0;
  }
  if (GetMMCheckSum(msg_buf + frame::kReplyAddr, frame::kCellChecksummedLen) !=
      msg_buf[frame::kCellChecksum]) {
    if (report) WriteDeviceLine(" checksum failed");
    poll_step_ = kIdle;
    return 0;
  }

  cell_frame::Decoding d;
  d.battery_type = battery_type_;
  d.adjust = battery_adjust_;
  d.t0 = t0_;
  d.t31 = t31_;
  d.dir = dir_;
  cell_frame::DecodeCells(msg_buf, n, d, cells_);

  if (report) WriteDeviceLine(" before CallGroupVoltage");
  CallGroupVoltage();
  if (report) WriteDeviceLine(" after CallGroupVoltage");
  return 1;
}

bool Battery32::LoadFromCache(const unsigned char* data, int length) {
  if (data == nullptr || length != static_cast<int>(sizeof(Battery32_Data_t))) return false;
  std::memcpy(&data_, data, sizeof(Battery32_Data_t));
  group_voltage_ = record::GroupVoltage(data_);
  group_current_ = record::GroupCurrent(data_);
  temperature_ = record::Temperature(data_);
  data_ready_ = true;
  last_update_ = local_clock::Now();
  return true;
}

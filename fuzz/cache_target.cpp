// LoadFromCache with arbitrary bytes, through both overloads (bytes and length; the host's
// string forwarder), on Battery32/Ondrell20 and on the plain record device whose restore runs a
// round. Only exactly 152 bytes are taken, and then exactly as given; any other length changes
// nothing. After a restore, the group values are served bit for bit from the stored record, and
// a following good round rewrites the record from the decoded values only.
//
// Input: one byte picks device kind and overload, the rest are the stored bytes.

#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"

namespace {

constexpr unsigned int kDataId = 31;
constexpr int kRecordSize = static_cast<int>(sizeof(Battery32_Data_t));

// The record device without a string decoder: its restore is UniDataDevice's own, which runs a
// round with the restored record.
class PlainRecordDevice : public BatteryStringDevice {
 public:
  int ProcessBatteryVoltage() override { return 1; }
  const unsigned char* RecordBytes() const { return Bytes(); }
};

bool SameBits(float a, const std::uint8_t* le) {
  const float b = byte_order::ReadLeFloat(le);
  return std::memcmp(&a, &b, sizeof a) == 0;
}

void PlainRestore(bool as_string, const std::string& bytes) {
  auto controller = std::make_shared<XQRController>();
  fuzz::CountingListener listener;
  controller->SetListener(&listener);
  PlainRecordDevice device;
  device.Init(controller, kDataId, Json::Value(Json::objectValue));
  unsigned char before[kRecordSize];
  std::memcpy(before, device.RecordBytes(), sizeof before);

  const bool taken =
      as_string ? device.LoadFromCache(bytes)
                : device.LoadFromCache(reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<int>(bytes.size()));
  FUZZ_CHECK(taken == (bytes.size() == sizeof(Battery32_Data_t)));
  if (!taken) {
    FUZZ_CHECK(std::memcmp(before, device.RecordBytes(), sizeof before) == 0);
    FUZZ_CHECK(!device.data_ready_ && listener.records == 0 && listener.histories == 0);
    return;
  }
  // The restored record was sent and stored once, re-stamped, otherwise as given.
  FUZZ_CHECK(device.data_ready_);
  FUZZ_CHECK(listener.records == 1 && listener.histories == 1);
  FUZZ_CHECK(std::memcmp(device.RecordBytes(), bytes.data(), 145) == 0);
  FUZZ_CHECK(std::memcmp(listener.last_history.data(), device.RecordBytes(), sizeof before) == 0);
}

void StringRestore(bool twenty, bool as_string, const std::string& bytes) {
  fuzz::DeviceUnderTest dut(twenty, kDataId, 0x81);
  Battery32& device = dut.device();
  FUZZ_CHECK(device.InitSetting(Json::Value(Json::objectValue)) == 1);
  dut.Snapshot();

  const bool taken =
      as_string ? device.LoadFromCache(bytes)
                : device.LoadFromCache(reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<int>(bytes.size()));
  FUZZ_CHECK(taken == (bytes.size() == sizeof(Battery32_Data_t)));
  FUZZ_CHECK(dut.listener().records == 0 && dut.listener().histories == 0);
  if (!taken) {
    dut.With([&](auto& d) {
      FUZZ_CHECK(std::memcmp(d.RecordBytes(), dut.before(), kRecordSize) == 0);
      FUZZ_CHECK(!d.data_ready_ && d.last_update_.is_not_a_date_time());
      return 0;
    });
    return;
  }

  const auto* stored = reinterpret_cast<const std::uint8_t*>(bytes.data());
  dut.With([&](auto& d) {
    FUZZ_CHECK(std::memcmp(d.RecordBytes(), stored, kRecordSize) == 0);
    FUZZ_CHECK(d.data_ready_);
    FUZZ_CHECK(SameBits(d.group_voltage_, stored + 132));
    FUZZ_CHECK(SameBits(d.group_current_, stored + 136));
    FUZZ_CHECK(SameBits(d.temperature_, stored + 141));  // odd offset
    // The decoded cells are not touched by a restore.
    for (int i = 0; i < 32; ++i) FUZZ_CHECK(d.cells_[i] == 0.0f);
    d.last_update_ = d.last_update_ + boost::posix_time::hours(24);
    return 0;
  });
  FUZZ_CHECK(SameBits(device.Get_Value(kDataId, "group_voltage"), stored + 132));
  FUZZ_CHECK(SameBits(device.Get_Value(kDataId, "temperature"), stored + 141));
  FUZZ_CHECK(SameBits(device.Get_Value(kDataId, "battery_5_value"), stored + 4 + 4 * 5));
  dut.Snapshot();

  // A good round after the restore: the record then holds the decoded values only.
  FUZZ_CHECK(device.RefreshStatus() == 1);
  dut.CheckAfterPoll(-1);
  std::vector<std::uint8_t> frame(67, 0);
  frame[0] = 0xED;
  frame[1] = device.addr_;
  for (int i = 0; i < 32; ++i) frame[3 + 2 * i] = 0;
  for (int i = 0; i < 32; ++i) frame[2 + 2 * i] = 0x04;  // raw 1024: 10.24 V
  frame[66] = fuzz::Sum254(&frame[1], 65);
  dut.CheckAfterPoll(device.process(frame.data(), 67));
  for (std::uint16_t raw : {std::uint16_t{2400}, std::uint16_t{100}, std::uint16_t{2000}}) {
    std::uint8_t reply[5] = {0xED, device.addr_, static_cast<std::uint8_t>(raw >> 8),
                             static_cast<std::uint8_t>(raw), 0};
    reply[4] = fuzz::Sum254(reply + 1, 3);
    dut.CheckAfterPoll(device.process(reply, 5));
  }
  FUZZ_CHECK(dut.listener().histories == 1);
  dut.With([&](auto& d) {
    for (int i = 0; i < 32; ++i) {
      const float want = i < d.cell_count_ ? 10.24f : 0.0f;
      FUZZ_CHECK(record::Cell(d.data_, i) == want);
    }
    FUZZ_CHECK(record::GroupVoltage(d.data_) == 240.0f);
    FUZZ_CHECK(record::GroupCurrent(d.data_) == 10.0f);
    FUZZ_CHECK(record::Temperature(d.data_) == 20.0f);
    return 0;
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::QuietStdout();
  fuzz::Reader in(data, size);
  const std::uint8_t how = in.Byte();
  const std::string bytes = in.Rest();
  const bool as_string = how & 2;
  switch (how % 3) {
    case 0:
      StringRestore(false, as_string, bytes);
      break;
    case 1:
      StringRestore(true, as_string, bytes);
      break;
    default:
      PlainRestore(as_string, bytes);
      break;
  }
  return 0;
}

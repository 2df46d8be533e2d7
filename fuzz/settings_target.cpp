// Settings as people type them: arbitrary JSON (wrong types, nulls, huge arrays and numbers)
// handed to InitSetting. An exception from the JSON library (a scalar read from an array or an
// object) is an allowed outcome; anything else that goes wrong is not. Afterwards one round with
// good frames runs under the settings that were applied, and the decoded values must still obey
// the cell windows.
//
// Input: one byte picks the device kind and the JSON shape, the rest is JSON text.

#include <cstdint>
#include <exception>
#include <string>

#include "fuzz/fuzz_support.h"

namespace {

constexpr unsigned int kDataId = 11;

void Deliver(fuzz::DeviceUnderTest& dut, std::vector<std::uint8_t> bytes) {
  const int result = dut.device().process(bytes.data(), static_cast<unsigned int>(bytes.size()));
  dut.CheckAfterPoll(result);
}

std::vector<std::uint8_t> ShortReply(std::uint8_t addr, std::uint16_t raw) {
  std::vector<std::uint8_t> b{0xED, addr, static_cast<std::uint8_t>(raw >> 8),
                              static_cast<std::uint8_t>(raw), 0};
  b[4] = fuzz::Sum254(&b[1], 3);
  return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::QuietStdout();
  fuzz::Reader in(data, size);
  const std::uint8_t how = in.Byte();
  const std::string text = in.Rest();

  fuzz::DeviceUnderTest dut(how & 1, kDataId, 0x81);
  Battery32& device = dut.device();

  Json::Value settings = fuzz::ParseJson(text);
  // The text is often meant as the "appSetting" object alone.
  if (how & 2) {
    Json::Value whole(Json::objectValue);
    whole["appSetting"] = settings;
    if ((how & 4) && settings.isObject()) whole["appSetting"]["b_mode"] = 3;
    if (how & 8) whole["thresholdSetting"] = settings;
    settings = whole;
  }

  const std::uint8_t addr_before = device.addr_;
  bool completed = false;
  try {
    completed = device.InitSetting(settings) == 1;
    FUZZ_CHECK(completed);
  } catch (const Json::Exception&) {
  } catch (const std::exception&) {
    // the JSON library's own logic errors
  }
  // The link settings adjust the address first. An exception from the alarm settings, which
  // are read before them, leaves it as it was; one from the link settings leaves it adjusted.
  const std::uint8_t adjusted = static_cast<std::uint8_t>(addr_before ^ 0x80);
  if (completed) {
    FUZZ_CHECK(device.addr_ == adjusted);
  } else {
    FUZZ_CHECK(device.addr_ == adjusted || device.addr_ == addr_before);
  }

  dut.With([&](auto& d) {
    // Only the record's id was written, and it is the device's data id.
    FUZZ_CHECK(record::Id(d.data_) == kDataId);
    FUZZ_CHECK(std::memcmp(d.RecordBytes() + 4, dut.before() + 4, sizeof(Battery32_Data_t) - 4) ==
               0);
    FUZZ_CHECK(d.msg_len_ == 0 && d.poll_step_ == 0);
    return 0;
  });
  dut.Snapshot();

  // One round with good frames under whatever was applied.
  FUZZ_CHECK(device.RefreshStatus() == 1);
  dut.CheckAfterPoll(-1);
  std::vector<std::uint8_t> cells(67, 0);
  cells[0] = 0xED;
  cells[1] = device.addr_;
  for (int i = 0; i < 32; ++i) {
    const std::uint16_t raw = static_cast<std::uint16_t>((how & 16) ? 5500 + 37 * i : 1180 + 7 * i);
    cells[2 + 2 * i] = static_cast<std::uint8_t>(raw >> 8);
    cells[3 + 2 * i] = static_cast<std::uint8_t>(raw);
  }
  cells[66] = fuzz::Sum254(&cells[1], 65);
  Deliver(dut, cells);
  Deliver(dut, ShortReply(device.addr_, 2400));
  Deliver(dut, ShortReply(device.addr_, 250));
  Deliver(dut, ShortReply(device.addr_, 2530));
  return 0;
}

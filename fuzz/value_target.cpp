// Get_Value with arbitrary names, on a device that is not ready yet and on one that restored a
// record. The answer is checked against the regular expression the cell keys are defined by:
// the leftmost battery_(\d+)_value decides; an index below the cell count is served from the
// record; the three group names from the restored values; everything else is refused.
//
// Input: one byte picks the device kind, the rest is the name.

#include <climits>
#include <cstdint>
#include <cstring>
#include <regex>
#include <stdexcept>
#include <string>

#include "fuzz/fuzz_support.h"

namespace {

constexpr unsigned int kDataId = 21;

std::string Refusal(const Battery32& device, const std::string& name) {
  try {
    (void)device.Get_Value(kDataId, name);
  } catch (const std::out_of_range& e) {
    return e.what();
  }
  return "";
}

// Cell i holds 9.0 + i/4 (distinct for every cell), the group values are distinct too.
Battery32_Data_t StoredRecord() {
  Battery32_Data_t r{};
  byte_order::WriteLe32(r.id, kDataId);
  for (int i = 0; i < 32; ++i) byte_order::WriteLeFloat(r.cells[i], 9.0f + i / 4.0f);
  byte_order::WriteLeFloat(r.group_voltage, 240.5f);
  byte_order::WriteLeFloat(r.group_current, -3.25f);
  byte_order::WriteLeFloat(r.temperature, 25.75f);
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::QuietStdout();
  fuzz::Reader in(data, size);
  const bool twenty = in.Byte() & 1;
  std::string name = in.Rest();
  // The regular expression oracle recurses per character; keep it on names a host would use.
  if (name.size() > 256) name.resize(256);

  fuzz::DeviceUnderTest dut(twenty, kDataId, 0x81);
  Battery32& device = dut.device();

  // Not ready: every name is refused the same way.
  FUZZ_CHECK(Refusal(device, name) == "数据未就绪");

  const Battery32_Data_t stored = StoredRecord();
  FUZZ_CHECK(device.LoadFromCache(reinterpret_cast<const unsigned char*>(&stored), 152));
  // Fresh whatever the wall clock does during the run: an age below zero is served.
  device.last_update_ = device.last_update_ + boost::posix_time::hours(24);
  dut.Snapshot();

  const int cells = twenty ? 20 : 32;
  float expected = 0.0f;
  bool served = false;
  static const std::regex kCellKey("battery_(\\d+)_value");
  std::smatch m;
  if (std::regex_search(name, m, kCellKey)) {
    const std::string digits = m[1].str();
    const std::size_t nonzero = digits.find_first_not_of('0');
    const std::string significant = nonzero == std::string::npos ? "0" : digits.substr(nonzero);
    if (significant.size() <= 2) {
      const int index = std::stoi(significant);
      if (index < cells) {
        expected = 9.0f + index / 4.0f;
        served = true;
      }
    }
  }
  if (!served) {
    if (name == "group_voltage") {
      expected = 240.5f;
      served = true;
    } else if (name == "group_current") {
      expected = -3.25f;
      served = true;
    } else if (name == "temperature") {
      expected = 25.75f;
      served = true;
    }
  }

  if (served) {
    const float got = device.Get_Value(kDataId, name);
    FUZZ_CHECK(got == expected);
  } else {
    FUZZ_CHECK(Refusal(device, name) == "不支持变量");
  }
  // A query changes nothing.
  dut.With([&](auto& d) {
    FUZZ_CHECK(std::memcmp(d.RecordBytes(), dut.before(), sizeof(Battery32_Data_t)) == 0);
    FUZZ_CHECK(d.poll_step_ == 0 && d.msg_len_ == 0);
    return 0;
  });
  FUZZ_CHECK(dut.listener().histories == 0 && dut.port().frames == 0);
  return 0;
}

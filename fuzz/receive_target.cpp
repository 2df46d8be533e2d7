// The receive path: poll ticks and received chunks of any size and content, in any order, on an
// Ondrell20 or a Battery32 configured from the input (cell order, battery type, version, offsets
// that may be NaN or infinite, current formula, peer devices). Besides raw chunks the input can
// ask for a well-formed reply to the outstanding request, split into pieces, with noise before it
// or one byte corrupted, so that whole rounds are reached as often as broken ones.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"

namespace {

using fuzz::DeviceUnderTest;
using fuzz::Reader;

constexpr unsigned int kDataId = 7;
constexpr unsigned int kPeerId = 900;     // a Battery32 on the same controller, restored
constexpr unsigned int kMissingId = 901;  // no such device

std::string FloatText(float f) {
  char text[48];
  std::snprintf(text, sizeof text, "%.9g", static_cast<double>(f));
  return text;
}

// Small offsets most of the time; any bit pattern now and then.
float Offset(Reader& in) {
  const std::uint8_t k = in.Byte();
  if (k < 200) return (static_cast<int>(k) - 100) / 100.0f;
  return in.Float();
}

Json::Value SettingsFrom(Reader& in) {
  const std::uint8_t flags = in.Byte();
  Json::Value app(Json::objectValue);
  static const int kTypes[] = {0, 6, 12, 2};
  app["battery_type"] = kTypes[(flags >> 2) & 3];
  app["dir"] = (flags >> 1) & 1;
  app["version"] = (flags & 0x10) ? 2 : 1;
  app["current_ratio"] = (flags & 0x20) ? "1" : "0";
  app["battery_adjust"] = FloatText(Offset(in));
  app["t0"] = FloatText(Offset(in));
  app["t31"] = FloatText(Offset(in));
  app["group_a"] = FloatText(in.Byte() < 230 ? 1.0f : in.Float());
  app["group_b"] = FloatText(Offset(in));
  if (flags & 0x40) {
    static const char* const kFields[] = {"group_current", "temperature", "battery_3_value",
                                          "nonsense"};
    const std::uint8_t pick = in.Byte();
    app["r_data_id"] = (pick & 4) ? kMissingId : kPeerId;
    app["r_current_field"] = kFields[pick & 3];
  }
  if (flags & 0x80) {
    Json::Value ids(Json::arrayValue);
    const std::uint8_t pick = in.Byte();
    ids.append(kPeerId);
    if (pick & 1) ids.append(kMissingId);
    if (pick & 2) ids.append(kPeerId);  // merged without duplicates
    app["group_voltage"] = ids;
  }
  Json::Value settings(Json::objectValue);
  settings["appSetting"] = app;
  return settings;
}

// The well-formed reply to the request that is outstanding (or to a cell-voltage request when
// idle), with contents from the input.
std::vector<std::uint8_t> ReplyFor(int step, std::uint8_t addr, Reader& in) {
  if (step <= 1) {
    std::vector<std::uint8_t> frame(67, 0);
    frame[0] = 0xED;
    frame[1] = addr;
    const std::uint8_t mode = in.Byte();
    const std::uint16_t base = in.U16();
    for (int i = 0; i < 32; ++i) {
      std::uint16_t r = base;
      if (mode & 1) r = static_cast<std::uint16_t>(base + i * (mode >> 1));
      frame[2 + 2 * i] = static_cast<std::uint8_t>(r >> 8);
      frame[3 + 2 * i] = static_cast<std::uint8_t>(r);
    }
    frame[66] = fuzz::Sum254(&frame[1], 65);
    return frame;
  }
  const std::uint16_t raw = in.U16();
  std::vector<std::uint8_t> reply{0xED, addr, static_cast<std::uint8_t>(raw >> 8),
                                  static_cast<std::uint8_t>(raw), 0};
  reply[4] = fuzz::Sum254(&reply[1], 3);
  return reply;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::QuietStdout();
  Reader in(data, size);
  const std::uint8_t kind = in.Byte();
  const std::uint8_t host_address = in.Byte();
  DeviceUnderTest dut(kind & 1, kDataId, host_address);

  // The peer serves a restored record: group voltage, current and temperature from the input.
  fuzz::Open<Battery32> peer;
  {
    Json::Value init(Json::objectValue);
    peer.Init(dut.controller(), kPeerId, init);
    Battery32_Data_t stored{};
    byte_order::WriteLeFloat(stored.group_voltage, in.Byte() < 128 ? 12.5f : in.Float());
    byte_order::WriteLeFloat(stored.group_current, (in.Byte() - 128) / 4.0f);
    byte_order::WriteLeFloat(stored.temperature, 21.5f);
    FUZZ_CHECK(peer.LoadFromCache(reinterpret_cast<const unsigned char*>(&stored), sizeof stored));
    // Fresh for as long as the run lasts, whatever the wall clock does meanwhile.
    peer.last_update_ = peer.last_update_ + boost::posix_time::hours(24);
    dut.controller()->AddDevice(&peer);
  }

  const Json::Value settings = SettingsFrom(in);
  FUZZ_CHECK(dut.device().InitSetting(settings) == 1);
  dut.Snapshot();
  Battery32& device = dut.device();

  int steps = 0;
  while (!in.Empty() && steps++ < 4000) {
    const std::uint8_t op = in.Byte();
    int result = -1;
    switch (op % 8) {
      case 0:
      case 7: {
        FUZZ_CHECK(device.RefreshStatus() == 1);
        break;
      }
      case 1: {  // a chunk of raw bytes, exactly as long as its buffer
        std::vector<std::uint8_t> chunk = in.Bytes(in.Byte());
        result = device.process(chunk.data(), static_cast<unsigned int>(chunk.size()));
        break;
      }
      case 2: {  // a good reply, maybe with noise before it, one byte broken, in pieces
        const int step = dut.With([](auto& d) { return d.poll_step_; });
        std::vector<std::uint8_t> reply = ReplyFor(step, device.addr_, in);
        const std::uint8_t how = in.Byte();
        if (how & 1) {
          const std::uint8_t at = static_cast<std::uint8_t>(in.Byte() % reply.size());
          reply[at] = static_cast<std::uint8_t>(reply[at] ^ (in.Byte() | 1));
        }
        if (how & 2) {
          std::vector<std::uint8_t> noise = in.Bytes(in.Byte() % 16);
          reply.insert(reply.begin(), noise.begin(), noise.end());
        }
        const int pieces = 1 + ((how >> 2) & 3);
        std::size_t at = 0;
        for (int p = 0; p < pieces && at < reply.size(); ++p) {
          std::size_t n = reply.size() - at;
          if (p + 1 < pieces) n = in.Byte() % (n + 1);
          std::vector<std::uint8_t> chunk(reply.begin() + at, reply.begin() + at + n);
          result = device.process(chunk.data(), static_cast<unsigned int>(chunk.size()));
          at += n;
          if (p + 1 < pieces) {
            dut.CheckAfterPoll(result);
            result = -1;
          }
        }
        break;
      }
      case 3: {  // the host hands over bytes that sit in the device's own receive buffer
        const unsigned int off = in.Byte();
        unsigned int len = in.Byte();
        if (off + len > sizeof(XQRSPDevice::msg_buf)) len = sizeof(XQRSPDevice::msg_buf) - off;
        result = device.process(device.msg_buf + off, len);
        break;
      }
      case 4: {  // far more than the receive buffer holds
        std::vector<std::uint8_t> chunk(64 + in.Byte() * 4u, in.Byte());
        result = device.process(chunk.data(), static_cast<unsigned int>(chunk.size()));
        break;
      }
      case 5: {  // the host's queries in the middle of it all
        static const char* const kNames[] = {"group_voltage",    "group_current",
                                             "temperature",      "battery_0_value",
                                             "battery_19_value", "battery_31_value"};
        try {
          (void)device.Get_Value(kDataId, kNames[in.Byte() % 6]);
        } catch (const std::out_of_range&) {
        }
        break;
      }
      case 6: {  // empty receives
        std::uint8_t byte = 0xED;
        result = device.process(in.Byte() & 1 ? nullptr : &byte, 0);
        break;
      }
    }
    dut.CheckAfterPoll(result);
  }
  if (std::getenv("FUZZ_TRACE") != nullptr) {
    std::fprintf(stderr, "rounds completed: %lu, requests sent: %lu\n", dut.listener().histories,
                 dut.port().frames);
  }
  dut.controller()->RemoveDevice(kPeerId);
  return 0;
}

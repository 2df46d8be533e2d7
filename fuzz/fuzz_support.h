#pragma once

// Shared by the fuzz targets: a host with a recording port and listener, devices with their
// protected state opened up, a reader that turns fuzz input into decisions, and the checks that
// must hold after every step. A failed check aborts, so that libFuzzer (or the replay driver)
// stops with the input that broke it.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <json/json.h>

#include "host_framework/device_book.h"
#include "host_framework/xqr_controller.h"
#include "host_framework/xqr_listener.h"
#include "host_framework/xqr_port.h"
#include "string_device/battery32.h"
#include "string_device/ondrell20.h"
#include "tests/open_device.h"

namespace fuzz {

[[noreturn]] inline void Fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: invariant violated: %s\n", file, line, what);
  std::fflush(stderr);
  std::abort();
}

#define FUZZ_CHECK(cond)                                  \
  do {                                                    \
    if (!(cond)) ::fuzz::Fail(#cond, __FILE__, __LINE__); \
  } while (0)

// The devices write their diagnostic lines to standard output; a fuzzer runs millions of rounds,
// so the lines go nowhere. Called once by every target.
inline void QuietStdout() {
  static const bool done = [] { return std::freopen("/dev/null", "w", stdout) != nullptr; }();
  (void)done;
}

// Takes decisions from the fuzz input front to back; an exhausted input yields zeros.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool Empty() const { return pos_ >= size_; }
  std::size_t Left() const { return size_ - pos_; }

  std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::uint16_t U16() { return static_cast<std::uint16_t>((Byte() << 8) | Byte()); }
  std::uint32_t U32() {
    std::uint32_t v = U16();
    return (v << 16) | U16();
  }
  // Any bit pattern: NaNs, infinities and subnormals included.
  float Float() {
    const std::uint32_t bits = U32();
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
  }
  // Up to n bytes, fewer when the input runs out.
  std::vector<std::uint8_t> Bytes(std::size_t n) {
    const std::size_t take = n < Left() ? n : Left();
    std::vector<std::uint8_t> out(data_ + pos_, data_ + pos_ + take);
    pos_ += take;
    return out;
  }
  std::string Rest() {
    std::string out(reinterpret_cast<const char*>(data_ + pos_), Left());
    pos_ = size_;
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// Counts what the devices hand to the host; the checks compare against these counts.
class CountingListener : public XQRListener {
 public:
  void OnSendSP(const XQRVDevice&, int, const unsigned char*, int len, bool) override {
    FUZZ_CHECK(len == static_cast<int>(sizeof(Battery32_Data_t)));
    ++records;
  }
  void OnSaveHistory(const XQRVDevice& device, const unsigned char* data, int len) override {
    FUZZ_CHECK(len == static_cast<int>(sizeof(Battery32_Data_t)));
    ++histories;
    last_history_device = device.DataId();
    last_history.assign(data, data + len);
  }
  unsigned long records = 0;
  unsigned long histories = 0;
  unsigned int last_history_device = 0;
  std::vector<unsigned char> last_history;
};

// Every frame a device sends must be a well-formed 5-byte request to its own address.
class CheckingPort : public XQRPort {
 public:
  explicit CheckingPort(const XQRSPDevice* device) : device_(device) {}
  int Write(const unsigned char* data, unsigned int len) override {
    FUZZ_CHECK(len == 5);
    FUZZ_CHECK(data[0] == 0xFE && data[1] == 0xFE);
    FUZZ_CHECK(data[2] == device_->addr_);
    FUZZ_CHECK(data[3] >= 0xA1 && data[3] <= 0xA4);
    FUZZ_CHECK(data[4] == static_cast<unsigned char>(((data[2] + data[3]) & 0xFF) % 254));
    last_command = data[3];
    ++frames;
    return static_cast<int>(len);
  }
  unsigned char last_command = 0;
  unsigned long frames = 0;

 private:
  const XQRSPDevice* device_;
};

// A string device with its protected state opened up for the checks.
using test::Open;

// One Ondrell20 or Battery32 on a controller, with the checks that hold after any step. The
// device under test is accessed through its Battery32 face; both kinds share it.
class DeviceUnderTest {
 public:
  DeviceUnderTest(bool twenty_cells, unsigned int data_id, unsigned int host_address)
      : twenty_(twenty_cells) {
    if (twenty_cells) {
      device_ = std::make_unique<Open<Ondrell20>>();
    } else {
      device_ = std::make_unique<Open<Battery32>>();
    }
    controller_->SetListener(&listener_);
    Json::Value init(Json::objectValue);
    init["address"] = host_address;
    device_->Init(controller_, data_id, init);
    port_ = std::make_shared<CheckingPort>(device_.get());
    host_framework::AttachPort(*device_, port_);
    controller_->AddDevice(device_.get());
    Snapshot();
  }
  ~DeviceUnderTest() { controller_->RemoveDevice(device_->DataId()); }

  Battery32& device() { return *device_; }
  std::shared_ptr<XQRController> controller() { return controller_; }
  CountingListener& listener() { return listener_; }
  CheckingPort& port() { return *port_; }

  // Reaches the opened members whichever of the two kinds this is.
  template <typename F>
  auto With(F f) {
    if (twenty_) return f(static_cast<Open<Ondrell20>&>(*device_));
    return f(static_cast<Open<Battery32>&>(*device_));
  }

  // Remembers the record before a step, so that the step's writes can be judged.
  void Snapshot() {
    With([this](auto& d) {
      std::memcpy(before_, d.RecordBytes(), sizeof before_);
      return 0;
    });
    histories_before_ = listener_.histories;
  }

  // The checks after a receive or a poll tick. `result` is what process returned, or -1 for a
  // tick.
  void CheckAfterPoll(int result) {
    With([&](auto& d) {
      FUZZ_CHECK(d.msg_len_ <= 80);
      FUZZ_CHECK(d.poll_step_ >= 0 && d.poll_step_ <= 4);
      FUZZ_CHECK(d.retry_count_ >= 0 && d.retry_count_ <= 3);
      if (result >= 0) FUZZ_CHECK(result == (d.poll_step_ != 0 ? 1 : 0));
      CheckCells(d);
      const bool round_done = listener_.histories != histories_before_;
      if (!round_done) {
        // Nothing but a completed round writes the record during polling.
        FUZZ_CHECK(std::memcmp(before_, d.RecordBytes(), sizeof before_) == 0);
      } else {
        FUZZ_CHECK(listener_.histories == histories_before_ + 1);
        FUZZ_CHECK(listener_.last_history_device == d.DataId());
        FUZZ_CHECK(std::memcmp(listener_.last_history.data(), d.RecordBytes(), sizeof before_) ==
                   0);
        CheckRecordFromRound(d);
      }
      return 0;
    });
    Snapshot();
  }

  // A decoded cell is 0.0 (outside its window), inside the window, or NaN when an offset was NaN.
  template <typename D>
  static void CheckCells(D& d) {
    const bool six = d.battery_type_ == 6;
    const bool nan_offset =
        std::isnan(d.battery_adjust_) || std::isnan(d.t0_) || std::isnan(d.t31_);
    for (int i = 0; i < 32; ++i) {
      const float v = d.cells_[i];
      if (i >= d.cell_count_) {
        FUZZ_CHECK(v == 0.0f && !std::signbit(v));  // never written for a short string
        continue;
      }
      if (std::isnan(v)) {
        FUZZ_CHECK(nan_offset);
        continue;
      }
      // Settings are applied before any round, so the window is the current type's.
      const bool in_window = six ? (v >= 4.5f && v <= 7.5f) : (v >= 9.0f && v <= 15.0f);
      FUZZ_CHECK((v == 0.0f && !std::signbit(v)) || in_window);
    }
  }

  // After a completed round the record holds exactly the device's decoded values.
  template <typename D>
  static void CheckRecordFromRound(D& d) {
    const Battery32_Data_t& r = d.data_;
    FUZZ_CHECK(record::Id(r) == d.DataId());
    for (int i = 0; i < 32; ++i) FUZZ_CHECK(SameBits(record::Cell(r, i), d.cells_[i]));
    FUZZ_CHECK(SameBits(record::GroupVoltage(r), d.group_voltage_));
    FUZZ_CHECK(SameBits(record::GroupCurrent(r), d.group_current_));
    FUZZ_CHECK(SameBits(record::Temperature(r), d.temperature_));
    FUZZ_CHECK(r.reserved == 0);
    // The group-voltage fallback leaves no group voltage below 40 unless it is the cell sum.
    if (!(d.group_voltage_ >= 40.0f)) {
      float sum = 0.0f;
      for (int i = 0; i < d.cell_count_; ++i) sum = sum + d.cells_[i];
      FUZZ_CHECK(SameBits(sum, d.group_voltage_));
    }
  }

  static bool SameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

  const unsigned char* before() const { return before_; }

 private:
  bool twenty_;
  std::shared_ptr<XQRController> controller_ = std::make_shared<XQRController>();
  CountingListener listener_;
  std::unique_ptr<Battery32> device_;
  std::shared_ptr<CheckingPort> port_;
  unsigned char before_[sizeof(Battery32_Data_t)] = {};
  unsigned long histories_before_ = 0;
};

// The module's checksum, written out independently of the device code.
inline unsigned char Sum254(const unsigned char* p, std::size_t n) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum += p[i];
  return static_cast<unsigned char>((sum % 256) % 254);
}

// Parses JSON text as the host's configuration loader would; not JSON yields null.
inline Json::Value ParseJson(const std::string& text) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value value;
  std::string errors;
  if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) {
    return Json::Value();
  }
  return value;
}

}  // namespace fuzz

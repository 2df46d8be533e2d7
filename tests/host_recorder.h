#pragma once

// The host's side of a test: a port and a listener that record everything a device hands to the
// host, and frame builders that compute the module's checksum independently of the device code.
// Needs only the host framework headers, so that a host loading the built library can use it too.

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host_framework/xqr_listener.h"
#include "host_framework/xqr_port.h"
#include "host/xqr_vdevice.h"

namespace test {

using Bytes = std::vector<unsigned char>;

// The module's checksum, written out again for the tests: byte sum modulo 256, then modulo 254.
inline unsigned char Sum254(const unsigned char* p, std::size_t n) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum += p[i];
  return static_cast<unsigned char>((sum % 256) % 254);
}

inline Bytes Request(unsigned char addr, unsigned char cmd) {
  Bytes b{0xFE, 0xFE, addr, cmd, 0};
  b[4] = Sum254(&b[2], 2);
  return b;
}

inline Bytes ShortReply(unsigned char addr, std::uint16_t raw) {
  Bytes b{0xED, addr, static_cast<unsigned char>(raw >> 8), static_cast<unsigned char>(raw), 0};
  b[4] = Sum254(&b[1], 3);
  return b;
}

// 67-byte cell-voltage reply with 32 big-endian readings.
inline Bytes CellFrame(unsigned char addr, const std::array<std::uint16_t, 32>& readings) {
  Bytes b(67, 0);
  b[0] = 0xED;
  b[1] = addr;
  for (int i = 0; i < 32; ++i) {
    b[2 + 2 * i] = static_cast<unsigned char>(readings[i] >> 8);
    b[3 + 2 * i] = static_cast<unsigned char>(readings[i]);
  }
  b[66] = Sum254(&b[1], 65);
  return b;
}

inline std::array<std::uint16_t, 32> Readings(std::uint16_t all) {
  std::array<std::uint16_t, 32> r;
  r.fill(all);
  return r;
}

class RecordingPort : public XQRPort {
 public:
  int Write(const unsigned char* data, unsigned int len) override {
    frames.emplace_back(data, data + len);
    return static_cast<int>(len);
  }
  std::vector<Bytes> frames;
};

struct SentRecord {
  unsigned int device;  // data id of the device that sent it
  int code;
  Bytes bytes;
  bool flag;
};

class RecordingListener : public XQRListener {
 public:
  void OnRefreshStatus(const XQRVDevice&) override { ++refreshes; }
  void OnReset(const XQRVDevice&) override { ++resets; }
  void OnSendSP(const XQRVDevice& device, int code, const unsigned char* data, int len,
                bool flag) override {
    sent.push_back({device.DataId(), code, Bytes(data, data + len), flag});
  }
  void OnCheckAOReport(const XQRVDevice&, const std::string& name, float value, bool) override {
    ao_checks.emplace_back(name, value);
  }
  void OnCheckThreshold(const XQRVDevice&, const rule_value& rule) override {
    thresholds.push_back(rule);
  }
  void OnBatchCheckThreshold(const XQRVDevice&, const std::vector<rule_value>& queue,
                             bool) override {
    batches.push_back(queue.size());
  }
  void OnSaveHistory(const XQRVDevice&, const unsigned char* data, int len) override {
    history.emplace_back(data, data + len);
  }

  int refreshes = 0;
  int resets = 0;
  std::vector<SentRecord> sent;
  std::vector<std::pair<std::string, float>> ao_checks;
  std::vector<rule_value> thresholds;
  std::vector<std::size_t> batches;
  std::vector<Bytes> history;
};

}  // namespace test

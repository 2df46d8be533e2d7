// The layout a device library is compiled against. A device reads and writes the controller's
// members at fixed offsets, and its own members start where XQRSPDevice ends: the shipped
// ondrell_20.so holds these numbers in its code. A change to host/ that moves any of them makes
// every library built before it read the wrong bytes, so the build stops here instead.
//
// The classes are polymorphic, which makes offsetof conditionally supported; GCC and clang lay
// them out by the Itanium C++ ABI on both targets and answer it exactly.
#include <cstddef>

#include "host/xqr_spdevice.h"

#pragma GCC diagnostic ignored "-Winvalid-offsetof"

namespace {

struct Layout {
  std::size_t data_id, device_type;
  std::size_t last_update, data_ready, report_flag, rule_values, ao_names, ao_values,
      threshold_levels, threshold_values, status_word;
  std::size_t addr, msg_buf, msg_len, baud_rate;
  std::size_t vdevice_size, spdevice_size;
};

#if defined(__arm__) && !defined(__aarch64__)
// The controller: 32-bit ARM EABI (armel). 8-byte alignment of the 64-bit time; addr_ sits in
// XQRVDevice's tail padding.
constexpr Layout kShipped{4, 8, 32, 40, 41, 44, 56, 68, 92, 116, 140, 142, 143, 400, 404, 144, 408};
#elif defined(__x86_64__)
// The build machine, where the tests run the same library code.
constexpr Layout kShipped{8,   16,  48,  56,  57,  64,  88,  112, 160,
                          208, 256, 258, 259, 516, 520, 264, 528};
#else
#error "no device layout is pinned for this target: add it from the controller's ABI"
#endif

// Reaches the root's protected members the way a device does: from a class derived from it.
struct Device : XQRSPDevice {
  static constexpr std::size_t DataIdAt() { return offsetof(Device, data_id_); }
  static constexpr std::size_t DeviceTypeAt() { return offsetof(Device, device_type_); }
};

static_assert(Device::DataIdAt() == kShipped.data_id);
static_assert(Device::DeviceTypeAt() == kShipped.device_type);
static_assert(offsetof(XQRVDevice, last_update_) == kShipped.last_update);
static_assert(offsetof(XQRVDevice, data_ready_) == kShipped.data_ready);
static_assert(offsetof(XQRVDevice, report_flag_) == kShipped.report_flag);
static_assert(offsetof(XQRVDevice, rule_values_) == kShipped.rule_values);
static_assert(offsetof(XQRVDevice, ao_names_) == kShipped.ao_names);
static_assert(offsetof(XQRVDevice, ao_values_) == kShipped.ao_values);
static_assert(offsetof(XQRVDevice, threshold_levels_) == kShipped.threshold_levels);
static_assert(offsetof(XQRVDevice, threshold_values_) == kShipped.threshold_values);
static_assert(offsetof(XQRVDevice, status_word_) == kShipped.status_word);
static_assert(offsetof(XQRSPDevice, addr_) == kShipped.addr);
static_assert(offsetof(XQRSPDevice, msg_buf) == kShipped.msg_buf);
static_assert(offsetof(XQRSPDevice, msg_len_) == kShipped.msg_len);
static_assert(offsetof(XQRSPDevice, baud_rate_) == kShipped.baud_rate);
static_assert(sizeof(XQRVDevice) == kShipped.vdevice_size);
static_assert(sizeof(XQRSPDevice) == kShipped.spdevice_size);  // where Battery's members begin
static_assert(sizeof(XQRSPDevice::msg_buf) >= 80, "a device holds up to 80 bytes of a reply");

}  // namespace

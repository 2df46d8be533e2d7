// The device classes of host/ carry exactly the members the controller gives a device library,
// in its order: nothing of our framework's own bookkeeping. The listed members, written out
// again in the same order, must lay out to the very same offsets and size; a member added to
// host/ (or one moved) makes these differ on any target.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "host/xqr_spdevice.h"

#pragma GCC diagnostic ignored "-Winvalid-offsetof"

namespace {

struct ListedRoot {
  virtual ~ListedRoot() = default;
  unsigned int data_id;
  std::string device_type;
};

struct ListedVDevice : ListedRoot {
  boost::posix_time::ptime last_update;
  bool data_ready;
  bool report_flag;
  std::vector<rule_value> rule_values;
  std::vector<std::string> ao_names;
  std::map<std::string, float> ao_values;
  std::map<std::string, int> threshold_levels;
  std::map<std::string, float> threshold_values;
  std::uint16_t status_word;
};

struct ListedSPDevice : ListedVDevice {
  std::uint8_t addr;
  unsigned char msg_buf[256];
  unsigned int msg_len;
  int baud_rate;
};

TEST(HostLayout, DeviceClassesHoldOnlyTheListedMembers) {
  EXPECT_EQ(sizeof(VDeviceInterface), sizeof(ListedRoot)) << "VDeviceInterface has extra members";
  EXPECT_EQ(sizeof(XQRVDevice), sizeof(ListedVDevice)) << "XQRVDevice has extra members";
  EXPECT_EQ(sizeof(XQRSPDevice), sizeof(ListedSPDevice)) << "XQRSPDevice has extra members";
}

#define SAME_OFFSET(Host, member, Listed, listed) \
  EXPECT_EQ(offsetof(Host, member), offsetof(Listed, listed)) << #Host "::" #member

TEST(HostLayout, ListedMembersInTheControllersOrder) {
  SAME_OFFSET(XQRVDevice, last_update_, ListedVDevice, last_update);
  SAME_OFFSET(XQRVDevice, data_ready_, ListedVDevice, data_ready);
  SAME_OFFSET(XQRVDevice, report_flag_, ListedVDevice, report_flag);
  SAME_OFFSET(XQRVDevice, rule_values_, ListedVDevice, rule_values);
  SAME_OFFSET(XQRVDevice, ao_names_, ListedVDevice, ao_names);
  SAME_OFFSET(XQRVDevice, ao_values_, ListedVDevice, ao_values);
  SAME_OFFSET(XQRVDevice, threshold_levels_, ListedVDevice, threshold_levels);
  SAME_OFFSET(XQRVDevice, threshold_values_, ListedVDevice, threshold_values);
  SAME_OFFSET(XQRVDevice, status_word_, ListedVDevice, status_word);
  SAME_OFFSET(XQRSPDevice, addr_, ListedSPDevice, addr);
  SAME_OFFSET(XQRSPDevice, msg_buf, ListedSPDevice, msg_buf);
  SAME_OFFSET(XQRSPDevice, msg_len_, ListedSPDevice, msg_len);
  SAME_OFFSET(XQRSPDevice, baud_rate_, ListedSPDevice, baud_rate);
}

}  // namespace

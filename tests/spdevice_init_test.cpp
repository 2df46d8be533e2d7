// The framework's XQRSPDevice::Init takes the bus address from the settings member "address".
// The host keeps it in one byte, so anything but a whole number 0..255 is refused with a line
// that names the member and the value, before the device is touched any further.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include <json/json.h>

#include "host_framework/xqr_controller.h"
#include "host/xqr_spdevice.h"

namespace {

// The framework's serial device as it is, with the one slot it leaves open filled.
class PlainDevice : public XQRSPDevice {
 public:
  bool LoadFromCache(const unsigned char*, int) override { return false; }
};

Json::Value Parse(const std::string& text) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value value;
  std::string errors;
  if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) {
    ADD_FAILURE() << "bad JSON in test: " << text << ": " << errors;
  }
  return value;
}

constexpr std::uint8_t kBefore = 0x5A;  // what addr_ held before Init

struct InitRig {
  // Init with `settings`; a device that had address kBefore and bytes held.
  void Init(const Json::Value& settings) {
    device.addr_ = kBefore;
    device.msg_len_ = 7;
    device.Init(controller, 42, settings);
  }
  std::shared_ptr<XQRController> controller = std::make_shared<XQRController>();
  PlainDevice device;
};

}  // namespace

TEST(SpDeviceInit, TakesWholeNumbersFrom0To255) {
  struct Case {
    const char* address;
    std::uint8_t expected;
  };
  const Case cases[] = {
      {"0", 0},     {"129", 129},
      {"255", 255}, {"129.0", 129},  // a JSON number with nothing after the point is a whole number
      {"1e2", 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    InitRig rig;
    rig.Init(Parse(std::string(R"({"address": )") + c.address + "}"));
    EXPECT_EQ(rig.device.addr_, c.expected);
    EXPECT_EQ(rig.device.msg_len_, 0u);
    EXPECT_EQ(rig.device.DataId(), 42u);
  }
}

TEST(SpDeviceInit, RefusesAnythingElseNamingMemberAndValue) {
  struct Case {
    const char* address;
    const char* message;
  };
  const Case cases[] = {
      {"-1", R"("address" must be a whole number 0..255, not -1)"},
      {"256", R"("address" must be a whole number 0..255, not 256)"},
      {"5000000000", R"("address" must be a whole number 0..255, not 5000000000)"},
      {"18446744073709551615",
       R"("address" must be a whole number 0..255, not 18446744073709551615)"},
      {"-9223372036854775808",
       R"("address" must be a whole number 0..255, not -9223372036854775808)"},
      {"1.5", R"("address" must be a whole number 0..255, not 1.5)"},
      {"255.5", R"("address" must be a whole number 0..255, not 255.5)"},
      {"1e20", R"("address" must be a whole number 0..255, not 1e+20)"},
      {"-0.5", R"("address" must be a whole number 0..255, not -0.5)"},
      {R"("129")", R"("address" must be a whole number 0..255, not "129")"},
      {"[]", R"("address" must be a whole number 0..255, not [])"},
      {"[129]", R"("address" must be a whole number 0..255, not [129])"},
      {R"({"bus": 1})", R"("address" must be a whole number 0..255, not {"bus":1})"},
      {"true", R"("address" must be a whole number 0..255, not true)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    InitRig rig;
    try {
      rig.Init(Parse(std::string(R"({"address": )") + c.address + "}"));
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
    // Refused before anything was taken: address, data id and held bytes as they were.
    EXPECT_EQ(rig.device.addr_, kBefore);
    EXPECT_EQ(rig.device.DataId(), 0u);
    EXPECT_EQ(rig.device.msg_len_, 7u);
  }
}

// A value of any length still makes one short line.
TEST(SpDeviceInit, LongValueIsCutToOneShortLine) {
  std::string many = "[";
  for (int i = 0; i < 100; ++i) many += (i ? ",1000" : "1000");
  many += "]";
  InitRig rig;
  try {
    rig.Init(Parse(R"({"address": )" + many + "}"));
    ADD_FAILURE() << "accepted";
  } catch (const std::invalid_argument& e) {
    // 64 characters of the value: its first 61, then "...".
    std::string shown = "[";
    for (int i = 0; i < 12; ++i) shown += "1000,";
    shown += "...";
    EXPECT_EQ(e.what(), R"("address" must be a whole number 0..255, not )" + shown);
  }
  // A string with a line break stays on one line too.
  try {
    rig.Init(Parse(R"({"address": "1\n2"})"));
    ADD_FAILURE() << "accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), R"("address" must be a whole number 0..255, not "1\n2")");
  }
}

// Without an address (or with null, which counts as missing) the host sets addr_ itself.
TEST(SpDeviceInit, MissingOrNullAddressLeavesItAlone) {
  const char* const settings[] = {
      R"({})", R"({"address": null})", R"({"appSetting": {}})", "null", "[]", "7"};
  for (const char* text : settings) {
    SCOPED_TRACE(text);
    InitRig rig;
    rig.Init(Parse(text));
    EXPECT_EQ(rig.device.addr_, kBefore);
    EXPECT_EQ(rig.device.msg_len_, 0u);
  }
}

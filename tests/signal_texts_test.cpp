// The keys and labels of the threshold requests are built ahead, not in every poll round. These
// cases make sure they are still exactly the texts the host must receive: after a later
// InitSetting moves the numbering, for 20 and 32 cells, when the settings reading broke off after
// battery_start had already been taken, and under a global locale that groups digits.
#include <gtest/gtest.h>

#include <locale>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "string_device/signal_key.h"

#include "tests/test_support.h"

using namespace test;

namespace {

// UTF-8 of the label pieces, spelled out byte by byte so that a wrong encoding cannot pass.
const std::string kDi = "\xE7\xAC\xAC";                                  // 第
const std::string kJieDianChi = "\xE8\x8A\x82\xE7\x94\xB5\xE6\xB1\xA0";  // 节电池

std::string Label(int number) { return kDi + std::to_string(number) + kJieDianChi; }

template <typename Device>
struct Rig {
  Rig() { host.Attach(dev, 4711); }

  // One complete poll round with 12.00 V cells, 240.0 V, 25.0 A and 25.3 degrees; returns the
  // threshold requests it made.
  std::vector<rule_value> Round() {
    host.listener.thresholds.clear();
    testing::internal::CaptureStdout();
    dev.RefreshStatus();
    // Each InitSetting inverts bit 7 of the bus address; the module answers on the current one.
    Bytes cells = CellFrame(dev.addr_, Readings(1200));
    dev.process(cells.data(), static_cast<unsigned>(cells.size()));
    for (std::uint16_t raw : {2400, 250, 2530}) {
      Bytes reply = ShortReply(dev.addr_, raw);
      dev.process(reply.data(), static_cast<unsigned>(reply.size()));
    }
    testing::internal::GetCapturedStdout();
    return host.listener.thresholds;
  }

  Host host;
  Device dev;
};

void ExpectCellRequests(const std::vector<rule_value>& requests, int cells, int first_number) {
  ASSERT_EQ(requests.size(), static_cast<std::size_t>(3 + cells));
  for (int i = 0; i < cells; ++i) {
    const rule_value& r = requests[3 + i];
    SCOPED_TRACE(i);
    EXPECT_EQ(r.key, "battery_" + std::to_string(i) + "_value");
    EXPECT_EQ(r.label, Label(first_number + i));
    EXPECT_EQ(r.index, i + 1);
    EXPECT_EQ(r.value, 12.0f);
  }
}

}  // namespace

TEST(SignalTexts, StringValuesKeepTheirKeysAndLabels) {
  Rig<OpenOndrell20> rig;
  rig.dev.InitSetting(ParseJson(R"({"appSetting": {}})"));
  const auto requests = rig.Round();
  ASSERT_GE(requests.size(), 3u);
  EXPECT_EQ(requests[0].key, "group_voltage");
  EXPECT_EQ(requests[0].label, "\xE6\x95\xB4\xE7\xBB\x84\xE7\x94\xB5\xE5\x8E\x8B");  // 整组电压
  EXPECT_EQ(requests[1].key, "group_current");
  EXPECT_EQ(requests[1].label, "\xE7\x94\xB5\xE6\xB5\x81");  // 电流
  EXPECT_EQ(requests[2].key, "temperature");
  EXPECT_EQ(requests[2].label, "\xE6\xB8\xA9\xE5\xBA\xA6");  // 温度
}

TEST(SignalTexts, LabelsFollowBatteryStartOfALaterInitSetting) {
  Rig<OpenOndrell20> rig;
  rig.dev.InitSetting(ParseJson(R"({"appSetting": {"battery_start": 0}})"));
  ExpectCellRequests(rig.Round(), 20, 1);

  // The host reconfigures the device between two rounds.
  rig.dev.InitSetting(ParseJson(R"({"appSetting": {"battery_start": "17"}})"));
  ExpectCellRequests(rig.Round(), 20, 18);

  // A call without "battery_start" keeps the numbering.
  rig.dev.InitSetting(ParseJson(R"({"appSetting": {"version": 1}})"));
  ExpectCellRequests(rig.Round(), 20, 18);

  // Back to the start, and to a negative offset: cell 0 of -5 is number -4.
  rig.dev.InitSetting(ParseJson(R"({"appSetting": {"battery_start": -5}})"));
  ExpectCellRequests(rig.Round(), 20, -4);
}

TEST(SignalTexts, SecondGroupRuleNumbersFromEighteen) {
  Rig<OpenOndrell20> rig;
  rig.dev.InitSetting(ParseJson(R"({"appSetting": {"group_index": 2, "amount": 2}})"));
  const auto requests = rig.Round();
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_EQ(requests[3].key, "battery_0_value");
  EXPECT_EQ(requests[3].label, Label(18));
  EXPECT_EQ(requests[4].key, "battery_1_value");
  EXPECT_EQ(requests[4].label, Label(19));
}

TEST(SignalTexts, ThirtyTwoCellsAgainstTwenty) {
  Rig<OpenBattery32> b32;
  b32.dev.InitSetting(ParseJson(R"({"appSetting": {"battery_start": 3}})"));
  ExpectCellRequests(b32.Round(), 32, 4);

  Rig<OpenOndrell20> o20;
  o20.dev.InitSetting(ParseJson(R"({"appSetting": {"battery_start": 3}})"));
  ExpectCellRequests(o20.Round(), 20, 4);
}

// "battery_start" is read before "group_voltage"; a list element that is an object makes the
// JSON library throw there. The start is applied all the same, and the round must label with it.
TEST(SignalTexts, BatteryStartTakenBeforeTheSettingsThrewIsUsed) {
  Rig<OpenOndrell20> rig;
  rig.dev.InitSetting(ParseJson(R"({"appSetting": {}})"));
  EXPECT_ANY_THROW(rig.dev.InitSetting(
      ParseJson(R"({"appSetting": {"battery_start": 7, "group_voltage": [{"id": 1}]}})")));
  EXPECT_EQ(rig.dev.battery_start_, 7);
  ExpectCellRequests(rig.Round(), 20, 8);
}

// Only selected cells: the labels still carry each cell's own number.
TEST(SignalTexts, SelectedCellsKeepTheirOwnNumbers) {
  Rig<OpenOndrell20> rig;
  rig.dev.InitSetting(
      ParseJson(R"({"appSetting": {"battery_start": 100, "active_batteries": [19, 4]}})"));
  const auto requests = rig.Round();
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_EQ(requests[3].key, "battery_19_value");
  EXPECT_EQ(requests[3].label, Label(120));
  EXPECT_EQ(requests[3].index, 20);
  EXPECT_EQ(requests[4].key, "battery_4_value");
  EXPECT_EQ(requests[4].label, Label(105));
  EXPECT_EQ(requests[4].index, 5);
}

namespace {

// Digits grouped as `grouping` says, with ',' between the groups.
class GroupingPunct : public std::numpunct<char> {
 public:
  explicit GroupingPunct(std::string grouping) : grouping_(std::move(grouping)) {}

 protected:
  char do_thousands_sep() const override { return ','; }
  std::string do_grouping() const override { return grouping_; }

 private:
  std::string grouping_;
};

// A host that installs a locale of its own as the global C++ locale, for as long as it lives.
// (Meanwhile the test framework's own messages group their line numbers too.)
class GlobalLocale {
 public:
  explicit GlobalLocale(const std::string& grouping)
      : previous_(
            std::locale::global(std::locale(std::locale::classic(), new GroupingPunct(grouping)))) {
  }
  ~GlobalLocale() { std::locale::global(previous_); }

 private:
  std::locale previous_;
};

// What a stream made now writes for n: proof that the locale is in force.
std::string Streamed(int n) {
  std::ostringstream out;
  out << n;
  return out.str();
}

}  // namespace

// The global locale groups thousands, "1,001"; the labels stay plain decimal, "第1001节电池".
TEST(SignalTextsUnderAGroupingLocale, LabelsStayPlainDecimal) {
  GlobalLocale grouping("\3");
  ASSERT_EQ(Streamed(1001), "1,001");

  Rig<OpenOndrell20> rig;
  rig.dev.InitSetting(ParseJson(R"({"appSetting": {"battery_start": 1000}})"));
  ExpectCellRequests(rig.Round(), 20, 1001);

  rig.dev.InitSetting(ParseJson(R"({"appSetting": {"battery_start": -2000}})"));
  ExpectCellRequests(rig.Round(), 20, -1999);

  Rig<OpenBattery32> b32;
  b32.dev.InitSetting(ParseJson(R"({"appSetting": {"battery_start": 999999}})"));
  ExpectCellRequests(b32.Round(), 32, 1000000);
}

// Grouping every digit reaches the two-digit cell indexes of the keys as well.
TEST(SignalTextsUnderAGroupingLocale, KeysStayPlainDecimal) {
  GlobalLocale grouping("\1");
  ASSERT_EQ(Streamed(10), "1,0");

  for (int i = 0; i < signal_key::kMaxCells; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(signal_key::CellKey(i), "battery_" + std::to_string(i) + "_value");
  }
  EXPECT_EQ(signal_key::CellLabel(-1234567), Label(-1234567));

  // Through a whole round: keys battery_10_value to battery_19_value, labels 11 to 20.
  Rig<OpenOndrell20> rig;
  rig.dev.InitSetting(ParseJson(R"({"appSetting": {}})"));
  ExpectCellRequests(rig.Round(), 20, 1);
}

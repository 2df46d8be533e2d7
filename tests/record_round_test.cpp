// The battery string record as the host receives it (SendSP), stores it (history) and hands it
// back (cache restore), and what one completed poll round does with it.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "host/ttime.h"
#include "string_device/battery32_data.h"
#include "tests/test_support.h"

using namespace test;

namespace {

constexpr unsigned int kDataId = 0x01020304;  // distinct bytes show the byte order of the id
constexpr int kRecordLen = 152;

// What the module answers in one poll round, as raw wire values.
struct Replies {
  std::array<std::uint16_t, 32> cells = Readings(1200);  // 12.00 V each
  std::uint16_t group_voltage = 2400;                    // 240.0 V
  std::uint16_t current = 250;                           // 25.0 A
  std::uint16_t temperature = 2530;                      // 25.3 degrees
};

// Bus address 0x01: the host hands over 0x81 and InitSetting drops bit 7; InitSetting also
// writes the data id into the record.
template <typename Device>
void AttachAtAddressOne(Host& host, Device& dev, unsigned int id = kDataId) {
  host.Attach(dev, id);
  dev.InitSetting(Json::Value(Json::objectValue));
}

// One poll tick and the module's four replies. Returns what the device wrote to stdout.
template <typename Device>
std::string RunRound(Device& dev, const Replies& r = Replies()) {
  testing::internal::CaptureStdout();
  dev.RefreshStatus();
  Bytes cells = CellFrame(0x01, r.cells);
  EXPECT_EQ(dev.process(cells.data(), cells.size()), 1);
  Bytes gv = ShortReply(0x01, r.group_voltage);
  EXPECT_EQ(dev.process(gv.data(), gv.size()), 1);
  Bytes cur = ShortReply(0x01, r.current);
  EXPECT_EQ(dev.process(cur.data(), cur.size()), 1);
  Bytes temp = ShortReply(0x01, r.temperature);
  EXPECT_EQ(dev.process(temp.data(), temp.size()), 0);
  return testing::internal::GetCapturedStdout();
}

Bytes Slice(const Bytes& b, std::size_t from, std::size_t to) {
  return Bytes(b.begin() + from, b.begin() + to);
}

Bytes StampOf(const boost::posix_time::ptime& t) {
  const ttime s = get_ttime(t);
  return Bytes(s.begin(), s.end());
}

template <typename Device>
Bytes RecordOf(const Device& dev) {
  return Bytes(dev.RecordBytes(), dev.RecordBytes() + kRecordLen);
}

// A stored record as the host would hand it back: id 42, cell 3 at 12.25 V, 240.5 V, -12.5 A,
// 25.0 degrees at the odd offset 141, and a time stamp of 2026-01-02 03:04:05.
Bytes StoredRecord() {
  Bytes rec(kRecordLen, 0);
  rec[0] = 0x2A;
  const Bytes cell3{0x00, 0x00, 0x44, 0x41};
  const Bytes group_voltage{0x00, 0x80, 0x70, 0x43};
  const Bytes group_current{0x00, 0x00, 0x48, 0xC1};
  const Bytes temperature{0x00, 0x00, 0xC8, 0x41};
  const Bytes stamp{0xEA, 0x07, 0x01, 0x02, 0x03, 0x04, 0x05};
  std::copy(cell3.begin(), cell3.end(), rec.begin() + 4 + 4 * 3);
  std::copy(group_voltage.begin(), group_voltage.end(), rec.begin() + 132);
  std::copy(group_current.begin(), group_current.end(), rec.begin() + 136);
  std::copy(temperature.begin(), temperature.end(), rec.begin() + 141);
  std::copy(stamp.begin(), stamp.end(), rec.begin() + 145);
  return rec;
}

// ---------------------------------------------------------------------------------------------
// Record layout and round completion

TEST(StringRecord, EveryFieldSitsAtItsOffsetLittleEndian) {
  Host host;
  OpenBattery32 dev;
  AttachAtAddressOne(host, dev);
  Replies r;
  r.cells[0] = 1350;   // 13.5 V
  r.cells[7] = 1234;   // 12.34 V
  r.cells[31] = 1001;  // 10.01 V
  RunRound(dev, r);

  ASSERT_EQ(host.listener.history.size(), 1u);
  const Bytes& h = host.listener.history[0];
  ASSERT_EQ(h.size(), 152u);
  EXPECT_EQ(Slice(h, 0, 4), (Bytes{0x04, 0x03, 0x02, 0x01}));
  EXPECT_EQ(U32At(h, 0), kDataId);
  EXPECT_EQ(Slice(h, 4, 8), (Bytes{0x00, 0x00, 0x58, 0x41}));  // 13.5
  EXPECT_EQ(FloatAt(h, 4 + 4 * 1), 12.0f);
  EXPECT_EQ(FloatAt(h, 4 + 4 * 7), 12.34f);
  EXPECT_EQ(FloatAt(h, 4 + 4 * 31), 10.01f);
  EXPECT_EQ(Slice(h, 132, 136), (Bytes{0x00, 0x00, 0x70, 0x43}));  // 240.0
  EXPECT_EQ(Slice(h, 136, 140), (Bytes{0x00, 0x00, 0xC8, 0x41}));  // 25.0
  EXPECT_EQ(h[140], 0);
  EXPECT_EQ(Slice(h, 141, 145), (Bytes{0x66, 0x66, 0xCA, 0x41}));  // 25.3f, unaligned
  EXPECT_EQ(FloatAt(h, 141), 25.3f);
  EXPECT_EQ(Slice(h, 145, 152), StampOf(dev.last_update_));
  EXPECT_EQ(RecordOf(dev), h);
}

TEST(StringRecord, SendSPCarriesThePreviousRoundsMeasurementsWithTheNewStamp) {
  Host host;
  OpenOndrell20 dev;
  AttachAtAddressOne(host, dev);
  auto& l = host.listener;

  RunRound(dev);
  const Bytes stamp1 = StampOf(dev.last_update_);
  ASSERT_EQ(l.sent.size(), 1u);
  ASSERT_EQ(l.history.size(), 1u);
  const SentRecord first = l.sent[0];
  EXPECT_EQ(first.code, 5013);
  EXPECT_FALSE(first.flag);
  ASSERT_EQ(first.bytes.size(), 152u);
  EXPECT_EQ(U32At(first.bytes, 0), kDataId);             // written by InitSetting
  EXPECT_EQ(Slice(first.bytes, 4, 145), Bytes(141, 0));  // every measurement 0.0, reserved 0
  EXPECT_EQ(Slice(first.bytes, 145, 152), stamp1);

  const Bytes saved1 = l.history[0];  // a copy: the next round grows the list
  EXPECT_EQ(U32At(saved1, 0), kDataId);
  EXPECT_EQ(FloatAt(saved1, 4), 12.0f);
  EXPECT_EQ(FloatAt(saved1, 4 + 4 * 19), 12.0f);
  EXPECT_EQ(FloatAt(saved1, 132), 240.0f);
  EXPECT_EQ(FloatAt(saved1, 136), 25.0f);
  EXPECT_EQ(FloatAt(saved1, 141), 25.3f);
  EXPECT_EQ(Slice(saved1, 145, 152), stamp1);

  Replies second;
  second.cells = Readings(1300);
  second.group_voltage = 2500;
  second.current = 100;
  second.temperature = 2600;
  RunRound(dev, second);
  ASSERT_EQ(l.sent.size(), 2u);
  ASSERT_EQ(l.history.size(), 2u);
  EXPECT_EQ(l.sent[1].code, 5013);
  EXPECT_EQ(Slice(l.sent[1].bytes, 0, 145), Slice(saved1, 0, 145));
  EXPECT_EQ(Slice(l.sent[1].bytes, 145, 152), StampOf(dev.last_update_));
  const Bytes& saved2 = l.history[1];
  EXPECT_EQ(FloatAt(saved2, 4), 13.0f);
  EXPECT_EQ(FloatAt(saved2, 132), 250.0f);
  EXPECT_EQ(FloatAt(saved2, 136), 10.0f);
  EXPECT_EQ(FloatAt(saved2, 141), 26.0f);
  EXPECT_EQ(Slice(saved2, 145, 152), Slice(l.sent[1].bytes, 145, 152));
  EXPECT_EQ(l.resets, 2);
}

TEST(StringRecord, Ondrell20RoundZeroesCellsTwentyToThirtyOne) {
  Host host;
  OpenOndrell20 dev;
  AttachAtAddressOne(host, dev);
  // A restored record with 7.0 V in every cell slot; the module's readings 20..31 are 13.0 V.
  Bytes rec(kRecordLen, 0);
  for (int i = 0; i < 32; ++i) {
    rec[4 + 4 * i + 2] = 0xE0;
    rec[4 + 4 * i + 3] = 0x40;
  }
  ASSERT_TRUE(dev.LoadFromCache(rec.data(), kRecordLen));
  Replies r;
  for (int i = 20; i < 32; ++i) r.cells[i] = 1300;
  RunRound(dev, r);

  ASSERT_EQ(host.listener.history.size(), 1u);
  const Bytes& h = host.listener.history[0];
  for (int i = 0; i < 32; ++i) {
    EXPECT_EQ(FloatAt(h, 4 + 4 * i), i < 20 ? 12.0f : 0.0f) << "cell " << i;
  }
}

struct FlagCase {
  const char* name;
  std::uint16_t group_voltage;  // second round's raw group voltage (first round: 2400)
  bool analog_value;            // an analog value that was never reported before
  bool temperature_limit;       // a temperature threshold that the second round exceeds
  bool expected;
};

TEST(StringRecord, ReportFlagIsRecomputedEveryRound) {
  const FlagCase cases[] = {
      {"nothing changed", 2400, false, false, false},
      {"group voltage moved by 0.1 V", 2401, false, false, true},
      {"analog report due", 2400, true, false, true},
      {"batch found an alarm change", 2400, false, true, true},
  };
  for (const FlagCase& c : cases) {
    SCOPED_TRACE(c.name);
    Host host;
    OpenOndrell20 dev;
    AttachAtAddressOne(host, dev);
    RunRound(dev);
    if (c.analog_value) {
      dev.ao_names_ = {"load"};
      dev.ao_values_ = {{"load", 42.5f}};
    }
    if (c.temperature_limit) dev.threshold_values_["temperature"] = 20.0f;
    dev.report_flag_ = true;
    Replies r;
    r.group_voltage = c.group_voltage;
    RunRound(dev, r);
    EXPECT_EQ(dev.report_flag_, c.expected);
  }
}

struct RoundCase {
  const char* name;
  bool ondrell;
  std::vector<std::string> ao_names;
  std::map<std::string, float> ao_values;
  std::vector<int> active;
  std::string output;  // everything written to stdout during the round
  std::size_t rules;
  std::vector<std::pair<std::string, float>> ao_checks;
};

template <typename Device>
void CheckRoundCompletion(const RoundCase& c) {
  Host host;
  Device dev;
  AttachAtAddressOne(host, dev);
  dev.ao_names_ = c.ao_names;
  dev.ao_values_ = c.ao_values;
  dev.active_batteries_ = c.active;
  dev.status_word_ = 0;
  const std::string out = RunRound(dev);
  auto& l = host.listener;

  EXPECT_EQ(out, c.output);
  EXPECT_EQ(l.thresholds.size(), c.rules);
  EXPECT_EQ(l.batches, std::vector<std::size_t>{c.rules});  // the batch saw the whole queue
  EXPECT_TRUE(dev.rule_values_.empty());
  EXPECT_EQ(dev.status_word_, 1);
  EXPECT_EQ(l.resets, 1);
  EXPECT_EQ(l.ao_checks, c.ao_checks);
  for (const auto& rule : l.thresholds) {
    EXPECT_NE(rule.key, "spare") << "an analog name without a value is not checked";
  }
  if (!c.ao_checks.empty()) {
    // The analog pass follows the device's own threshold requests.
    const rule_value& last = l.thresholds.back();
    EXPECT_EQ(last.key, c.ao_checks.back().first);
    EXPECT_EQ(last.label, "");
    EXPECT_EQ(last.value, c.ao_checks.back().second);
    EXPECT_EQ(last.index, 1);
  }
}

TEST(StringRecord, RoundCompletionCountsQueuedRulesAndRunsTheAnalogPass) {
  const std::string b32 = "Battery32 16909060 ";
  const RoundCase cases[] = {
      {"Ondrell20: 3 string values and 20 cells", true, {}, {}, {}, "rvSize is 23\n", 23, {}},
      {"Ondrell20: one analog name with a value, one without",
       true,
       {"load", "spare"},
       {{"load", 42.5f}},
       {},
       "rvSize is 24\n",
       24,
       {{"load", 42.5f}}},
      {"Ondrell20: analog name without a value", true, {"spare"}, {}, {}, "rvSize is 23\n", 23, {}},
      {"Ondrell20: cells 3 and 0 selected, 25 and -1 skipped",
       true,
       {},
       {},
       {3, 25, -1, 0},
       "rvSize is 5\n",
       5,
       {}},
      {"Battery32: 3 string values and 32 cells",
       false,
       {},
       {},
       {},
       b32 + "before CallGroupVoltage\n" + b32 + "after CallGroupVoltage\nrvSize is 35\n",
       35,
       {}},
  };
  for (const RoundCase& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.ondrell) {
      CheckRoundCompletion<OpenOndrell20>(c);
    } else {
      CheckRoundCompletion<OpenBattery32>(c);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Cache restore of Battery32 and Ondrell20: the record is taken as the last round's state,
// without running a round.

template <typename Device>
class StringDeviceCache : public ::testing::Test {
 protected:
  void SetUp() override { AttachAtAddressOne(host_, dev_); }
  bool HostSawNothing() const {
    const auto& l = host_.listener;
    return l.sent.empty() && l.history.empty() && l.resets == 0 && l.thresholds.empty() &&
           l.batches.empty() && l.ao_checks.empty();
  }
  Host host_;
  Device dev_;
};

using StringDevices = ::testing::Types<OpenBattery32, OpenOndrell20>;
TYPED_TEST_SUITE(StringDeviceCache, StringDevices);

TYPED_TEST(StringDeviceCache, RefusesAnythingButOneWholeRecord) {
  auto& dev = this->dev_;
  const boost::posix_time::ptime earlier(boost::gregorian::date(2020, 1, 2),
                                         boost::posix_time::hours(3));
  dev.last_update_ = earlier;
  const Bytes before = RecordOf(dev);
  Bytes rec = StoredRecord();
  rec.push_back(0);  // 153 bytes

  testing::internal::CaptureStdout();
  EXPECT_FALSE(dev.LoadFromCache(rec.data(), 151));
  EXPECT_FALSE(dev.LoadFromCache(rec.data(), 153));
  EXPECT_FALSE(dev.LoadFromCache(nullptr, 152));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  EXPECT_EQ(RecordOf(dev), before);
  EXPECT_FALSE(dev.data_ready_);
  EXPECT_EQ(dev.last_update_, earlier);
  EXPECT_EQ(dev.group_voltage_, 0.0f);
  EXPECT_EQ(dev.temperature_, 0.0f);
  EXPECT_TRUE(this->HostSawNothing());
}

TYPED_TEST(StringDeviceCache, RestoresTheGroupValuesAndServesTheStoredCells) {
  auto& dev = this->dev_;
  std::fill(std::begin(dev.cells_), std::end(dev.cells_), 1.5f);
  const Bytes rec = StoredRecord();

  const auto before = boost::posix_time::second_clock::local_time();
  testing::internal::CaptureStdout();
  ASSERT_TRUE(dev.LoadFromCache(rec.data(), 152));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  const auto after = boost::posix_time::second_clock::local_time();

  EXPECT_TRUE(dev.data_ready_);
  EXPECT_TRUE(this->HostSawNothing());
  EXPECT_EQ(RecordOf(dev), rec);  // id and time stamp as stored
  EXPECT_EQ(dev.group_voltage_, 240.5f);
  EXPECT_EQ(dev.group_current_, -12.5f);
  EXPECT_EQ(dev.temperature_, 25.0f);  // 00 00 C8 41 at offsets 141..144
  EXPECT_LE(before, dev.last_update_);
  EXPECT_LE(dev.last_update_, after);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(dev.cells_[i], 1.5f) << "cell " << i;

  EXPECT_EQ(dev.Get_Value(kDataId, "group_voltage"), 240.5f);
  EXPECT_EQ(dev.Get_Value(kDataId, "group_current"), -12.5f);
  EXPECT_EQ(dev.Get_Value(kDataId, "temperature"), 25.0f);
  EXPECT_EQ(dev.Get_Value(kDataId, "battery_3_value"), 12.25f);
  EXPECT_EQ(dev.Get_Value(kDataId, "battery_4_value"), 0.0f);
}

TYPED_TEST(StringDeviceCache, HostStringOverloadForwardsTheBytes) {
  VDeviceInterface& iface = this->dev_;
  const Bytes rec = StoredRecord();
  EXPECT_FALSE(iface.LoadFromCache(std::string(rec.begin(), rec.end() - 1)));
  EXPECT_FALSE(this->dev_.data_ready_);
  EXPECT_TRUE(iface.LoadFromCache(std::string(rec.begin(), rec.end())));
  EXPECT_TRUE(this->dev_.data_ready_);
  EXPECT_EQ(this->dev_.temperature_, 25.0f);
  EXPECT_EQ(RecordOf(this->dev_), rec);
}

// ---------------------------------------------------------------------------------------------
// The record device's own restore, which closes a round with the restored record.

class RecordOnlyDevice : public BatteryStringDevice {
 public:
  int ProcessBatteryVoltage() override { return 0; }
};

TEST(UniDataDeviceCache, RestoredRecordIsSentAndStoredAgain) {
  Host host;
  RecordOnlyDevice dev;
  AttachAtAddressOne(host, dev);
  auto& l = host.listener;
  const Bytes rec = StoredRecord();

  EXPECT_FALSE(dev.LoadFromCache(rec.data(), 151));
  EXPECT_FALSE(dev.LoadFromCache(nullptr, 152));
  EXPECT_FALSE(dev.data_ready_);
  EXPECT_TRUE(l.sent.empty());
  EXPECT_TRUE(l.history.empty());

  testing::internal::CaptureStdout();
  ASSERT_TRUE(dev.LoadFromCache(rec.data(), 152));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "rvSize is 0\n");
  EXPECT_TRUE(dev.data_ready_);
  EXPECT_EQ(dev.status_word_, 1);
  EXPECT_EQ(l.resets, 1);
  ASSERT_EQ(l.sent.size(), 1u);
  EXPECT_EQ(l.sent[0].code, 5013);
  EXPECT_FALSE(l.sent[0].flag);
  ASSERT_EQ(l.sent[0].bytes.size(), 152u);
  EXPECT_EQ(Slice(l.sent[0].bytes, 0, 145), Slice(rec, 0, 145));  // id 42 and values as stored
  EXPECT_EQ(Slice(l.sent[0].bytes, 145, 152), StampOf(dev.last_update_));  // stamped anew
  ASSERT_EQ(l.history.size(), 1u);
  EXPECT_EQ(l.history[0], l.sent[0].bytes);
  EXPECT_EQ(l.batches, std::vector<std::size_t>{0});
}

}  // namespace

// The host's queries for single named values: readiness, freshness, cell keys served from the
// record of the last completed round, group values from the link layer.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <ostream>
#include <random>
#include <regex>
#include <stdexcept>
#include <string>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "string_device/signal_key.h"
#include "tests/test_support.h"

using namespace test;

namespace {

namespace pt = boost::posix_time;

const char kNotReady[] = "数据未就绪";
const char kStale[] = "数据已超时";
const char kUnsupported[] = "不支持变量";

// What a query gives: a value, or the text of the refusal.
struct Answer {
  bool served = false;
  float value = 0.0f;
  std::string refusal;
  bool operator==(const Answer& o) const {
    return served == o.served && (served ? value == o.value : refusal == o.refusal);
  }
};
std::ostream& operator<<(std::ostream& os, const Answer& a) {
  return a.served ? os << "value " << a.value : os << "refused \"" << a.refusal << "\"";
}
Answer Value(float v) { return {true, v, ""}; }
Answer Refused(const char* text) { return {false, 0.0f, text}; }

Answer Ask(const XQRVDevice& dev, const std::string& name) {
  try {
    return Value(dev.Get_Value(0, name));
  } catch (const std::out_of_range& e) {
    return Refused(e.what());
  }
}

// Asks with last_update_ set `age` seconds before the clock; tries again when the clock's second
// changed during the attempt, so the age seen by the device is exactly `age`.
Answer AskAged(XQRVDevice& dev, long age, const std::string& name) {
  for (int attempt = 0; attempt < 10; ++attempt) {
    const pt::ptime before = pt::second_clock::local_time();
    dev.last_update_ = before - pt::seconds(age);
    const Answer answer = Ask(dev, name);
    if (pt::second_clock::local_time() == before) return answer;
  }
  ADD_FAILURE() << "the clock moved on every attempt";
  return {};
}

// A stored record: cell i holds 9.0 + 0.125 i, group voltage 53.25, current -1.5, temperature
// 24.75 at the odd offset 141.
float StoredCell(int i) { return 9.0f + 0.125f * static_cast<float>(i); }
Bytes StoredRecord() {
  Bytes rec(152, 0);
  auto put = [&rec](std::size_t at, float f) {
    std::uint32_t bits;
    std::memcpy(&bits, &f, 4);
    for (int k = 0; k < 4; ++k) rec[at + k] = static_cast<unsigned char>(bits >> (8 * k));
  };
  for (int i = 0; i < 32; ++i) put(4 + 4 * i, StoredCell(i));
  put(132, 53.25f);
  put(136, -1.5f);
  put(141, 24.75f);
  return rec;
}

}  // namespace

TEST(ValueLookup, NothingIsServedBeforeTheFirstRoundOrRestore) {
  OpenOndrell20 dev;
  for (const char* name : {"battery_0_value", "group_voltage", "no_such_value"}) {
    EXPECT_EQ(Ask(dev, name), Refused(kNotReady)) << name;
  }
  // Readiness is checked before freshness, freshness before the name.
  dev.last_update_ = pt::second_clock::local_time();
  EXPECT_EQ(Ask(dev, "battery_0_value"), Refused(kNotReady));
  EXPECT_EQ(AskAged(dev, 3600, "battery_0_value"), Refused(kNotReady));
  dev.data_ready_ = true;
  EXPECT_EQ(AskAged(dev, 3600, "no_such_value"), Refused(kStale));
}

TEST(ValueLookup, DataIsStaleFromSixtyOneSeconds) {
  OpenBattery32 dev;
  Bytes rec = StoredRecord();
  ASSERT_TRUE(dev.LoadFromCache(rec.data(), 152));
  struct Case {
    long age;
    bool fresh;
  } const cases[] = {{0, true},     {60, true},    {61, false},
                     {3600, false}, {-3600, true}, {-86400, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.age);
    EXPECT_EQ(AskAged(dev, c.age, "battery_5_value"),
              c.fresh ? Value(StoredCell(5)) : Refused(kStale));
    EXPECT_EQ(AskAged(dev, c.age, "group_voltage"), c.fresh ? Value(53.25f) : Refused(kStale));
  }
}

TEST(ValueLookup, NamesOnBothStringSizes) {
  OpenBattery32 b32;
  OpenOndrell20 o20;
  Bytes rec = StoredRecord();
  ASSERT_TRUE(b32.LoadFromCache(rec.data(), 152));
  ASSERT_TRUE(o20.LoadFromCache(rec.data(), 152));
  const Answer none = Refused(kUnsupported);
  struct Case {
    std::string name;
    Answer on32, on20;
  } const cases[] = {
      {"battery_0_value", Value(StoredCell(0)), Value(StoredCell(0))},
      {"battery_19_value", Value(StoredCell(19)), Value(StoredCell(19))},
      {"battery_20_value", Value(StoredCell(20)), none},
      {"battery_31_value", Value(StoredCell(31)), none},
      {"battery_32_value", none, none},
      {"battery_007_value", Value(StoredCell(7)), Value(StoredCell(7))},
      {"xbattery_3_valuey", Value(StoredCell(3)), Value(StoredCell(3))},
      {"battery_battery_4_value", Value(StoredCell(4)), Value(StoredCell(4))},
      {"battery_1_valuebattery_2_value", Value(StoredCell(1)), Value(StoredCell(1))},
      {"battery_x_value battery_2_value", Value(StoredCell(2)), Value(StoredCell(2))},
      // The first occurrence decides, even when it is out of range.
      {"battery_40_value battery_1_value", none, none},
      {"battery_25_value battery_1_value", Value(StoredCell(25)), none},
      {"Battery_3_value", none, none},
      {"battery__value", none, none},
      {"battery_-1_value", none, none},
      {"battery_+1_value", none, none},
      {"battery_1_valu", none, none},
      {"battery_1value", none, none},
      {"battery_2147483647_value", none, none},
      {"battery_2147483648_value", none, none},
      {"battery_4294967296_value", none, none},
      {"battery_99999999999_value", none, none},
      {"battery_" + std::string(5000, '9') + "_value", none, none},
      {"battery_" + std::string(5000, '0') + "5_value", Value(StoredCell(5)), Value(StoredCell(5))},
      {"group_voltage", Value(53.25f), Value(53.25f)},
      {"group_current", Value(-1.5f), Value(-1.5f)},
      {"temperature", Value(24.75f), Value(24.75f)},
      {"group_voltage ", none, none},
      {"", none, none},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name.substr(0, 40));
    EXPECT_EQ(Ask(b32, c.name), c.on32);
    EXPECT_EQ(Ask(o20, c.name), c.on20);
  }
}

// Group values follow each accepted reply; cell values change only when a round completes.
TEST(ValueLookup, GroupValuesMidRoundCellValuesPerCompletedRound) {
  Host host;
  OpenOndrell20 dev;
  host.Attach(dev, 9);
  dev.InitSetting(Json::Value(Json::objectValue));
  auto feed = [&dev](Bytes frame) {
    dev.process(frame.data(), static_cast<unsigned>(frame.size()));
  };

  testing::internal::CaptureStdout();
  dev.RefreshStatus();
  feed(CellFrame(0x01, Readings(1200)));  // 12.00 V
  feed(ShortReply(0x01, 2400));           // 240.0 V
  feed(ShortReply(0x01, 105));            // 10.5 A
  feed(ShortReply(0x01, 2500));           // 25.00 degrees: round complete
  EXPECT_EQ(Ask(dev, "battery_0_value"), Value(12.0f));
  EXPECT_EQ(Ask(dev, "group_voltage"), Value(240.0f));

  dev.RefreshStatus();
  feed(CellFrame(0x01, Readings(1250)));  // 12.50 V
  EXPECT_EQ(dev.cells_[0], 12.5f);
  EXPECT_EQ(Ask(dev, "battery_0_value"), Value(12.0f));
  feed(ShortReply(0x01, 2410));  // 241.0 V
  EXPECT_EQ(Ask(dev, "group_voltage"), Value(241.0f));
  EXPECT_EQ(Ask(dev, "battery_19_value"), Value(12.0f));
  feed(ShortReply(0x01, 110));  // 11.0 A
  EXPECT_EQ(Ask(dev, "group_current"), Value(11.0f));
  feed(ShortReply(0x01, 2600));  // round complete
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(Ask(dev, "battery_0_value"), Value(12.5f));
  EXPECT_EQ(Ask(dev, "temperature"), Value(26.0f));
}

namespace {

// The matcher's reference: the leftmost match of battery_(\d+)_value and its digits as a number.
enum class Match { kNone, kBeyondInt, kIndex };
Match Reference(const std::string& name, int* index) {
  static const std::regex pattern("battery_(\\d+)_value");
  std::smatch m;
  if (!std::regex_search(name, m, pattern)) return Match::kNone;
  std::string digits = m[1].str();
  const std::size_t first = digits.find_first_not_of('0');
  digits = first == std::string::npos ? "0" : digits.substr(first);
  if (digits.size() > 10 || std::stoll(digits) > INT_MAX) return Match::kBeyondInt;
  *index = static_cast<int>(std::stoll(digits));
  return Match::kIndex;
}

// Names built from the pieces of a signal key and its near misses.
class NameGenerator {
 public:
  // Free sequences of pieces, or a key-shaped core between pieces, often with one character
  // dropped, doubled or replaced: near misses of every kind.
  std::string Next() {
    const int most = Chance(10) ? 40 : 3;  // now and then a long name
    std::string name = Pieces(most);
    if (Chance(2)) {
      std::string core = "battery_" + Digits() + "_value";
      if (Chance(2)) {
        const std::size_t at = Uniform(0, static_cast<int>(core.size()) - 1);
        switch (Uniform(0, 2)) {
          case 0:
            core.erase(at, 1);
            break;
          case 1:
            core.insert(at, 1, core[at]);
            break;
          default:
            core[at] = "_b1x -Ve"[Uniform(0, 7)];
            break;
        }
      }
      name += core;
    }
    return name + Pieces(most);
  }

 private:
  int Uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  bool Chance(int one_in) { return Uniform(1, one_in) == 1; }

  std::string Digits() {
    static const char* const kEdges[] = {
        "2147483647", "2147483648", "02147483647", "4294967296", "0", "00", "31", "32", "19", "20"};
    if (Chance(4)) return kEdges[Uniform(0, 9)];
    std::string d;
    const int n = Chance(3) ? Uniform(1, 2) : Uniform(1, 14);
    for (int i = 0; i < n; ++i) d += static_cast<char>('0' + Uniform(0, 9));
    return d;
  }

  std::string Pieces(int most) {
    static const char* const kPieces[] = {"battery_", "_value", "batter",   "_valu", "_",  "b",
                                          "x",        " ",      "Battery_", "value", "y_", "-"};
    std::string s;
    // At most about 130 characters on either side of the core, well within what std::regex
    // can search without running out of stack.
    for (int n = Uniform(0, most); n > 0 && s.size() < 120; --n) {
      const int k = pick_(rng_);
      s += k == 12 ? Digits() : kPieces[k];
    }
    return s;
  }

  std::mt19937 rng_{20240611u};
  // Weights: the pieces in Pieces() in order, then a digit run.
  std::discrete_distribution<int> pick_{14, 12, 4, 4, 5, 3, 3, 2, 1, 2, 2, 1, 14};
};

}  // namespace

TEST(ValueLookup, CellKeyMatcherAgreesWithTheRegularExpression) {
  std::vector<std::string> names = {
      "battery_battery_1_value",
      "battery_battery__value",
      "batterybattery_1_value",
      "battery_1_battery_2_value",
      "battery_1__value",
      "battery_1_valuee",
      "battery_12_valu",
      "battery__1_value",
      "battery_1 _value",
      "battery_ 1_value",
      "_value battery_",
      "battery_0_value",
      "battery_00000000000000000000007_value",
      "battery_2147483647_value",
      "battery_2147483648_value battery_3_value",
      "battery_31_value_value",
      "bbattery_9_value",
      "battery_",
      "_value",
      "",
      "battery_9",
      "9_value",
      "battery_1_valuebattery_2_value",
      "battery_" + std::string(250, '1') + "_value",
      std::string(280, '9'),
      "battery_" + std::string(200, '0') + "42_value",
  };
  NameGenerator generator;
  while (names.size() < 25000) names.push_back(generator.Next());

  int matched = 0;
  int beyond_int = 0;
  std::size_t longest = 0;
  for (const std::string& name : names) {
    longest = std::max(longest, name.size());
    int expected = -1;
    int got = -1;
    const Match match = Reference(name, &expected);
    // A number beyond the int range is not served, like no occurrence at all.
    ASSERT_EQ(FindCellIndex(name, &got), match == Match::kIndex) << '"' << name << '"';
    if (match == Match::kIndex) {
      ASSERT_EQ(got, expected) << '"' << name << '"';
      ++matched;
    }
    if (match == Match::kBeyondInt) ++beyond_int;
  }
  // The generator must reach both sides often enough to mean something.
  EXPECT_GT(matched, 4000);
  EXPECT_GT(beyond_int, 1000);
  EXPECT_GT(static_cast<int>(names.size()) - matched - beyond_int, 5000);
  EXPECT_GT(longest, 200u);
}

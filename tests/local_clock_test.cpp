// The local time that stamps requests, records and the freshness check is converted once per
// second and thread. It must be the same ptime that second_clock::local_time() gives for that
// second, DST changes included; a changed zone shows from the next second on.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "battery/local_clock.h"

namespace {

using boost::posix_time::ptime;
using boost::posix_time::time_from_string;

// Central European time as a POSIX rule, so that no zone files are needed: UTC+1, summer time
// UTC+2 from the last Sunday of March 02:00 to the last Sunday of October 03:00.
constexpr char kCentralEurope[] = "CET-1CEST,M3.5.0,M10.5.0/3";

// 2026-03-29 01:00:00 UTC, when clocks in that zone jump from 02:00 to 03:00, and 2026-10-25
// 01:00:00 UTC, when they fall back from 03:00 to 02:00.
constexpr std::time_t kSpringForward = 1774746000;
constexpr std::time_t kFallBack = 1792890000;

class ZoneGuard {
 public:
  explicit ZoneGuard(const char* zone) {
    const char* old = std::getenv("TZ");
    had_zone_ = old != nullptr;
    if (had_zone_) old_zone_ = old;
    Set(zone);
  }
  ~ZoneGuard() {
    if (had_zone_) {
      Set(old_zone_.c_str());
    } else {
      unsetenv("TZ");
      tzset();
    }
  }
  static void Set(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }

 private:
  bool had_zone_ = false;
  std::string old_zone_;
};

}  // namespace

TEST(LocalClock, ConvertsAcrossSummerTimeChanges) {
  ZoneGuard zone(kCentralEurope);
  struct Case {
    std::time_t t;
    const char* local;
  } const cases[] = {
      {kSpringForward - 1, "2026-03-29 01:59:59"},
      {kSpringForward, "2026-03-29 03:00:00"},
      {kFallBack - 1, "2026-10-25 02:59:59"},
      {kFallBack, "2026-10-25 02:00:00"},
      {0, "1970-01-01 01:00:00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.local);
    EXPECT_EQ(local_clock::ToLocal(c.t), time_from_string(c.local));
  }
}

// The cache asks for a conversion only when the second changes, and the second after a summer
// time change gets the new offset at once.
TEST(LocalClock, CacheConvertsOncePerSecond) {
  ZoneGuard zone(kCentralEurope);
  int conversions = 0;
  auto convert = [&conversions](std::time_t t) {
    ++conversions;
    return local_clock::ToLocal(t);
  };
  local_clock::SecondCache cache;
  EXPECT_EQ(cache.At(kSpringForward - 1, convert), time_from_string("2026-03-29 01:59:59"));
  EXPECT_EQ(cache.At(kSpringForward - 1, convert), time_from_string("2026-03-29 01:59:59"));
  EXPECT_EQ(conversions, 1);
  EXPECT_EQ(cache.At(kSpringForward, convert), time_from_string("2026-03-29 03:00:00"));
  EXPECT_EQ(conversions, 2);
  // A clock set back to an earlier second is converted again, not served from the cache.
  EXPECT_EQ(cache.At(kSpringForward - 1, convert), time_from_string("2026-03-29 01:59:59"));
  EXPECT_EQ(conversions, 3);
}

// A changed zone: the second already converted keeps its value, the next one uses the new zone.
TEST(LocalClock, ChangedZoneShowsFromTheNextSecond) {
  ZoneGuard zone("UTC0");
  local_clock::SecondCache cache;
  const std::time_t t = kFallBack + 3600;  // 2026-10-25 02:00:00 UTC
  EXPECT_EQ(cache.At(t, local_clock::ToLocal), time_from_string("2026-10-25 02:00:00"));
  ZoneGuard::Set(kCentralEurope);
  EXPECT_EQ(cache.At(t, local_clock::ToLocal), time_from_string("2026-10-25 02:00:00"));
  EXPECT_EQ(cache.At(t + 1, local_clock::ToLocal), time_from_string("2026-10-25 03:00:01"));
}

// Now() reads the same clock as second_clock::local_time(); whatever second boundary falls
// between the three reads, Now() lies between the two others. (The process's own zone: a zone
// changed here would, by design, show in Now() only from the next second.)
TEST(LocalClock, NowIsTheLocalClock) {
  for (int i = 0; i < 3; ++i) {
    const ptime before = boost::posix_time::second_clock::local_time();
    const ptime now = local_clock::Now();
    const ptime after = boost::posix_time::second_clock::local_time();
    EXPECT_LE(before, now);
    EXPECT_LE(now, after);
  }
}

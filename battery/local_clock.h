#pragma once

#include <ctime>

#include <boost/date_time/posix_time/ptime.hpp>

// The local time of second resolution that stamps serial activity, records and the freshness
// check of value queries.
//
// Turning the system clock into local time (localtime_r: zone lock, zone rules, calendar
// arithmetic) costs the controller far more than anything else the device does per request, and
// a poll round asks for it about ten times within the same second. So each thread keeps the last
// conversion and reuses it while the clock still shows the same second. The result is exactly
// what boost::posix_time::second_clock::local_time() returns for that second: DST changes fall
// on whole seconds, so they are seen at the first call in the new second. The only difference:
// when the zone itself is changed (TZ set and tzset() called) the new zone is applied from the
// next second on, not within the second in which it changed.
namespace local_clock {

// Local time of the system clock's second `t`, converted exactly as second_clock::local_time()
// converts it (localtime_r, then calendar date and time of day); throws std::runtime_error, as
// second_clock does, for a second that localtime_r cannot convert.
boost::posix_time::ptime ToLocal(std::time_t t);

// The last conversion, reused while the second is the same.
class SecondCache {
 public:
  template <typename Convert>
  const boost::posix_time::ptime& At(std::time_t t, Convert convert) {
    if (!valid_ || t != second_) {
      local_ = convert(t);
      second_ = t;
      valid_ = true;
    }
    return local_;
  }

 private:
  bool valid_ = false;
  std::time_t second_ = 0;
  boost::posix_time::ptime local_;
};

// The current local time, second resolution; one cache per thread, shared by all devices.
boost::posix_time::ptime Now();

}  // namespace local_clock

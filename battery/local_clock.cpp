#include "battery/local_clock.h"

#include <boost/date_time/c_time.hpp>
#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <boost/date_time/posix_time/posix_time_duration.hpp>

namespace local_clock {

boost::posix_time::ptime ToLocal(std::time_t t) {
  std::tm local{};
  // Throws std::runtime_error when the second cannot be converted, as second_clock does.
  boost::date_time::c_time::localtime(&t, &local);
  // The same construction as second_clock::create_time.
  const boost::gregorian::date day(static_cast<unsigned short>(local.tm_year + 1900),
                                   static_cast<unsigned short>(local.tm_mon + 1),
                                   static_cast<unsigned short>(local.tm_mday));
  const boost::posix_time::time_duration time_of_day(local.tm_hour, local.tm_min, local.tm_sec);
  return boost::posix_time::ptime(day, time_of_day);
}

boost::posix_time::ptime Now() {
  thread_local SecondCache cache;
  return cache.At(std::time(nullptr), ToLocal);
}

}  // namespace local_clock

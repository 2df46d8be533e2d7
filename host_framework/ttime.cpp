#include "host/ttime.h"

#include <boost/date_time/gregorian/gregorian_types.hpp>

ttime get_ttime(const boost::posix_time::ptime& local_time) {
  ttime stamp{};
  if (local_time.is_special()) return stamp;
  const boost::gregorian::date d = local_time.date();
  const boost::posix_time::time_duration t = local_time.time_of_day();
  const unsigned year = static_cast<unsigned>(d.year());
  stamp[0] = static_cast<unsigned char>(year & 0xFFu);
  stamp[1] = static_cast<unsigned char>(year >> 8);
  stamp[2] = static_cast<unsigned char>(d.month().as_number());
  stamp[3] = static_cast<unsigned char>(d.day().as_number());
  stamp[4] = static_cast<unsigned char>(t.hours());
  stamp[5] = static_cast<unsigned char>(t.minutes());
  stamp[6] = static_cast<unsigned char>(t.seconds());
  return stamp;
}

// The host's queries for single named values.
#include <cstdint>
#include <stdexcept>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "battery/local_clock.h"
#include "string_device/battery32.h"
#include "string_device/signal_key.h"

namespace {

// The module is polled every few seconds; a minute without any serial activity means the data
// can no longer be trusted.
constexpr std::int64_t kStaleAfterSeconds = 61;

}  // namespace

float Battery32::Get_Value(unsigned int data_id, const std::string& name) const {
  if (!data_ready_) throw std::out_of_range("数据未就绪");

  const boost::posix_time::ptime now = local_clock::Now();
  if (last_update_.is_special()) throw std::out_of_range("数据已超时");
  const boost::posix_time::time_duration age = now - last_update_;
  const std::int64_t age_seconds = age.ticks() / age.ticks_per_second();
  if (age_seconds >= kStaleAfterSeconds) throw std::out_of_range("数据已超时");

  // Cells come from the record of the last completed round (or restore), not from cells_,
  // which a round in progress may already have overwritten.
  int index = -1;
  if (FindCellIndex(name, &index) && index >= 0 && index < cell_count_) {
    return record::Cell(data_, index);
  }
  return Battery::Get_Value(data_id, name);
}

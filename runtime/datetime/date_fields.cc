#include <time.h>

#include "runtime/datetime/datetime.h"

namespace sr {
namespace {

// A DateValue is local wall-clock time counted as UTC, so breaking it down as UTC gives the
// local fields back. All zero when it cannot be broken down.
tm fields_of(DateValue date) {
  const time_t instant = date;
  tm fields{};
  if (gmtime_r(&instant, &fields) == nullptr) return tm{};
  return fields;
}

}  // namespace

int date_year(DateValue date) {
  const tm fields = fields_of(date);
  return fields.tm_mday == 0 ? 0 : fields.tm_year + 1900;
}

int date_month(DateValue date) {
  const tm fields = fields_of(date);
  return fields.tm_mday == 0 ? 0 : fields.tm_mon + 1;
}

int date_day(DateValue date) {
  return fields_of(date).tm_mday;
}
int date_hour(DateValue date) {
  return fields_of(date).tm_hour;
}
int date_minute(DateValue date) {
  return fields_of(date).tm_min;
}
int date_second(DateValue date) {
  return fields_of(date).tm_sec;
}

}  // namespace sr

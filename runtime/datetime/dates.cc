#include <time.h>

#include <cerrno>
#include <cstdint>
#include <limits>

#include "runtime/datetime/datetime.h"

namespace sr {
namespace {

bool is_leap_year(int year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

bool valid_components(int year, int month, int day, int hour, int minute, int second) {
  if (day == 31 && (month == 4 || month == 6 || month == 9 || month == 11)) return false;
  if (month == 2 && (day > 29 || (day == 29 && !is_leap_year(year)))) return false;
  // Compared unsigned so that negative values fail as well.
  if (static_cast<unsigned>(second) > 59 || static_cast<unsigned>(minute) > 59 ||
      static_cast<unsigned>(hour) > 23) {
    return false;
  }
  return day >= 1 && day <= 31 && month >= 1 && month <= 12 && year > 0;
}

// The local broken-down time of instant 0.
tm epoch_local() {
  tzset();
  const time_t zero = 0;
  tm local{};
  localtime_r(&zero, &local);
  return local;
}

// Standard offset of the local zone in 1970, from the wall clock at instant 0.
std::int64_t epoch_offset(const tm& epoch) {
  int hour = epoch.tm_hour;
  if (hour > 11 && epoch.tm_mday == 31) hour -= 24;  // west of UTC: still 31 December 1969
  return static_cast<std::int64_t>(hour) * 3600 + epoch.tm_min * 60;
}

}  // namespace

DateValue make_date(int year, int month, int day, int hour, int minute, int second) {
  if (!valid_components(year, month, day, hour, minute, second)) return -1;
  if (year == 1970 && month == 1 && day == 1) return hour * 3600 + minute * 60 + second;

  const tm epoch = epoch_local();
  tm fields{};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  fields.tm_isdst = epoch.tm_isdst;
  errno = 0;
  const time_t instant = mktime(&fields);
  if (instant == static_cast<time_t>(-1) && errno != 0) return -1;
  // A date outside the 32-bit range has no DateValue; wrapping it would name another date.
  const std::int64_t value = static_cast<std::int64_t>(instant) + epoch_offset(epoch);
  if (value < std::numeric_limits<DateValue>::min() ||
      value > std::numeric_limits<DateValue>::max()) {
    return -1;
  }
  return static_cast<DateValue>(value);
}

DateValue current_date() {
  const time_t now = time(nullptr);
  tm local{};
  tzset();
  if (localtime_r(&now, &local) == nullptr) return -1;
  return make_date(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                   local.tm_min, local.tm_sec);
}

}  // namespace sr

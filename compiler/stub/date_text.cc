#include "compiler/stub/date_text.h"

#include "compiler/stub/decimal.h"

namespace sr::zr {
namespace {

constexpr int64_t kSecondsPerDay = 86400;

struct DateFields {
  int64_t year;
  int64_t month, day, hour, minute, second;
};

// The proleptic Gregorian calendar in 400-year eras of 146,097 days, counted from 0000-03-01 so
// that the leap day falls at the end of each year. Exact for every 64-bit count of seconds.
DateFields fields_of(int64_t seconds) {
  int64_t days = seconds / kSecondsPerDay;
  int64_t of_day = seconds % kSecondsPerDay;
  if (of_day < 0) {
    of_day += kSecondsPerDay;
    --days;
  }
  const int64_t z = days + 719468;  // days from 0000-03-01 to 1970-01-01
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t day_of_era = z - era * 146097;
  const int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t month_from_march = (5 * day_of_year + 2) / 153;
  DateFields f{};
  f.day = day_of_year - (153 * month_from_march + 2) / 5 + 1;
  f.month = month_from_march < 10 ? month_from_march + 3 : month_from_march - 9;
  f.year = year_of_era + era * 400 + (f.month <= 2 ? 1 : 0);
  f.hour = of_day / 3600;
  f.minute = of_day / 60 % 60;
  f.second = of_day % 60;
  return f;
}

// `value` in decimal, with zeros in front up to `width` digits (after a minus sign).
void append_padded(Text& out, int64_t value, size_t width) {
  Decimal digits(value);
  Bytes text = digits.view();
  if (value < 0) {
    out.push_back('-');
    text = text.part(1);
  }
  for (size_t n = text.size; n < width; ++n) out.push_back('0');
  out.append(text);
}

// The field that `letter` names, written out; false when `letter` names none.
bool append_field(Text& out, char letter, const DateFields& f) {
  switch (letter) {
    case 'Y':
      append_padded(out, f.year, 4);
      return true;
    case 'm':
      append_padded(out, f.month, 2);
      return true;
    case 'd':
      append_padded(out, f.day, 2);
      return true;
    case 'H':
      append_padded(out, f.hour, 2);
      return true;
    case 'M':
      append_padded(out, f.minute, 2);
      return true;
    case 'S':
      append_padded(out, f.second, 2);
      return true;
    case '%':
      out.push_back('%');
      return true;
    default:
      return false;
  }
}

}  // namespace

Text format_date(Bytes format, int64_t seconds) {
  const DateFields fields = fields_of(seconds);
  Text out;
  out.reserve(format.size + 16);
  for (size_t i = 0; i < format.size; ++i) {
    if (format[i] == '%' && i + 1 < format.size && append_field(out, format[i + 1], fields)) {
      ++i;
    } else {
      out.push_back(format[i]);
    }
  }
  return out;
}

}  // namespace sr::zr

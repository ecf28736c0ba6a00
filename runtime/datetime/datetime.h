// Calendar values and random numbers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sr {

// Seconds since 1970-01-01 00:00:00 of the local wall clock, counted as if it were UTC.
using DateValue = std::int32_t;

// Uniform in 0..max inclusive; max == -1 gives all 32 bits of one generator step.
// The first use seeds the generator from the clock and the thread id.
std::uint32_t random_number(std::int32_t max);
void seed_random(std::uint32_t seed);

DateValue current_date();
// -1 for invalid components.
DateValue make_date(int year, int month, int day, int hour, int minute, int second);
// Tokens %yyyy %yy %mm %dd %hh %ii %ss (any case); other text, and a lone "%", copied.
std::string format_date(std::string_view mask, DateValue date);

int date_year(DateValue date);
int date_month(DateValue date);
int date_day(DateValue date);
int date_hour(DateValue date);
int date_minute(DateValue date);
int date_second(DateValue date);

}  // namespace sr

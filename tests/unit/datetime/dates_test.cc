#include <time.h>

#include <cstdint>

#include <gtest/gtest.h>

#include "runtime/datetime/datetime.h"
#include "tests/unit/datetime/tz_scope.h"

namespace sr {
namespace {

struct Fields {
  int year, month, day, hour, minute, second;
};

// The DateValue of the given wall-clock fields: the fields counted as UTC.
std::int64_t as_utc(const Fields& f) {
  tm t{};
  t.tm_year = f.year - 1900;
  t.tm_mon = f.month - 1;
  t.tm_mday = f.day;
  t.tm_hour = f.hour;
  t.tm_min = f.minute;
  t.tm_sec = f.second;
  return timegm(&t);
}

DateValue make(const Fields& f) {
  return make_date(f.year, f.month, f.day, f.hour, f.minute, f.second);
}

TEST(MakeDate, RefusesInvalidComponents) {
  struct Row {
    const char* name;
    Fields fields;
  };
  const Row rows[] = {
      {"31 April", {2026, 4, 31, 0, 0, 0}},
      {"31 June", {2026, 6, 31, 0, 0, 0}},
      {"31 September", {2026, 9, 31, 0, 0, 0}},
      {"31 November", {2026, 11, 31, 0, 0, 0}},
      {"30 February", {2024, 2, 30, 0, 0, 0}},
      {"29 February 2023", {2023, 2, 29, 0, 0, 0}},
      {"29 February 1900", {1900, 2, 29, 0, 0, 0}},
      {"day 0", {2026, 1, 0, 0, 0, 0}},
      {"day 32", {2026, 1, 32, 0, 0, 0}},
      {"month 0", {2026, 0, 1, 0, 0, 0}},
      {"month 13", {2026, 13, 1, 0, 0, 0}},
      {"year 0", {0, 1, 1, 0, 0, 0}},
      {"negative year", {-5, 1, 1, 0, 0, 0}},
      {"hour 24", {2026, 1, 1, 24, 0, 0}},
      {"minute 60", {2026, 1, 1, 0, 60, 0}},
      {"leap second", {2026, 1, 1, 0, 0, 60}},
      {"negative hour", {2026, 1, 1, -1, 0, 0}},
      {"negative minute", {2026, 1, 1, 0, -1, 0}},
      {"negative second", {2026, 1, 1, 0, 0, -1}},
      {"1970-01-01 is validated too", {1970, 1, 1, 0, 0, 60}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(make(row.fields), -1);
  }
}

TEST(MakeDate, IsTheWallClockCountedAsUtcInEveryZone) {
  const Fields rows[] = {
      {1970, 1, 1, 0, 0, 5},      {1970, 1, 1, 23, 59, 59}, {1970, 1, 2, 0, 0, 0},
      {1969, 12, 31, 23, 59, 59}, {2000, 2, 29, 12, 0, 0},  {2024, 2, 29, 0, 0, 0},
      {2026, 7, 15, 12, 30, 0},   {2026, 12, 8, 4, 5, 9},   {2038, 1, 18, 0, 0, 0},
      {1902, 1, 1, 0, 0, 0},
  };
  for (const char* zone : testing::kZones) {
    testing::TzScope tz(zone);
    for (const Fields& f : rows) {
      SCOPED_TRACE(::testing::Message() << zone << " " << f.year << "-" << f.month << "-" << f.day
                                        << " " << f.hour << ":" << f.minute << ":" << f.second);
      const DateValue value = make(f);
      EXPECT_EQ(value, as_utc(f));
      EXPECT_EQ(date_year(value), f.year);
      EXPECT_EQ(date_month(value), f.month);
      EXPECT_EQ(date_day(value), f.day);
      EXPECT_EQ(date_hour(value), f.hour);
      EXPECT_EQ(date_minute(value), f.minute);
      EXPECT_EQ(date_second(value), f.second);
    }
  }
}

TEST(MakeDate, RefusesDatesOutsideTheDateValueRange) {
  testing::TzScope tz("UTC0");
  EXPECT_EQ(make_date(2038, 1, 19, 3, 14, 7), 2147483647);
  EXPECT_EQ(make_date(1901, 12, 13, 20, 45, 52), -2147483647 - 1);
  // Beyond either end the value would wrap into another date.
  EXPECT_EQ(make_date(2038, 1, 19, 3, 14, 8), -1);
  EXPECT_EQ(make_date(1901, 12, 13, 20, 45, 51), -1);
  EXPECT_EQ(make_date(2100, 6, 1, 0, 0, 0), -1);
  EXPECT_EQ(make_date(1, 1, 1, 0, 0, 0), -1);
}

TEST(DateFields, BreakTheValueDownAsUtc) {
  struct Row {
    DateValue value;
    Fields fields;
  };
  const Row rows[] = {
      {0, {1970, 1, 1, 0, 0, 0}},
      {-1, {1969, 12, 31, 23, 59, 59}},
      {2147483647, {2038, 1, 19, 3, 14, 7}},
      {-2147483647 - 1, {1901, 12, 13, 20, 45, 52}},
      {951782400, {2000, 2, 29, 0, 0, 0}},
  };
  // The local zone plays no part.
  testing::TzScope tz("IST-5:30");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.value);
    EXPECT_EQ(date_year(row.value), row.fields.year);
    EXPECT_EQ(date_month(row.value), row.fields.month);
    EXPECT_EQ(date_day(row.value), row.fields.day);
    EXPECT_EQ(date_hour(row.value), row.fields.hour);
    EXPECT_EQ(date_minute(row.value), row.fields.minute);
    EXPECT_EQ(date_second(row.value), row.fields.second);
  }
}

TEST(CurrentDate, IsTheLocalClockCountedAsUtc) {
  for (const char* zone : testing::kZones) {
    SCOPED_TRACE(zone);
    testing::TzScope tz(zone);
    for (int attempt = 0;; ++attempt) {
      ASSERT_LT(attempt, 5) << "the clock kept crossing a second";
      const time_t before = time(nullptr);
      const DateValue now = current_date();
      if (time(nullptr) != before) continue;
      tm local{};
      localtime_r(&before, &local);
      EXPECT_EQ(now, timegm(&local));
      break;
    }
  }
}

}  // namespace
}  // namespace sr

#include <string>

#include <gtest/gtest.h>

#include "runtime/datetime/datetime.h"

namespace sr {
namespace {

using std::string_literals::operator""s;

// 2026-12-08 04:05:09 counted as UTC, independent of make_date.
constexpr DateValue kDecember8 = 1796702709;

TEST(FormatDate, ReplacesTokensAndCopiesTheRest) {
  struct Row {
    const char* name;
    std::string mask;
    DateValue date;
    std::string expected;
  };
  const Row rows[] = {
      {"the runner's cache mask", "_%yyyy-%mm-%dd_%hh-%ii-%ss_CanBeDeleted_", kDecember8,
       "_2026-12-08_04-05-09_CanBeDeleted_"},
      {"empty mask", "", kDecember8, ""},
      {"no tokens", "plain text", kDecember8, "plain text"},
      {"unknown token keeps its %", "%x", kDecember8, "%x"},
      {"% at the end is kept", "at 100%", kDecember8, "at 100%"},
      {"lone %", "%", kDecember8, "%"},
      {"tokens in any case", "%YyYy|%DD|%Mm|%hH|%II|%sS", kDecember8, "2026|08|12|04|05|09"},
      {"four y before two", "%yyy", kDecember8, "26y"},
      {"two-digit year", "%yy", kDecember8, "26"},
      {"%% then a token", "%%dd", kDecember8, "%08"},
      {"a token right after another", "%dd%mm%yyyy", kDecember8, "08122026"},
      {"one letter short of a token", "%d %m %y", kDecember8, "%d %m %y"},
      {"two-digit year below ten", "%yy", -2147483647 - 1, "01"},
      {"fields of the earliest value", "%yyyy-%mm-%dd %hh:%ii:%ss", -2147483647 - 1,
       "1901-12-13 20:45:52"},
      {"fields of the last value", "%yyyy-%mm-%dd %hh:%ii:%ss", 2147483647, "2038-01-19 03:14:07"},
      {"the mask ends at a NUL", "%dd\0%mm"s, kDecember8, "08"},
      {"high bytes are copied", "\xe4%dd\xff", kDecember8,
       "\xe4"
       "08\xff"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(format_date(row.mask, row.date), row.expected);
  }
}

TEST(FormatDate, OutputHasNoLengthLimit) {
  std::string mask, expected;
  for (int i = 0; i < 3000; ++i) {
    mask += "[%yyyy]";
    expected += "[2026]";
  }
  EXPECT_EQ(format_date(mask, kDecember8), expected);
}

}  // namespace
}  // namespace sr

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string_view>

#include "runtime/strings/strings.h"

namespace sr {
namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

TEST(NumberToString, CoversTheWholeRange) {
  EXPECT_EQ(number_to_string(0), "0");
  EXPECT_EQ(number_to_string(-42), "-42");
  EXPECT_EQ(number_to_string(1000000), "1000000");
  EXPECT_EQ(number_to_string(kMax), "9223372036854775807");
  EXPECT_EQ(number_to_string(kMin), "-9223372036854775808");
}

TEST(StringToNumber, ReadsDecimalHexAndBinaryForms) {
  struct Row {
    const char* name;
    std::string_view text;
    std::int64_t expected;
  } rows[] = {
      {"leading blanks and tabs", " \t 123abc", 123},
      {"negative hex", "-$ff", -255},
      {"upper-case hex", "$FF", 255},
      {"hex stops at non-digit", "$fg", 15},
      {"binary", "%101", 5},
      {"binary stops at 2", "%1012", 5},
      {"plus sign", "+7", 7},
      {"empty", "", 0},
      {"letters", "abc", 0},
      {"dollar alone", "$", 0},
      {"binary without digit", "%2", 0},
      {"blank after sign", "- 5", 0},
      {"two signs", "+-5", 0},
      {"sign after form", "$-5", 0},
      {"no fraction", "12.9", 12},
      {"trailing text", "42 x", 42},
      {"leading zeros", "007", 7},
      {"line feed is not a blank", "\n5", 0},
      {"largest", "9223372036854775807", kMax},
      {"smallest", "-9223372036854775808", kMin},
      {"wraps past largest", "9223372036854775808", kMin},
      {"wraps at 2^64", "18446744073709551616", 0},
      {"hex all ones", "$FFFFFFFFFFFFFFFF", -1},
      {"hex wraps", "$10000000000000001", 1},
      {"negated wrap", "-$8000000000000000", kMin},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(string_to_number(row.text), row.expected);
  }
}

TEST(StringToNumber, ReadsBackEveryPrintedValue) {
  for (std::int64_t v : {kMin, kMin + 1, std::int64_t{-1}, std::int64_t{0}, kMax}) {
    SCOPED_TRACE(v);
    EXPECT_EQ(string_to_number(number_to_string(v)), v);
  }
}

}  // namespace
}  // namespace sr

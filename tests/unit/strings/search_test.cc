#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>

#include "runtime/strings/strings.h"

namespace sr {
namespace {

using namespace std::string_view_literals;

int sign(int v) {
  return (v > 0) - (v < 0);
}

TEST(StringsEqual, ComparesEveryByteExactly) {
  EXPECT_EQ(strings_equal("", ""), 1);
  EXPECT_EQ(strings_equal("-w", "-w"), 1);
  EXPECT_EQ(strings_equal("-w", "-W"), 0);
  EXPECT_EQ(strings_equal("-w", "-w "), 0);
  EXPECT_EQ(strings_equal("", "x"), 0);
  EXPECT_EQ(strings_equal("a\0b"sv, "a\0c"sv), 0);
}

TEST(ComparePrefix, FollowsByteAndCaseRules) {
  struct Row {
    const char* name;
    std::string_view a, b;
    int mode;
    std::size_t count;
    int expected_sign;
  } rows[] = {
      {"equal prefix within count", "<<Here", "<<Herd", 0, 5, 0},
      {"difference inside count", "<<Here", "<<Herd", 0, 6, 1},
      {"count zero", "a", "b", 0, 0, 0},
      {"case matters in mode 0", "END", "end", 0, 3, -1},
      {"case ignored in other modes", "END", "end", 1, 3, 0},
      {"negative mode ignores case too", "eNd", "EnD", -7, 3, 0},
      {"only ASCII letters fold", "\xC4", "\xE4", 1, 1, -1},
      {"bytes compare unsigned", "\x80", "a", 0, 1, 1},
      {"shorter text ends first", "ab", "abc", 0, 10, -1},
      {"longer text ends last", "abc", "ab", 1, 10, 1},
      {"same text beyond count", "abc", "abc", 0, 100, 0},
      {"empty texts", "", "", 0, 4, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(sign(compare_prefix(row.a, row.b, row.mode, row.count)), row.expected_sign);
  }
}

TEST(FindString, FindsFirstOccurrenceFromStart) {
  struct Row {
    const char* name;
    std::string_view text, sought;
    std::int64_t start, expected;
  } rows[] = {
      {"start 1", "a<<b<<c", "<<", 1, 2},
      {"start past first", "a<<b<<c", "<<", 3, 5},
      {"start 0 counts as 1", "a<<b<<c", "<<", 0, 2},
      {"negative start counts as 1", "a<<b<<c", "<<", -9, 2},
      {"start beyond length", "a<<b<<c", "<<", 8, 0},
      {"start on the last byte", "abc", "c", 3, 3},
      {"match must fit", "abc", "cd", 3, 0},
      {"empty sought", "abc", "", 1, 0},
      {"empty text", "", "a", 1, 0},
      {"whole text", "abc", "abc", 1, 1},
      {"not present", "abc", "x", 1, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(find_string(row.text, row.sought, row.start), row.expected);
  }
}

TEST(CountString, CountsNonOverlappingOccurrences) {
  struct Row {
    const char* name;
    std::string_view text, sought;
    std::int64_t expected;
  } rows[] = {
      {"two switch fields", "-f -p", " ", 1},
      {"empty middle field", "-f  -p", " ", 2},
      {"trailing blank", "-f -p ", " ", 2},
      {"overlap counts once", "aaa", "aa", 1},
      {"back to back", "aaaa", "aa", 2},
      {"empty sought", "abc", "", 0},
      {"empty text", "", " ", 0},
      {"longer sought", "ab", "abc", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(count_string(row.text, row.sought), row.expected);
  }
}

}  // namespace
}  // namespace sr

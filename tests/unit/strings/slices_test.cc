#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/strings/log_text.h"
#include "runtime/strings/strings.h"

namespace sr {
namespace {

using namespace std::string_view_literals;

TEST(StringField, SplitsAtFirstSeparatorByte) {
  struct Row {
    const char* name;
    std::string_view text;
    std::int64_t field;
    std::string_view separator, expected;
  } rows[] = {
      {"beyond last field", "a b", 5, " ", ""},
      {"field 0 counts as 1", "a b", 0, " ", "a"},
      {"negative counts as 1", "a b", -3, " ", "a"},
      {"last field", "a b", 2, " ", "b"},
      {"only first separator byte", "axbyc", 2, "xy", "byc"},
      {"empty middle field", "a  b", 2, " ", ""},
      {"after the empty field", "a  b", 3, " ", "b"},
      {"trailing separator leaves empty field", "a ", 2, " ", ""},
      {"empty separator gives whole text", "a b", 1, "", "a b"},
      {"empty separator has one field", "a b", 2, "", ""},
      {"empty text", "", 1, " ", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(string_field(row.text, row.field, row.separator), row.expected);
  }
}

TEST(LeftAndMidString, ClampOutOfRangeArguments) {
  EXPECT_EQ(left_string("abc", -1), "");
  EXPECT_EQ(left_string("abc", 0), "");
  EXPECT_EQ(left_string("abc", 2), "ab");
  EXPECT_EQ(left_string("abc", 10), "abc");
  EXPECT_EQ(left_string("abc", INT64_MAX), "abc");
  EXPECT_EQ(mid_string("abc", INT64_MIN), "abc");
  EXPECT_EQ(mid_string("abc", 0), "abc");
  EXPECT_EQ(mid_string("abc", 2), "bc");
  EXPECT_EQ(mid_string("abc", 3), "c");
  EXPECT_EQ(mid_string("abc", 4), "");
  EXPECT_EQ(mid_string("abc", INT64_MAX), "");
}

TEST(LowerCase, RaisesAsciiAndLatin1CapitalsOnly) {
  EXPECT_EQ(lower_case("HERE"), "here");
  EXPECT_EQ(lower_case("@[`{09azZ"), "@[`{09azz");
  struct Row {
    unsigned char in, out;
  } rows[] = {{0xBF, 0xBF}, {0xC0, 0xE0}, {0xC4, 0xE4}, {0xD7, 0xF7},
              {0xDE, 0xFE}, {0xDF, 0xDF}, {0xE4, 0xE4}, {0xFF, 0xFF}};
  for (const Row& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.in));
    EXPECT_EQ(lower_case(std::string(1, static_cast<char>(row.in))),
              std::string(1, static_cast<char>(row.out)));
  }
  EXPECT_EQ(lower_case("A\0B"sv), "a\0b"sv);
}

TEST(TrimSpaces, RemovesOnlyBlanksAtBothEnds) {
  EXPECT_EQ(trim_spaces("  x y \t "), "x y \t");
  EXPECT_EQ(trim_spaces("\tx "), "\tx");
  EXPECT_EQ(trim_spaces("    "), "");
  EXPECT_EQ(trim_spaces(""), "");
  EXPECT_EQ(trim_spaces("a  b"), "a  b");
}

TEST(RemoveString, TakesOutOccurrencesInOnePass) {
  struct Row {
    const char* name;
    std::string_view text, sought, expected;
  } rows[] = {
      {"slashes of a path", "/var/www/a.cgi", "/", "varwwwa.cgi"},
      {"no new match from removal", "aabb", "ab", "ab"},
      {"runs of occurrences", "aaaa", "aa", ""},
      {"odd run leaves one", "aaa", "aa", "a"},
      {"line ends", "-w\r\n", "\n", "-w\r"},
      {"empty sought", "abc", "", "abc"},
      {"not present", "abc", "x", "abc"},
      {"empty text", "", "x", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(remove_string(row.text, row.sought), row.expected);
  }
}

TEST(StringFromMemory, StopsAtFirstZeroByte) {
  const char bytes[] = {'o', 'k', '\0', 'x'};
  const char full[] = {'a', 'b', 'c'};
  EXPECT_EQ(string_from_memory(bytes, 4), "ok");
  EXPECT_EQ(string_from_memory(full, 3), "abc");
  EXPECT_EQ(string_from_memory(full, 2), "ab");
  EXPECT_EQ(string_from_memory(full, 0), "");
  EXPECT_EQ(string_from_memory(full, -1), "");
  EXPECT_EQ(string_from_memory(nullptr, 10), "");
}

TEST(PathPart, KeepsEverythingUpToLastSlash) {
  struct Row {
    const char* name;
    std::string_view path, expected;
  } rows[] = {
      {"script path", "/var/www/cgi/test.cgi", "/var/www/cgi/"},
      {"no slash", "test.cgi", ""},
      {"only slash", "/", "/"},
      {"empty", "", ""},
      {"quoted path", "\"/a b/c\"", "/a b/"},
      {"lone quote", "\"", ""},
      {"quote only skipped at start", "/a\"b/c", "/a\"b/"},
      {"trailing slash", "/a/b/", "/a/b/"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(path_part(row.path), row.expected);
  }
}

TEST(LogText, ControlBytesCannotStartALineOfTheirOwn) {
  EXPECT_EQ(escape_for_log("/srv/a\nscriptrunner: forged\r\t\x7F\x01"sv),
            "/srv/a\\x0Ascriptrunner: forged\\x0D\\x09\\x7F\\x01");
  EXPECT_EQ(escape_for_log("caf\xC3\xA9 \\ plain"sv), "caf\xC3\xA9 \\ plain");
  EXPECT_EQ(escape_for_log(std::string_view("a\0b", 3)), "a\\x00b");
}

}  // namespace
}  // namespace sr

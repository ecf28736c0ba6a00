#include "runtime/textfile/line_decoding.h"

#include <gtest/gtest.h>

#include <string>

namespace sr {
namespace {

using namespace std::string_literals;

TEST(Utf8LineDecoding, CharactersUpTo255OrTheWholeLineIsEmpty) {
  struct Row {
    const char* name;
    std::string line;
    std::string bytes;
  };
  const Row rows[] = {
      {"plain", "abc"s, "abc"s},
      {"two-byte characters", "\xC2\x80\xC3\xBF"s, "\x80\xFF"s},
      {"three-byte form of a small character", "\xE0\x81\x81"s, "A"s},
      {"four-byte form of a small character", "\xF0\x80\x81\x81"s, "A"s},
      {"character above 255",
       "a\xE2\x82\xAC"
       "b"s,
       ""s},
      {"smallest character above 255", "\xC4\x80"s, ""s},
      {"continuation byte where a character starts", "a\x80"s, ""s},
      {"byte F8", "a\xF8"s, ""s},
      {"byte FF", "\xFF"s, ""s},
      {"lead byte followed by a non-continuation",
       "\xC3"
       "A"s,
       ""s},
      {"second continuation missing in the middle", "\xE0\x81z"s, ""s},
      {"cut-off sequence at the end is left out", "ab\xC3"s, "ab"s},
      {"cut-off three-byte sequence", "ab\xE2\x82"s, "ab"s},
      {"cut-off sequence with a broken byte",
       "ab\xE2"
       "A"s,
       ""s},
      {"decoded zero ends the text",
       "a\xC0\x80"
       "b"s,
       "a"s},
      {"empty", ""s, ""s},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(bytes_from_utf8_line(row.line), row.bytes);
  }
}

TEST(Utf16UnitDecoding, UnitsAbove255AreLeftOut) {
  EXPECT_EQ(bytes_from_utf16_units({0x41, 0x20AC, 0x42, 0xFF, 0x100}), "AB\xFF");
}

}  // namespace
}  // namespace sr

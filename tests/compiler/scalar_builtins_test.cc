// The scalar built-ins on the inputs where they can go wrong: every byte through the escaping
// functions, form fields that repeat, are encoded or have no value, dates at the calendar's
// turning points, and the random numbers' range and seeding.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "tests/compiler/compile_harness.h"
#include "tests/compiler/run_cases.h"

namespace sr::test {
namespace {

std::string hex_escape(unsigned char byte, const char* digits) {
  return {digits[byte >> 4], digits[byte & 15]};
}

TEST(ScalarBuiltins, JsonEscapeOfEveryByte) {
  std::string expected;
  for (int byte = 0; byte < 256; ++byte) {
    const char c = static_cast<char>(byte);
    if (c == '"') {
      expected += "\\\"";
    } else if (c == '\\') {
      expected += "\\\\";
    } else if (c == '\n') {
      expected += "\\n";
    } else if (c == '\r') {
      expected += "\\r";
    } else if (c == '\t') {
      expected += "\\t";
    } else if (byte < 32) {
      expected += "\\u00" + hex_escape(static_cast<unsigned char>(byte), "0123456789abcdef");
    } else {
      expected += c;  // DEL and the bytes above 127 (UTF-8) stay as they are
    }
    expected += '|';
  }
  check_cases({
      {"each byte alone", "For i = 0 To 255\n  Write JsonEscape$(Chr$(i)) + \"|\"\nNext\n",
       expected},
      {"in a text, next to each other",
       "WriteLine JsonEscape$(\"say \" + #DQUOTE$ + \"hi\" + #DQUOTE$ + \"\\\\\" + #CRLF$ + "
       "Chr$(0) + Chr$(31) + \"x\") + \"|\" + JsonEscape$(\"\")\n",
       "say \\\"hi\\\"\\\\\\\\\\r\\n\\u0000\\u001fx|\n"},
  });
}

TEST(ScalarBuiltins, UrlEncodeOfEveryByte) {
  std::string expected;
  for (int byte = 0; byte < 256; ++byte) {
    const char c = static_cast<char>(byte);
    const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_' || c == '.' || c == '~';
    expected += kept ? std::string(1, c)
                     : "%" + hex_escape(static_cast<unsigned char>(byte), "0123456789ABCDEF");
    expected += '|';
  }
  check_cases({
      {"each byte alone", "For i = 0 To 255\n  Write UrlEncode$(Chr$(i)) + \"|\"\nNext\n",
       expected},
      {"decoding gives every byte back",
       "For i = 0 To 255\n  all$ = all$ + Chr$(i)\nNext\n"
       "WriteLine UrlDecode$(UrlEncode$(all$)) = all$\nWriteLine \"[\" + UrlEncode$(\"\") + "
       "\"]\"\n",
       "1\n[]\n"},
  });
}

TEST(ScalarBuiltins, FormValueFindsTheFirstMatchingField) {
  struct Row {
    const char* name;
    const char* form;
    const char* field;
    const char* value;
  };
  const Row rows[] = {
      {"the first of repeated names", "a=1&a=2", "a", "1"},
      {"an encoded name", "first%20name=Ann&x=1", "first name", "Ann"},
      {"a plus in the name", "first+name=Ann", "first name", "Ann"},
      {"plus and escapes in the value", "q=a+b%2Bc%26d%3D", "q", "a b+c&d="},
      {"a field without '='", "flag&x=1", "flag", ""},
      {"an empty value first", "x=&x=3", "x", ""},
      {"only whole names match", "ab=1&a=2&b=3", "a", "2"},
      {"names keep their case", "A=1", "a", ""},
      {"'=' within the value", "x=a=b", "x", "a=b"},
      {"an encoded '&' does not split", "a%26b=1&b=2", "a&b", "1"},
      {"an encoded '=' belongs to the name", "a%3Db=1", "a=b", "1"},
      {"empty fields between and around", "&&x=5&", "x", "5"},
      {"the empty name", "=v&x=1", "", "v"},
      {"no such field", "a=1&b=2", "c", ""},
      {"an empty form", "", "a", ""},
      {"a bad escape stays as written", "p=100%&q=%zz", "p", "100%"},
  };
  // The form and the name come in through the environment, free of the language's quoting.
  CompileSandbox box;
  ASSERT_EQ(box.compile(";\nWriteLine \"[\" + FormValue$(Env$(\"FORM\"), Env$(\"NAME\")) + \"]\"\n")
                .exit_code,
            0);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ProcessResult r = run_process({box.path("prog")}, {{"FORM", row.form}, {"NAME", row.field}});
    EXPECT_EQ(r.out, std::string("[") + row.value + "]\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
  }
}

TEST(ScalarBuiltins, FormatDateAtTheCalendarsTurningPoints) {
  struct Row {
    const char* name;
    const char* format;
    const char* seconds;
    const char* text;
  };
  const Row rows[] = {
      {"the epoch", "%Y-%m-%d %H:%M:%S", "0", "1970-01-01 00:00:00"},
      {"one second before the epoch", "%Y-%m-%d %H:%M:%S", "-1", "1969-12-31 23:59:59"},
      {"a leap day of a leap century", "%Y-%m-%d", "951782400", "2000-02-29"},
      {"an ordinary leap day", "%d.%m.%Y %H:%M", "1709164800", "29.02.2024 00:00"},
      {"a century without a leap day", "%Y-%m-%d %H:%M:%S", "4107542399", "2100-02-28 23:59:59"},
      {"the day after it", "%Y-%m-%d", "4107542400", "2100-03-01"},
      {"a leap day before the epoch", "%Y-%m-%d", "-11670998400", "1600-02-29"},
      {"the last day with four digits", "%Y-%m-%d", "253402214400", "9999-12-31"},
      {"years beyond four digits", "%Y-%m-%d", "253402300800", "10000-01-01"},
      {"year zero", "%Y-%m-%d", "-62167219200", "0000-01-01"},
      {"the year before year zero", "%Y-%m-%d", "-62198755200", "-0001-01-01"},
      {"the largest integer", "%Y-%m-%d %H:%M:%S", "9223372036854775807",
       "292277026596-12-04 15:30:07"},
      {"the smallest integer", "%Y-%m-%d %H:%M:%S", "-9223372036854775808",
       "-292277022657-01-27 08:29:52"},
      {"percent signs and unknown letters", "100%% %x %y %", "0", "100% %x %y %"},
      {"a doubled percent before a letter", "%%Y%%%Y", "0", "%Y%1970"},
      {"no format at all", "", "0", ""},
  };
  CompileSandbox box;
  ASSERT_EQ(
      box.compile(
             ";\nWriteLine \"[\" + FormatDate$(Env$(\"FORMAT\"), Val(Env$(\"SECONDS\"))) + \"]\"\n")
          .exit_code,
      0);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ProcessResult r =
        run_process({box.path("prog")}, {{"FORMAT", row.format}, {"SECONDS", row.seconds}});
    EXPECT_EQ(r.out, std::string("[") + row.text + "]\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
  }
}

// Local time where TZ names a zone (a rule, or a zone file's name read from the file first, so
// that EST5EDT changes back in winter), UTC without one; the largest count has no local time.
TEST(ScalarBuiltins, FormatDateInTheZoneThatTzNames) {
  struct Row {
    const char* tz;
    const char* text;
    bool zone_file = false;  // skipped on a machine without the zone files
  };
  const char* utc = "2023-11-14 22:13 2023-07-22 04:26 292277026596-12-04 15:30";
  const Row rows[] = {
      {"", utc},
      {"UTC0", utc},
      {"EST5EDT,M3.2.0,M11.1.0", "2023-11-14 17:13 2023-07-22 00:26 292277026596-12-04 15:30"},
      {"EST5EDT", "2023-11-14 17:13 2023-07-22 00:26 292277026596-12-04 15:30", true},
      {"Europe/Berlin", "2023-11-14 23:13 2023-07-22 06:26 292277026596-12-04 15:30", true},
  };
  CompileSandbox box;
  ASSERT_EQ(box.compile(";\nf$ = \"%Y-%m-%d %H:%M\"\nWriteLine FormatDate$(f$, 1700000000) + \" \" "
                        "+ FormatDate$(f$, 1690000000) + \" \" + FormatDate$(f$, "
                        "9223372036854775807)\n")
                .exit_code,
            0);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.tz);
    if (row.zone_file && !std::filesystem::exists(std::string("/usr/share/zoneinfo/") + row.tz)) {
      continue;
    }
    ProcessResult r = run_process({box.path("prog")}, {{"TZ", row.tz}});
    EXPECT_EQ(r.out, std::string(row.text) + "\n");
  }
}

TEST(ScalarBuiltins, AbsMinMax) {
  check_cases({
      {"signs and equal values",
       "WriteLine Str$(Abs(-7)) + \" \" + Str$(Abs(7)) + \" \" + Str$(Abs(0)) + \" \" + "
       "Str$(Min(-3, 2)) + \" \" + Str$(Max(-3, 2)) + \" \" + Str$(Min(4, 4)) + \" \" + "
       "Str$(Max(-9, -8))\n",
       "7 7 0 -3 2 4 -8\n"},
      {"the integer limits; the lowest has no positive counterpart, as with minus",
       "low = -9223372036854775807 - 1\nWriteLine Abs(low)\nWriteLine Abs(low + 1)\n"
       "WriteLine Min(low, 9223372036854775807)\nWriteLine Max(low, 9223372036854775807)\n",
       "-9223372036854775808\n9223372036854775807\n-9223372036854775808\n9223372036854775807\n"},
  });
}

TEST(ScalarBuiltins, RandomStaysInRangeAndFailsBelowOne) {
  check_cases({
      {"one possible value", "s = 0\nFor i = 1 To 1000\n  s = s + Random(1)\nNext\nWriteLine s\n",
       "0\n"},
      {"every value of a small range comes, and nothing outside it",
       "For i = 1 To 3000\n  r = Random(3)\n  If r < 0 Or r > 2\n    WriteLine \"out \" + Str$(r)\n"
       "  EndIf\n  If r = 0\n    a = 1\n  ElseIf r = 1\n    b = 1\n  Else\n    c = 1\n  "
       "EndIf\nNext\n"
       "WriteLine a + b + c\n",
       "3\n"},
      {"the largest range",
       "For i = 1 To 1000\n  If Random(9223372036854775807) < 0\n    WriteLine \"negative\"\n"
       "  EndIf\nNext\nWriteLine \"done\"\n",
       "done\n"},
      {"zero", "Write \"kept\"\nFlush\nn = 0\nWriteLine Random(n)\n", "kept",
       "Runtime error at line 5: Random needs a value of 1 or more\n", 1},
      {"below zero", "WriteLine Random(-5)\n", kFailedPage,
       "Runtime error at line 2: Random needs a value of 1 or more\n", 1},
  });
}

TEST(ScalarBuiltins, RandomIsSeededAfreshInEveryRun) {
  CompileSandbox box;
  ASSERT_EQ(box.compile(";\nFor i = 1 To 4\n  WriteLine Random(1000000000)\nNext\n").exit_code, 0);
  std::set<std::string> outputs;
  for (int run = 0; run < 5; ++run) {
    ProcessResult r = run_process({box.path("prog")});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    outputs.insert(r.out);
  }
  // Four draws from a billion repeat by chance about once in 10^36 pairs of runs.
  EXPECT_EQ(outputs.size(), 5u);
}

}  // namespace
}  // namespace sr::test

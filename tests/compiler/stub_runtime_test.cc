// What compiled programs do at the edges the stub handles itself: its output buffer, standard
// input in blocks, the string functions' boundaries, integer limits and running out of memory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstring>
#include <string>
#include <vector>

#include "compiler/stub/bytes.h"
#include "tests/compiler/compile_harness.h"
#include "tests/compiler/run_cases.h"

namespace sr::test {
namespace {

// Texts live in blocks that the stub reuses once freed: each must still hold its own bytes while
// others of every size come and go, through the small sizes and past them.
TEST(StubRuntime, TextsKeepTheirBytesWhileBlocksAreReused) {
  check_cases({
      {"growing and shortened copies through every small size",
       "For i = 1 To 3000\n  a$ = a$ + Chr$(65 + i % 26)\n  If i % 7 = 0\n"
       "    b$ = Left$(a$, i / 2)\n  EndIf\nNext\nok = 1\nFor i = 1 To Len(a$)\n"
       "  If Asc(Mid$(a$, i, 1)) <> 65 + i % 26\n    ok = 0\n  EndIf\nNext\n"
       "WriteLine Str$(Len(a$)) + \" \" + Str$(Len(b$)) + \" \" + Str$(ok) + \" \" + "
       "Left$(b$, 3) + Right$(b$, 2)\n",
       "3000 1498 1 BCDPQ\n"},
      {"doubling past the small sizes",
       "s$ = \"abcdefghij\"\nFor i = 1 To 13\n  t$ = s$\n  s$ = s$ + t$\nNext\n"
       "WriteLine Str$(Len(s$)) + \" \" + Mid$(s$, 40001, 10) + \" \" + Right$(t$, 3)\n",
       "81920 abcdefghij hij\n"},
  });
}

// Each read of a variable copies its text, and musl gives a freed block past 32 KiB back to the
// system: copies of a long text must reuse the block that the last copy left, or each costs a
// page fault per 4 KiB. Measured against the same program copying once, to leave out start-up.
TEST(StubRuntime, CopiesOfLongTextsReuseTheirBlocks) {
  CompileSandbox box;
  const auto copying = [](int copies) {
    // 40,960 bytes, then 81,920: either side of 64 KiB.
    return ";\ns$ = \"abcdefghij\"\nFor i = 1 To 12\n  s$ = s$ + s$\nNext\nFor size = 1 To 2\n"
           "  For i = 1 To " +
           std::to_string(copies) +
           "\n    t$ = s$\n  Next\n  s$ = s$ + s$\nNext\n"
           "WriteLine Str$(Len(t$))\n";
  };
  const auto faults_of = [&box](const std::string& exe) {
    rusage before{}, after{};
    getrusage(RUSAGE_CHILDREN, &before);
    const ProcessResult r = run_process({box.path(exe)});
    getrusage(RUSAGE_CHILDREN, &after);
    EXPECT_EQ(r.out, "81920\n");
    return after.ru_minflt - before.ru_minflt;
  };
  ASSERT_EQ(box.compile(copying(1), "once").exit_code, 0);
  ASSERT_EQ(box.compile(copying(1000), "often").exit_code, 0);
  // A fresh block costs 10 faults a copy of 40,960 bytes, 20 of 81,920.
  EXPECT_LT(faults_of("often") - faults_of("once"), 1000);
}

// The stub's own short copy, against the C library's, at every size of each of its ways and
// with the two ends overlapping either way.
TEST(StubRuntime, ByteMovesMatchTheCLibrarysAtEverySizeAndOverlap) {
  char source[160];
  for (size_t i = 0; i < sizeof source; ++i) source[i] = static_cast<char>(i * 7 + 1);
  for (size_t count = 0; count <= 70; ++count) {
    for (int shift = -9; shift <= 9; ++shift) {
      char ours[160], theirs[160];
      std::memcpy(ours, source, sizeof source);
      std::memcpy(theirs, source, sizeof source);
      zr::move_bytes(ours + 40 + shift, ours + 40, count);
      std::memmove(theirs + 40 + shift, theirs + 40, count);
      ASSERT_EQ(std::string(ours, sizeof ours), std::string(theirs, sizeof theirs))
          << count << " bytes moved by " << shift;
    }
  }
}

TEST(StubRuntime, StringFunctionEdges) {
  check_cases({
      {"val signs, blanks and limits",
       "WriteLine Val(\"-99999999999999999999\")\nWriteLine Val(\"-9223372036854775808\")\n"
       "WriteLine Val(\" \" + #TAB$ + \"+12 3\")\n"
       "WriteLine Val(\"-\") + Val(\"\") + Val(\"   \") + Val(\"- 5\")\n",
       "-9223372036854775808\n-9223372036854775808\n12\n0\n"},
      {"str of the integer limits",
       "WriteLine Str$(-9223372036854775807 - 1) + \" \" + Str$(9223372036854775807)\n",
       "-9223372036854775808 9223372036854775807\n"},
      {"parts with starts and counts out of range",
       "WriteLine Mid$(\"hello\", 0) + \"|\" + Mid$(\"hello\", -5, 2) + \"|\" + "
       "Mid$(\"hello\", 5) + \"|\" + Mid$(\"hello\", 6) + \"|\" + Mid$(\"hello\", 2, 0) + "
       "\"|\" + Mid$(\"hello\", 2, -1) + \"|\" + Mid$(\"\", 1) + \"|\" + Left$(\"hello\", 0) + "
       "\"|\" + Right$(\"hello\", 5)\n",
       "hello|he|o||||||hello\n"},
      {"find at the edges",
       "WriteLine Str$(Find(\"abc\", \"c\")) + Str$(Find(\"abc\", \"abcd\")) + "
       "Str$(Find(\"aaa\", \"aa\", 2)) + Str$(Find(\"abcabc\", \"abc\", 0)) + "
       "Str$(Find(\"abc\", \"c\", 3)) + Str$(Find(\"abc\", \"c\", 4)) + "
       "Str$(Find(\"abc\", \"a\", -9)) + Str$(Find(\"a\" + Chr$(0) + \"b\", Chr$(0) + \"b\"))\n",
       "30213012\n"},
      {"replace never looks at what it inserted",
       "WriteLine Replace$(\"ab\", \"a\", \"aa\") + \"|\" + Replace$(\"aaaa\", \"aa\", \"b\") + "
       "\"|\" + Replace$(\"abc\", \"abcd\", \"x\") + \"|\" + Replace$(\"a-b-\", \"-\", \"\") + "
       "\"|\" + Replace$(\"\", \"a\", \"b\")\n",
       "aab|bb|abc|ab|\n"},
      {"trim takes only blanks and tabs",
       "WriteLine \"[\" + Trim$(\" \" + #TAB$ + \" \") + \"][\" + Trim$(#CR$ + \" a\" + #LF$) + "
       "\"][\" + Trim$(\"a  b\") + \"]\"\n",
       "[][\r a\n][a  b]\n"},
      {"case changes only ASCII letters",
       "WriteLine Upper$(\"@az[`{\" + Chr$(233)) + Lower$(\"@AZ[`{\" + Chr$(201))\n",
       "@AZ[`{\xe9@az[`{\xc9\n"},
      {"field at the edges",
       "WriteLine Field$(\"a,b\", 0, \",\") + \"|\" + Field$(\"a,b\", -1, \",\") + \"|\" + "
       "Field$(\"a,\", 2, \",\") + \"|\" + Field$(\"a,b\", 1, \"\") + \"|\" + "
       "Field$(\"a,b\", 2, \"\") + \"|\" + Field$(\",a\", 1, \",\") + \"|\" + "
       "Field$(\"a,b\", 2, \",\") + \"|\" + Field$(\"abc\", 1, \"abcd\")\n",
       "|||a,b|||b|abc\n"},
      {"urldecode at the edges",
       "WriteLine UrlDecode$(\"%%41\") + \"|\" + UrlDecode$(\"%4g\") + \"|\" + UrlDecode$(\"%\") "
       "+ \"|\" + UrlDecode$(\"x%41\") + \"|\" + UrlDecode$(\"%c3%A9\") + \"|\" + "
       "UrlDecode$(\"++\") + \"|\" + Str$(Len(UrlDecode$(\"%00\")))\n",
       "%A|%4g|%|xA|\xc3\xa9|  |1\n"},
      {"htmlescape of nothing and of repeated entities",
       "WriteLine \"[\" + HtmlEscape$(\"\") + \"]\" + HtmlEscape$(\"a&&b\")\n", "[]a&amp;&amp;b\n"},
      {"zero bytes are ordinary bytes",
       "Write Asc(Chr$(0))\nWrite Len(Chr$(0) + Chr$(0))\nWrite (\"a\" + Chr$(0)) > \"a\"\n"
       "Write Chr$(0) < \"\"\nWrite Asc(Chr$(128))\n",
       "0210128"},
      {"writeerror of integers and of nothing", "WriteError -5\nWriteError \"\"\n", "", "-5\n\n"},
  });
}

TEST(StubRuntime, IntegerLimitsAndExitCodes) {
  check_cases({
      {"remainder takes the dividend's sign", "WriteLine 7 % -3\nWriteLine -7 / -2\n", "1\n3\n"},
      {"multiplication and negation wrap",
       "WriteLine 4611686018427387904 * 2\nWriteLine -(-9223372036854775807 - 1)\n",
       "-9223372036854775808\n-9223372036854775808\n"},
      {"for near the lower limit ends",
       "For i = -9223372036854775807 To -9223372036854775807 - 1 Step -1\nWrite \"x\"\nNext\n",
       "xx"},
      {"end keeps the low byte of its value", "End 300\n", "", "", 44},
      {"end of minus one", "End -1\n", "", "", 255},
      {"end of 256", "Write \"x\"\nEnd 256\n", "x", "", 0},
      {"chr below zero", "Write \"dropped\"\nWrite Chr$(-1)\n", kFailedPage,
       "Runtime error at line 3: Chr$ needs a value from 0 to 255\n", 1},
  });
}

TEST(StubRuntime, StandardInputInBlocks) {
  // Standard input is read 64 KiB at a time: the first line's CR ends the first block and its
  // LF starts the second; the third line spans several blocks.
  const std::string input = std::string(65535, 'x') + "\r\n" + "second\rline\n" +
                            std::string(200000, 'z') + "\n" + std::string(3 << 20, 'y') + "\ntail";
  check_cases({
      {"lines across blocks, then a large rest",
       "a$ = ReadLine$()\nWriteLine Len(a$)\nWriteLine Asc(Right$(a$, 1))\n"
       "WriteLine ReadLine$() = \"second\" + #CR$ + \"line\"\nWriteLine Len(ReadLine$())\n"
       "c$ = ReadAll$()\nWriteLine Len(c$)\nWriteLine Right$(c$, 5) = #LF$ + \"tail\"\n"
       "WriteLine Len(ReadAll$()) + Len(ReadLine$())\n",
       "65535\n120\n1\n200000\n3145733\n1\n0\n", "", 0, input},
      {"a last line without a line end still loses a CR at its end",
       "WriteLine ReadLine$() + \"|\" + ReadLine$() + \"|\" + ReadLine$() + \"|\"\n", "a|b||\n", "",
       0, "a\nb\r"},
  });
}

// Standard output and standard error into one file, so the file shows when each write happened.
ProcessResult run_with_streams_merged(const std::string& source) {
  CompileSandbox box;
  ProcessResult compiled = box.compile(";\n" + source);
  if (compiled.exit_code != 0) return compiled;
  return run_process({"/bin/sh", "-c", "exec \"$0\" 2>&1", box.path("prog")});
}

TEST(StubRuntime, OutputBufferHandsOverInOrder) {
  const std::string make_full = "s$ = \"ab\"\nFor i = 1 To 15\ns$ = s$ + s$\nNext\n";  // 64 KiB
  std::string ab;
  for (int i = 0; i < 32768; ++i) ab += "ab";
  struct Case {
    const char* name;
    std::string source;
    std::string merged;
  };
  const std::vector<Case> cases = {
      {"buffered output comes after standard error", "Write \"a\"\nWriteError \"e\"\n", "e\na"},
      {"flush hands over what is buffered",
       "Write \"a\"\nFlush\nWriteError \"e\"\nWrite \"b\"\nFlush\nFlush\n", "ae\nb"},
      {"a piece that exactly fills the buffer waits for the next one",
       make_full + "Write s$\nWriteError \"e\"\nWrite \"b\"\nWriteError \"f\"\n",
       "e\n" + ab + "f\nb"},
      {"a piece the size of the buffer goes out directly after what is buffered",
       make_full + "Write \"x\"\nWrite s$\nWriteError \"e\"\nWriteLine\n", "x" + ab + "e\n\n"},
      {"a run-time error after output was sent hands over the rest before its message",
       make_full + "Write \"x\"\nFlush\nWrite \"y\"\nWriteError \"e\"\nn = 0\nWrite 1 / n\n",
       "xe\nyRuntime error at line 11: Division by zero\n"},
      {"a run-time error before any output was sent drops the buffer and answers 500",
       make_full + "Write \"x\"\nWriteError \"e\"\nn = 0\nWrite 1 / n\n",
       "e\nRuntime error at line 9: Division by zero\n" + kFailedPage},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProcessResult r = run_with_streams_merged(c.source);
    EXPECT_EQ(r.out, c.merged);
    EXPECT_EQ(r.err, "");
  }
}

TEST(StubRuntime, OutOfMemoryEndsTheRunWithAMessage) {
  CompileSandbox box;
  ASSERT_EQ(box.compile(";\nWrite \"kept\"\nFlush\ns$ = \"0123456789abcdef\"\nWhile 1\n"
                        "s$ = s$ + s$\nWend\n")
                .exit_code,
            0);
  const std::string message = "Runtime error at line 6: Out of memory\n";
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // Sanitizer run-times reserve more address space than any limit could leave them, so their
  // allocator is told to refuse large blocks instead; it warns about that on standard error.
  const std::string options = "allocator_may_return_null=1:max_allocation_size_mb=256";
  ProcessResult r =
      run_process({box.path("prog")}, {{"ASAN_OPTIONS", options}, {"TSAN_OPTIONS", options}});
  EXPECT_THAT(r.err, testing::EndsWith(message));
#else
  ProcessResult r =
      run_process({"/bin/sh", "-c", "ulimit -v 262144 && exec \"$0\"", box.path("prog")});
  EXPECT_EQ(r.err, message);
#endif
  EXPECT_EQ(r.out, "kept");
  EXPECT_EQ(r.exit_code, 1);
}

}  // namespace
}  // namespace sr::test

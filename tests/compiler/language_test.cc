// Programs compiled and run as processes: each row names a source and the exact bytes on
// standard output and standard error and the exit code that running it must give.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/compiler/compile_harness.h"
#include "tests/compiler/run_cases.h"

namespace sr::test {
namespace {

TEST(Language, Statements) {
  check_cases({
      {"write without line end", "Write \"a\"\nWrite 12\n", "a12"},
      {"writeline with and without a value", "WriteLine \"a\"\nWriteLine\nWriteLine -5\n",
       "a\n\n-5\n"},
      {"writeerror goes to standard error at once", "Write \"o\"\nWriteError \"e\"\n", "o", "e\n"},
      {"flush keeps the order of output", "Write \"x\"\nFlush\nWriteLine \"y\"\n", "xy\n"},
      {"variables are unset until assigned", "WriteLine Str$(n) + \"[\" + s$ + \"]\"\n", "0[]\n"},
      {"names and keywords ignore case",
       "COUNT = 2\ncount = Count + 1\nwriteline COUNT\nWRITELINE LEN(\"ab\")\n", "3\n2\n"},
      {"comments after code and in strings",
       "WriteLine \"a;b\" ; said\n   ; whole line\nWriteLine 1;2\n", "a;b\n1\n"},
      {"constants", "Write #LF$ + #CR$ + #CRLF$ + #TAB$ + #DQUOTE$\nWrite #TRUE + #false\n",
       "\n\r\r\n\t\"1"},
      {"if elseif else picks one branch",
       "For i = 1 To 4\n If i = 1\n  Write \"a\"\n ElseIf i = 2\n  Write \"b\"\n ElseIf i < 4\n"
       "  Write \"c\"\n Else\n  Write \"d\"\n EndIf\nNext\n",
       "abcd"},
      {"if without a true branch does nothing", "If 0\nWrite \"x\"\nEndIf\nWrite \"y\"\n", "y"},
      {"while counts", "n = 0\nWhile n < 3\n Write n\n n = n + 1\nWend\n", "012"},
      {"for includes the bound and leaves the variable past it",
       "For i = 1 To 3\nWrite i\nNext i\nWrite \"/\" + Str$(i)\n", "123/4"},
      {"for with a negative step", "For i = 10 To 1 Step -4\nWrite Str$(i) + \" \"\nNext\n",
       "10 6 2 "},
      {"for that starts beyond its bound never runs", "For i = 5 To 1\nWrite \"x\"\nNext\n", ""},
      {"for evaluates bound and step once", "b = 3\nFor i = 1 To b\nb = 10\nWrite i\nNext\n",
       "123"},
      {"for near the integer limit ends",
       "For i = 9223372036854775806 To 9223372036854775807\nWrite \"x\"\nNext\n", "xx"},
      {"break leaves only the innermost loop",
       "For i = 1 To 3\n j = 0\n While 1\n  j = j + 1\n  If j = 2\n   Break\n  EndIf\n Wend\n"
       " Write j\n If i = 2\n  Break\n EndIf\nNext\nWrite \"/\" + Str$(i)\n",
       "22/2"},
      {"end stops with its exit code and flushes output",
       "Write \"before\"\nEnd 3\nWrite \"after\"\n", "before", "", 3},
      {"end without a value exits 0", "End\nWriteLine \"no\"\n", ""},
      {"a long program of statements runs through",
       [] {
         std::string s;
         for (int i = 0; i < 3000; ++i) s += "n = n + " + std::to_string(i) + "\n";
         return s + "WriteLine n\n";
       }(),
       "4498500\n"},
  });
}

// `a$ + ("0" + (a$ + ("1" + ...)))`, `depth` pairs deep, and what it joins to with a$ = "x".
RunCase nested_joins(int depth) {
  std::string expression = "\"end\"", joined = "end";
  for (int i = depth - 1; i >= 0; --i) {
    expression = "a$ + (\"" + std::to_string(i) + "\" + (" + expression + "))";
    joined = "x" + std::to_string(i) + joined;
  }
  return {"joins nested deeper than the stack first holds keep their order",
          "a$ = \"x\"\nWriteLine " + expression + "\n", joined + "\n"};
}

TEST(Language, OperatorsAndPrecedence) {
  check_cases({
      nested_joins(40),
      {"multiplication before addition", "WriteLine 2 + 3 * 4 - 6 / 2\n", "11\n"},
      {"parentheses", "WriteLine (2 + 3) * 4\n", "20\n"},
      {"unary minus binds tighter than *", "WriteLine -2 * -3 + -(1 + 1)\n", "4\n"},
      {"left to right within a level", "WriteLine 100 / 10 / 5\nWriteLine 10 - 3 - 2\n", "2\n5\n"},
      {"remainder and truncating division", "WriteLine -7 / 2\nWriteLine -7 % 3\n", "-3\n-1\n"},
      {"comparisons give 1 or 0",
       "Write 1 < 2\nWrite 2 <= 2\nWrite 3 > 4\nWrite 3 >= 4\nWrite 5 = 5\nWrite 5 <> 5\n",
       "110010"},
      {"string comparison by bytes",
       "Write \"abc\" < \"abd\"\nWrite \"Z\" < \"a\"\nWrite \"ab\" < \"abc\"\nWrite \"x\" = \"X\"\n"
       "Write Chr$(200) > \"z\"\n",
       "11101"},
      {"comparison below arithmetic", "WriteLine 1 + 1 = 2\n", "1\n"},
      {"not below comparison", "WriteLine Not 1 = 2\n", "1\n"},
      {"and before or", "WriteLine 1 Or 0 And 0\nWriteLine (1 Or 0) And 0\n", "1\n0\n"},
      {"and/or give 1 or 0", "WriteLine 5 And 7\nWriteLine 0 Or -3\n", "1\n1\n"},
      {"and skips its right side when the left is false",
       "n = 0\nIf n <> 0 And 10 / n > 1\nWrite \"x\"\nEndIf\nWrite \"ok\"\n", "ok"},
      {"string joining", "a$ = \"ab\"\na$ = a$ + \"cd\" + a$\nWriteLine a$\n", "abcdab\n"},
      {"the most negative literal", "WriteLine -9223372036854775808\n", "-9223372036854775808\n"},
      {"overflow wraps instead of trapping",
       "m = -9223372036854775807 - 1\nWriteLine m / -1\nWriteLine m % -1\n"
       "WriteLine 9223372036854775807 + 1\n",
       "-9223372036854775808\n0\n-9223372036854775808\n"},
  });
}

TEST(Language, Functions) {
  check_cases({
      {"env", "WriteLine Env$(\"ZR_TEST\") + \"|\" + Env$(\"ZR_UNSET\") + \"|\"\n",
       "from the environment||\n"},
      {"arguments", "WriteLine ArgCount()\nWriteLine Arg$(2) + \"|\" + Arg$(0) + Arg$(3)\n",
       "2\nsecond arg|\n"},
      {"readline then readall",
       "a$ = ReadLine$()\nb$ = ReadLine$()\nc$ = ReadAll$()\n"
       "Write \"[\" + a$ + \"][\" + b$ + \"][\" + c$ + \"]\" + ReadLine$()\n",
       "[one][two][three\nfour]", "", 0, "one\r\ntwo\nthree\nfour"},
      {"len asc chr",
       "Write Len(\"abc\")\nWrite Asc(\"A\")\nWrite Asc(\"\")\nWrite Chr$(66)\n"
       "Write Asc(Chr$(255))\n",
       "3650B255"},
      {"str and val",
       "Write Str$(-42) + \" \"\nWrite Val(\"  17abc\")\nWrite Val(\"-5\")\nWrite Val(\"x1\")\n"
       "WriteLine \"\"\nWriteLine Val(\"99999999999999999999\")\n",
       "-42 17-50\n9223372036854775807\n"},
      {"left right",
       "WriteLine Left$(\"hello\", 2) + \"|\" + Right$(\"hello\", 3) + \"|\" + "
       "Left$(\"hi\", 9) + \"|\" + Right$(\"hi\", -1) + \"|\"\n",
       "he|llo|hi||\n"},
      {"mid",
       "WriteLine Mid$(\"hello\", 2) + \"|\" + Mid$(\"hello\", 2, 3) + \"|\" + "
       "Mid$(\"hello\", 9, 1) + \"|\" + Mid$(\"hello\", 4, 99) + \"|\"\n",
       "ello|ell||lo|\n"},
      {"find",
       "Write Find(\"abcabc\", \"bc\")\nWrite Find(\"abcabc\", \"bc\", 3)\n"
       "Write Find(\"abc\", \"x\")\nWrite Find(\"abc\", \"\")\n",
       "2500"},
      {"replace",
       "WriteLine Replace$(\"a-b-c\", \"-\", \"+=\") + \"|\" + "
       "Replace$(\"aaa\", \"aa\", \"b\") + \"|\" + Replace$(\"abc\", \"\", \"x\")\n",
       "a+=b+=c|ba|abc\n"},
      {"trim upper lower",
       "WriteLine \"[\" + Trim$(\" \t a b \t\") + \"]\" + "
       "Upper$(\"abZ1\") + Lower$(\"ABz1\")\n",
       "[a b]ABZ1abz1\n"},
      {"field",
       "s$ = \"a,b,,d\"\nWriteLine Field$(s$, 1, \",\") + \"|\" + Field$(s$, 2, \",\") "
       "+ \"|\" + Field$(s$, 3, \",\") + \"|\" + Field$(s$, 4, \",\") + \"|\" + "
       "Field$(s$, 5, \",\") + \"|\" + Field$(\"a::b\", 2, \"::\")\n",
       "a|b||d||b\n"},
      {"urldecode", "WriteLine UrlDecode$(\"a+b%20c%3d%zz%4\")\n", "a b c=%zz%4\n"},
      {"htmlescape", "WriteLine HtmlEscape$(\"<a href='x'>&\" + #DQUOTE$)\n",
       "&lt;a href=&#39;x&#39;&gt;&amp;&quot;\n"},
      {"time is now", "t = Time()\nWriteLine t > 1700000000\n", "1\n"},
      {"long strings",
       "s$ = \"ab\"\nFor i = 1 To 20\ns$ = s$ + s$\nNext\n"
       "WriteLine Len(s$)\nWriteLine Right$(s$, 3)\n",
       "2097152\nbab\n"},
      // The functions that read a variable's text where it lies, instead of a copy.
      {"text variables read in place, at the top level and in a procedure",
       "Function Scan$(t$)\n u$ = t$ + \"!\"\n"
       " Return Str$(Len(u$)) + Mid$(u$, 1, 1) + Mid$(t$, Len(t$), 1) + Str$(Find(u$, u$))\n"
       "EndFunction\ns$ = \"Hello, world\"\nWriteLine Str$(Len(s$)) + \" \" + Str$(Asc(s$)) + "
       "\" \" + Left$(s$, 2) + Right$(s$, 3) + Mid$(s$, 8) + Mid$(s$, 2, 3) + \" \" + "
       "Str$(Find(s$, \"o\")) + Str$(Find(s$, \"o\", 6)) + Field$(s$, 2, \", \")\n"
       "WriteLine Scan$(s$)\n",
       "12 72 Herldworldell 59world\n13Hd1\n"},
      {"in place in an assignment that replaces the variable read",
       "s$ = \"ab\"\ns$ = s$ + Mid$(s$, 1, 1) + Str$(Len(s$))\nWriteLine s$\n", "aba2\n"},
      {"a call or a jump between the variable and the function: the text as it was",
       "Function Change()\n Global s$\n s$ = \"changed\"\n Return 1\nEndFunction\n"
       "s$ = \"kept\"\na = 1\nWriteLine Mid$(s$, Change(), 4) + s$\n"
       "WriteLine Mid$(s$, 1 + (a = 1 Or a = 2), 3)\n",
       "keptchanged\nhan\n"},
  });
}

TEST(Language, RuntimeErrors) {
  check_cases({
      {"division by zero names its line and keeps the output sent before",
       "Write \"partial\"\nFlush\nWrite \"rest\"\nn = 0\nWriteLine 1 / n\nWriteLine \"never\"\n",
       "partialrest", "Runtime error at line 6: Division by zero\n", 1},
      {"remainder by zero", "n = 0\n\nWriteLine 5 % n\n", kFailedPage,
       "Runtime error at line 4: Division by zero\n", 1},
      {"chr out of range", "Write Chr$(256)\n", kFailedPage,
       "Runtime error at line 2: Chr$ needs a value from 0 to 255\n", 1},
  });
}

TEST(Language, SourceForms) {
  struct Form {
    const char* name;
    std::string source;
  };
  // Line numbers in messages count the source's lines whatever their ends are.
  const std::vector<Form> forms = {
      {"LF", ";x\nWriteLine 1\nWriteLine 1 / 0\n"},
      {"CR LF", ";x\r\nWriteLine 1\r\nWriteLine 1 / 0\r\n"},
      {"CR", ";x\rWriteLine 1\rWriteLine 1 / 0\r"},
      {"byte-order mark", "\xEF\xBB\xBF;x\nWriteLine 1\nWriteLine 1 / 0"},
      {"first line that looks like code", ";WriteLine 5\nWriteLine 1\nWriteLine 1 / 0\n"},
  };
  CompileSandbox box;
  for (const Form& f : forms) {
    SCOPED_TRACE(f.name);
    ProcessResult r = box.compile_and_run(f.source);
    EXPECT_EQ(r.out, kFailedPage);
    EXPECT_EQ(r.err, "Runtime error at line 3: Division by zero\n");
    EXPECT_EQ(r.exit_code, 1);
  }
}

}  // namespace
}  // namespace sr::test

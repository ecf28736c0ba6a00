// Functions and Subs: calls, scope, Global, recursion and the errors the compiler finds in them.
#include <gtest/gtest.h>

#include <string>

#include "tests/compiler/run_cases.h"

namespace sr::test {
namespace {

TEST(Procedures, CallsAndResults) {
  check_cases({
      {"function and sub, called before their definitions",
       "Paragraph(Greeting$(\"Ann\", #TRUE))\nWriteLine Square(7)\n"
       "Function Square(n)\n Return n * n\nEndFunction\n"
       "Function Greeting$(name$, excited)\n g$ = \"Hello, \" + name$\n If excited\n"
       "  g$ = g$ + \"!\"\n EndIf\n Return g$\nEndFunction\n"
       "Sub Paragraph(text$)\n WriteLine \"<p>\" + HtmlEscape$(text$) + \"</p>\"\nEndSub\n",
       "<p>Hello, Ann!</p>\n49\n"},
      {"reaching the end returns 0 or empty",
       "Function N()\nEndFunction\nFunction S$()\nEndFunction\nWriteLine Str$(N()) + \"[\" + "
       "S$() + \"]\"\n",
       "0[]\n"},
      {"a function called as a statement drops its value and keeps the stacks even",
       "Function Noisy(n)\n Write n\n Return n * 2\nEndFunction\nFor i = 1 To 3\n Noisy(i)\n"
       "Next\nWriteLine \"/\" + Str$(Noisy(5) + 1)\n",
       "1235/11\n"},
      {"a builtin called as a statement", "Val(\"3\")\nWriteLine \"ok\"\n", "ok\n"},
      {"return in a sub leaves early; return inside loops",
       "Sub Upto(n)\n For i = 1 To 10\n  While 1\n   If i > n\n    Return\n   EndIf\n   Break\n"
       "  Wend\n  Write i\n Next\n Write \"never\"\nEndSub\nUpto(3)\nWriteLine \"/\"\n",
       "123/\n"},
      {"arguments are evaluated left to right and passed by value",
       "Function Bump(n, s$)\n n = n + 1\n s$ = s$ + \"!\"\n Return n\nEndFunction\n"
       "k = 1\nt$ = \"a\"\nWriteLine Bump(k, t$) + Bump(k * 10, t$ + \"b\")\n"
       "WriteLine Str$(k) + t$\n",
       "13\n1a\n"},
      {"calls nest inside expressions of calls",
       "Function Add(a, b)\n Return a + b\nEndFunction\nWriteLine Add(Add(1, 2), Add(Add(3, 4), "
       "5))\n",
       "15\n"},
      {"names of procedures ignore case", "SUB hi()\nWriteLine \"hi\"\nendsub\nHI()\nHi()\n",
       "hi\nhi\n"},
      {"end inside a procedure ends the program",
       "Sub Stop()\n Write \"x\"\n End 4\nEndSub\nStop()\nWrite \"never\"\n", "x", "", 4},
  });
}

TEST(Procedures, Scope) {
  check_cases({
      {"a local hides the global of the same name",
       "n = 1\ns$ = \"top\"\nSub Change()\n n = 2\n s$ = \"local\"\n WriteLine Str$(n) + s$\n"
       "EndSub\nChange()\nWriteLine Str$(n) + s$\n",
       "2local\n1top\n"},
      {"locals start fresh on every call",
       "Sub Count()\n c = c + 1\n t$ = t$ + \"x\"\n WriteLine Str$(c) + t$\nEndSub\nCount()\n"
       "Count()\n",
       "1x\n1x\n"},
      {"global reaches the top level's variables and arrays",
       "total = 5\nname$ = \"a\"\nDim list(2)\nSub Add(k)\n Global total, name$, list()\n"
       " total = total + k\n name$ = name$ + \"b\"\n list(2) = k\nEndSub\nAdd(3)\nAdd(4)\n"
       "WriteLine Str$(total) + name$ + Str$(list(2))\n",
       "12abb4\n"},
      {"a text built on itself keeps its old value wherever the new one reads it",
       "s$ = \"a\"\nFunction Peek$()\n Global s$\n Return \"[\" + s$ + \"]\"\nEndFunction\n"
       "s$ = s$ + Peek$()\ns$ = s$ + s$\nt$ = \"x\"\nt$ = Left$(t$ + t$, 1) + t$\n"
       "WriteLine s$ + \" \" + t$\n",
       "a[a]a[a] xx\n"},
      {"a global made inside a procedure exists at the top level",
       "Sub SetIt()\n Global made$\n made$ = \"set\"\nEndSub\nSetIt()\nWriteLine made$\n", "set\n"},
      {"a global loop variable",
       "Sub Loop()\n Global i\n For i = 1 To 3\n Next\nEndSub\nLoop()\nWriteLine i\n", "4\n"},
      {"recursion keeps each call's locals",
       "Function Fact(n)\n If n <= 1\n  Return 1\n EndIf\n before = n\n r = n * Fact(n - 1)\n"
       " If before <> n\n  Return -1\n EndIf\n Return r\nEndFunction\n"
       "Function Rev$(s$)\n If s$ = \"\"\n  Return \"\"\n EndIf\n first$ = Left$(s$, 1)\n"
       " Return Rev$(Mid$(s$, 2)) + first$\nEndFunction\n"
       "WriteLine Fact(20)\nWriteLine Rev$(\"recursion\")\n",
       "2432902008176640000\nnoisrucer\n"},
      {"mutual recursion with a for loop in each frame",
       "Function Even(n)\n If n = 0\n  Return 1\n EndIf\n Return Odd(n - 1)\nEndFunction\n"
       "Function Odd(n)\n If n = 0\n  Return 0\n EndIf\n Return Even(n - 1)\nEndFunction\n"
       "Function Tri(n)\n t = 0\n For i = 1 To n\n  t = t + i\n Next\n If n > 0\n"
       "  t = t + Tri(n - 1) - Tri(n - 1)\n EndIf\n Return t\nEndFunction\n"
       "WriteLine Str$(Even(10)) + Str$(Odd(7)) + \" \" + Str$(Tri(6))\n",
       "11 21\n"},
  });
}

TEST(Procedures, DepthLimit) {
  const std::string depth =
      "Function Depth(n)\n If n = 0\n  Return 0\n EndIf\n Return 1 + Depth(n - 1)\nEndFunction\n";
  check_cases({
      {"ten thousand calls deep", depth + "WriteLine Depth(10000)\n", "10000\n"},
      {"a runaway recursion ends with a message",
       "Sub Forever(n)\n Forever(n + 1)\nEndSub\nWrite \"start\"\nForever(1)\n", kFailedPage,
       "Runtime error at line 3: Call depth limit reached\n", 1},
  });
}

TEST(Procedures, CompileErrors) {
  check_compile_errors({
      {"return outside a procedure", "Return 1\n", "Line 2: Return outside a Function or Sub\n"},
      {"return without a value in a function", "Function F()\n Return\nEndFunction\n",
       "Line 3: Return in Function f needs a value\n"},
      {"return with a value in a sub", "Sub S()\n Return 1\nEndSub\n",
       "Line 3: Return in Sub s takes no value\n"},
      {"return of the wrong type", "Function F()\n Return \"a\"\nEndFunction\n",
       "Line 3: Type mismatch: f returns an integer, not a string (only names ending in $ "
       "return strings)\n"},
      {"a sub in an expression", "Sub S()\nEndSub\nn = S()\n",
       "Line 4: Sub s gives no value; call it as a statement\n"},
      {"wrong argument count", "Function F(a, b)\nEndFunction\nn = F(1)\nn = F(1, 2, 3)\nF()\n",
       "Line 4: Function f takes 2 arguments\nLine 5: Function f takes 2 arguments\n"
       "Line 6: Function f takes 2 arguments\n"},
      {"argument of the wrong type", "Sub S(n, t$)\nEndSub\nS(1, 2)\n",
       "Line 4: Type mismatch: argument 2 of s (t$) must be a string, not an integer\n"},
      {"defined twice", "Sub S()\nEndSub\nSub s()\nEndSub\n",
       "Line 4: A procedure named s is already defined\n"},
      {"named after a builtin", "Function Len(s$)\nEndFunction\n",
       "Line 2: Function len has the name of a built-in function\n"},
      {"inside a block or another procedure",
       "If 1\nSub S()\nEndSub\nEndIf\nSub T()\n Function F()\n EndFunction\nEndSub\n",
       "Line 3: Sub belongs at the top level, not inside a block\nLine 4: EndSub without Sub\n"
       "Line 7: Function belongs at the top level, not inside another procedure\n"
       "Line 8: EndFunction does not match Sub t\nLine 9: EndSub without Sub\n"},
      {"left open, and a block left open inside", "Sub S()\n If 1\nEndSub\nFunction F()\n",
       "Line 3: If without EndIf\nLine 5: Function without EndFunction\n"},
      {"break outside a loop of the same procedure", "While 1\n Wend\nSub S()\n Break\nEndSub\n",
       "Line 5: Break outside a loop\n"},
      {"global at the top level or after a use",
       "Global n\nSub S()\n n = 1\n Global n\nEndSub\nSub T(p)\n Global p\nEndSub\n",
       "Line 2: Global belongs inside a Function or Sub\n"
       "Line 5: Global n must come before the first use of n in s\n"
       "Line 8: p is a parameter of t\n"},
      {"a malformed header", "Function (a)\nEndFunction\nSub S(a, a)\nEndSub\nSub T$()\nEndSub\n",
       "Line 2: Expected a name after Function but found '('\n"
       "Line 4: The parameter a appears twice\n"
       "Line 6: A Sub returns no value, so its name cannot end in $\n"},
      {"a top-level array used in a procedure without Global",
       "Dim list(3)\nSub S()\n list(1) = 2\n n = list(1)\nEndSub\n",
       "Line 4: list is an array of the top level: Global list() makes it usable in s\n"
       "Line 5: list is an array of the top level: Global list() makes it usable in s\n"},
      {"unknown statement", "print \"x\"\nn\nWrte(1)\n",
       "Line 2: Unknown statement 'print'\nLine 3: Unknown statement 'n'\n"
       "Line 4: Unknown function wrte\n"},
  });
}

}  // namespace
}  // namespace sr::test

// Arrays: Dim, ReDim, elements at and beyond their bounds, passing by reference, Split and
// Join$, and the errors the compiler finds in them.
#include <gtest/gtest.h>

#include <string>

#include "tests/compiler/compile_harness.h"
#include "tests/compiler/run_cases.h"

namespace sr::test {
namespace {

TEST(Arrays, ElementsAndBounds) {
  check_cases({
      {"dim gives 0 to n, all 0 or empty",
       "Dim a(3)\nDim b$(1)\nWriteLine Str$(UBound(a())) + Str$(a(0)) + Str$(a(3)) + \"[\" + "
       "b$(1) + \"]\"\n",
       "300[]\n"},
      {"elements written and read at both ends",
       "Dim a(2)\nDim s$(2)\na(0) = 5\na(2) = -7\ns$(0) = \"x\"\ns$(2) = s$(0) + \"y\"\n"
       "WriteLine Str$(a(0) + a(2)) + s$(2) + Str$(a(1))\n",
       "-2xy0\n"},
      {"an index expression and an element in an index",
       "Dim a(5)\nFor i = 0 To 5\n a(i) = i * i\nNext\nWriteLine a(a(2)) + a(5 - 1)\n", "32\n"},
      {"ubound before the first dim and of dim 0",
       "WriteLine UBound(a())\nWriteLine UBound(b$())\nDim a(0)\nWriteLine UBound(a())\n",
       "-1\n-1\n0\n"},
      {"a highest index of -1 gives no elements, by dim and by redim",
       "Dim a(-1)\nWriteLine UBound(a())\nDim s$(2)\ns$(0) = \"x\"\nReDim s$(-1)\n"
       "WriteLine Str$(UBound(s$())) + \"[\" + Join$(s$(), \",\") + \"]\"\nReDim s$(0)\n"
       "WriteLine \"[\" + s$(0) + \"]\"\n",
       "-1\n-1[]\n[]\n"},
      {"dim again makes the array afresh",
       "Dim a(3)\na(1) = 9\nDim a(5)\nWriteLine Str$(a(1)) + Str$(UBound(a()))\n", "05\n"},
      {"redim keeps the elements that still fit",
       "Dim s$(3)\nFor i = 0 To 3\n s$(i) = Chr$(65 + i)\nNext\nReDim s$(5)\n"
       "WriteLine Join$(s$(), \",\")\nReDim s$(1)\nWriteLine Join$(s$(), \",\")\n"
       "ReDim s$(2)\nWriteLine Join$(s$(), \",\")\n",
       "A,B,C,D,,\nA,B\nA,B,\n"},
      {"redim of an array without elements", "ReDim a(2)\na(2) = 1\nWriteLine a(2)\n", "1\n"},
      {"an array and the variable of the same name with $ are apart",
       "Dim a(1)\na$ = \"text\"\na(1) = 4\nWriteLine a$ + Str$(a(1))\n", "text4\n"},
      {"a large array of strings",
       "Dim s$(99999)\nFor i = 0 To 99999\n s$(i) = Str$(i)\nNext\n"
       "WriteLine s$(99999) + s$(0) + Str$(Len(Join$(s$(), \"\")))\n",
       "999990488890\n"},
  });
}

TEST(Arrays, RuntimeErrors) {
  check_cases({
      {"read past the end", "Dim a(2)\nWrite \"x\"\nFlush\nn = a(3)\n", "x",
       "Runtime error at line 5: Index out of range\n", 1},
      {"write below 0", "Dim s$(2)\ns$(-1) = \"a\"\n", kFailedPage,
       "Runtime error at line 3: Index out of range\n", 1},
      {"read before the first dim", "WriteLine a(0)\nDim a(1)\n", kFailedPage,
       "Runtime error at line 2: Index out of range\n", 1},
      {"a size below zero", "n = -2\nDim a(n)\n", kFailedPage,
       "Runtime error at line 3: Invalid array size\n", 1},
      {"redim below zero", "Dim a(1)\nReDim a(-2)\n", kFailedPage,
       "Runtime error at line 3: Invalid array size\n", 1},
      {"more memory than there is", "Write \"dropped\"\nDim a(4611686018427387903)\n", kFailedPage,
       "Runtime error at line 3: Out of memory\n", 1},
      {"an index past the end after a redim that shrank", "Dim a(5)\nReDim a(1)\na(2) = 1\n",
       kFailedPage, "Runtime error at line 4: Index out of range\n", 1},
  });
}

// A size that overflows nothing but exceeds what the process may have: the allocation fails
// and the run ends with the message, not with a crash or a kill.
TEST(Arrays, OutOfMemoryWithinTheProcessLimit) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizer run-times reserve more address space than a limit would leave";
#else
  CompileSandbox box;
  ASSERT_EQ(box.compile(";\nDim small$(10)\nWrite \"kept\"\nFlush\nDim big(100000000)\n"
                        "ReDim small$(100000000)\n")
                .exit_code,
            0);
  ProcessResult r =
      run_process({"/bin/sh", "-c", "ulimit -v 262144 && exec \"$0\"", box.path("prog")});
  EXPECT_EQ(r.out, "kept");
  EXPECT_EQ(r.err, "Runtime error at line 5: Out of memory\n");
  EXPECT_EQ(r.exit_code, 1);
#endif
}

TEST(Arrays, PassedByReference) {
  check_cases({
      {"the callee changes the caller's elements and size",
       "Sub Fill(list(), count)\n ReDim list(count)\n For i = 0 To count\n  list(i) = i * 10\n"
       " Next\nEndSub\nDim nums(1)\nFill(nums(), 4)\nWriteLine Str$(UBound(nums())) + \" \" + "
       "Str$(nums(4))\n",
       "4 40\n"},
      {"an array without elements, made by the callee",
       "Sub Make(t$())\n Dim t$(1)\n t$(1) = \"made\"\nEndSub\nMake(w$())\nWriteLine w$(1)\n",
       "made\n"},
      {"passed down through recursion",
       "Sub Count(a(), n)\n If n = 0\n  Return\n EndIf\n a(0) = a(0) + n\n Count(a(), n - 1)\n"
       "EndSub\nDim acc(0)\nCount(acc(), 100)\nWriteLine acc(0)\n",
       "5050\n"},
      {"a local array is fresh on every call and gone after it",
       "Function Sum(n)\n Dim part(n)\n For i = 0 To n\n  part(i) = part(i) + i\n Next\n"
       " t = 0\n For i = 0 To n\n  t = t + part(i)\n Next\n Return t\nEndFunction\n"
       "WriteLine Str$(Sum(4)) + \" \" + Str$(Sum(4))\n",
       "10 10\n"},
      {"a global array passed on from a procedure",
       "Dim names$(0)\nSub Add(n$)\n Global names$()\n Grow(names$(), n$)\nEndSub\n"
       "Sub Grow(t$(), n$)\n ReDim t$(UBound(t$()) + 1)\n t$(UBound(t$())) = n$\nEndSub\n"
       "Add(\"a\")\nAdd(\"b\")\nWriteLine Join$(names$(), \"/\")\n",
       "/a/b\n"},
  });
}

TEST(Arrays, SplitAndJoin) {
  check_cases({
      {"fields between separators",
       "n = Split(p$(), \"a,b,c\", \",\")\nWriteLine Str$(n) + Join$(p$(), \"|\")\n", "3a|b|c\n"},
      {"empty text gives one empty field",
       "n = Split(p$(), \"\", \",\")\nWriteLine Str$(n) + \"[\" + p$(0) + \"]\" + "
       "Str$(UBound(p$()))\n",
       "1[]0\n"},
      {"separators at both ends give empty first and last fields",
       "n = Split(p$(), \",a,,b,\", \",\")\nWriteLine Str$(n) + \":\" + Join$(p$(), \"|\")\n",
       "5:|a||b|\n"},
      {"an empty separator gives the whole text",
       "n = Split(p$(), \"a,b\", \"\")\nWriteLine Str$(n) + p$(0)\n", "1a,b\n"},
      {"a separator of several bytes, and no overlap",
       "n = Split(p$(), \"a::b:::c\", \"::\")\nWriteLine Str$(n) + Join$(p$(), \"|\")\n",
       "3a|b|:c\n"},
      {"split makes the array afresh",
       "Dim p$(9)\np$(9) = \"old\"\nn = Split(p$(), \"x\", \",\")\nWriteLine UBound(p$())\n",
       "0\n"},
      {"join of an array without elements and of one",
       "WriteLine \"[\" + Join$(e$(), \",\") + \"]\"\nDim o$(0)\no$(0) = \"z\"\n"
       "WriteLine Join$(o$(), \",\")\n",
       "[]\nz\n"},
      {"split as a statement", "Split(p$(), \"1 2\", \" \")\nWriteLine p$(1)\n", "2\n"},
      {"mod is another spelling of %",
       "WriteLine Str$(17 Mod 5) + Str$(-7 mod 3) + Str$(2 + 9 MOD 4 * 2)\n", "2-14\n"},
  });
}

TEST(Arrays, CompileErrors) {
  check_compile_errors({
      {"an array used as a variable", "Dim a(2)\nn = a + 1\na = 3\n",
       "Line 3: a is an array: write a(index) for one of its elements\n"
       "Line 4: a is an array: write a(index) for one of its elements\n"},
      {"an element of the wrong type", "Dim s$(1)\ns$(0) = 5\nDim n(1)\nn(0) = \"x\"\n",
       "Line 3: Type mismatch: s$ holds strings (its name ends in $), not an integer\n"
       "Line 5: Type mismatch: n holds integers (its name has no $), not a string\n"},
      {"a string index", "Dim a(1)\na(\"x\") = 1\nn = a(\"y\")\n",
       "Line 3: Type mismatch: an array index must be an integer, not a string\n"
       "Line 4: Type mismatch: an array index must be an integer, not a string\n"},
      {"dim without a size or of a function", "Dim a\nDim Len(3)\n",
       "Line 2: Dim needs the highest index: Dim a(10)\n"
       "Line 3: len is the name of a function; an array needs a name of its own\n"},
      {"an array argument not written as one",
       "Sub S(a())\nEndSub\nDim a(1)\nS(a)\nS(b$())\nn = Split(x$, \"a\", \",\")\n",
       "Line 5: Type mismatch: argument 1 of s must be an array of integers, written like "
       "list()\n"
       "Line 6: Type mismatch: argument 1 of s must be an array of integers, written like "
       "list()\n"
       "Line 7: Type mismatch: argument 1 of split must be an array of strings, written like "
       "list$()\n"},
      {"ubound of a variable", "n = UBound(n)\n",
       "Line 2: UBound needs an array, written like UBound(list()) or UBound(list$())\n"},
      {"mod of a string", "n = \"a\" Mod 2\n",
       "Line 2: Type mismatch: 'Mod' needs integers, not a string and an integer\n"},
  });
}

}  // namespace
}  // namespace sr::test

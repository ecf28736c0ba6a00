#include "runtime/regex/regex.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sr {
namespace {

constexpr int kLineFlags = 0x500002;
constexpr const char* kOpener = "(?i)<<(|here|include|file|file|multi(|line)|(cr|)lf)$";
constexpr const char* kCloser = "^\\s*<<";
constexpr const char* kNamePattern = "(?U)(?<=&).+(?==)";

class RegexTest : public ::testing::Test {
 protected:
  void SetUp() override { init_regex_library(); }
  void TearDown() override { shutdown_regex_library(); }
};

struct MatchCase {
  const char* name;
  std::string text;
  int expected;
};

void expect_matches(RegexHandle regex, const std::vector<MatchCase>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(regex_matches(regex, c.text), c.expected);
  }
}

TEST_F(RegexTest, OpenerMatchesLinesEndingInAnOpener) {
  const RegexHandle opener = create_regex(kOpener, kLineFlags);
  ASSERT_NE(opener, 0);
  expect_matches(opener, {
                             {"bare", "print <<", 1},
                             {"here", "x = <<here", 1},
                             {"upper include", "<<INCLUDE", 1},
                             {"file", "s = <<File", 1},
                             {"multi", "<<multi", 1},
                             {"multiline", "a<<multiline", 1},
                             {"crlf", "<<crlf", 1},
                             {"lf", "<<LF", 1},
                             {"here then CR", "<<here\r", 1},
                             {"opener on an inner line", "<<here\nnext", 1},
                             {"lines", "<<lines", 0},
                             {"unknown word", "<<x", 0},
                             {"opener not at the end", "<<here x", 0},
                             {"single bracket", "<here", 0},
                             {"empty", "", 0},
                         });
}

TEST_F(RegexTest, CloserMatchesLinesStartingWithBlanksAndBrackets) {
  const RegexHandle closer = create_regex(kCloser, kLineFlags);
  ASSERT_NE(closer, 0);
  expect_matches(closer, {
                             {"brackets only", "<<", 1},
                             {"blanks and brackets", "   <<", 1},
                             {"tab", "\t<<", 1},
                             {"followed by code", "  <<\" + x", 1},
                             {"after an inner CR", "text\r<<", 1},
                             {"text before", "a<<", 0},
                             {"one bracket", " <", 0},
                         });
}

// The name pattern's results, the resumption rule included, are checked in query_names_test.cc.
TEST_F(RegexTest, MatchesReplaceTheArray) {
  const RegexHandle names = create_regex(kNamePattern);
  std::vector<std::string> found = {"old", "older", "oldest"};
  EXPECT_EQ(extract_regex_matches(names, "&x=b&b=1", found), 3);
  EXPECT_EQ(found, (std::vector<std::string>{"x", "b", "b"}));
}

TEST_F(RegexTest, NoMatchLeavesTheArrayAsItWas) {
  const RegexHandle names = create_regex(kNamePattern);
  for (const char* text : {"&", "abc", "&a", "a=1"}) {
    SCOPED_TRACE(text);
    std::vector<std::string> found = {"kept", "too"};
    EXPECT_EQ(extract_regex_matches(names, text, found), 0);
    EXPECT_EQ(found, (std::vector<std::string>{"kept", "too"}));
  }
}

TEST_F(RegexTest, EmptyMatchIsStoredOnceAndEnds) {
  const RegexHandle empty = create_regex("x*");
  ASSERT_NE(empty, 0);
  std::vector<std::string> found = {"a", "b", "c"};
  EXPECT_EQ(extract_regex_matches(empty, "abc", found), 1);
  EXPECT_EQ(found, std::vector<std::string>{""});
}

TEST_F(RegexTest, BadPatternReportsAndNextCreateClears) {
  EXPECT_EQ(create_regex("(unclosed"), 0);
  EXPECT_NE(regex_last_error(), "");
  EXPECT_NE(create_regex("closed"), 0);
  EXPECT_EQ(regex_last_error(), "");
}

TEST_F(RegexTest, FlagsReachPcreUnchanged) {
  const RegexHandle plain = create_regex("^b");
  const RegexHandle multiline = create_regex("^b", kLineFlags);
  const RegexHandle caseless = create_regex("B", 0x1);
  EXPECT_EQ(regex_matches(plain, "a\rb"), 0);
  EXPECT_EQ(regex_matches(multiline, "a\rb"), 1);
  EXPECT_EQ(regex_matches(caseless, "abc"), 1);
}

TEST_F(RegexTest, ZeroByteInPatternIsRefused) {
  // Compiled up to the zero byte, "a\0b" would silently become "a".
  EXPECT_EQ(create_regex(std::string_view("a\0b", 3)), 0);
  EXPECT_NE(regex_last_error(), "");
}

TEST_F(RegexTest, UnknownOrAbsentArgumentsGiveZero) {
  const RegexHandle any = create_regex(".");
  std::vector<std::string> found = {"kept"};
  EXPECT_EQ(create_regex(std::string_view()), 0);
  EXPECT_EQ(regex_matches(0, "x"), 0);
  EXPECT_EQ(regex_matches(any + 1, "x"), 0);
  EXPECT_EQ(regex_matches(any, std::string_view()), 0);
  EXPECT_EQ(extract_regex_matches(0, "x", found), 0);
  EXPECT_EQ(extract_regex_matches(any, std::string_view(), found), 0);
  EXPECT_EQ(found, std::vector<std::string>{"kept"});
}

TEST_F(RegexTest, ShutdownReleasesEveryHandle) {
  const RegexHandle first = create_regex("a");
  const RegexHandle second = create_regex("b");
  EXPECT_NE(first, second);
  shutdown_regex_library();
  init_regex_library();
  const RegexHandle fresh = create_regex("c");
  EXPECT_EQ(regex_matches(first, "a"), 0);
  EXPECT_EQ(regex_matches(second, "b"), 0);
  EXPECT_EQ(regex_matches(fresh, "c"), 1);
}

}  // namespace
}  // namespace sr

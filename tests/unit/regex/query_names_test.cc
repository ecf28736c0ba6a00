#include "runner/query_names.h"

#include <gtest/gtest.h>
#include <pcre.h>

#include <random>
#include <string>
#include <vector>

#include "runtime/regex/regex.h"

namespace sr {
namespace {

using Names = std::vector<std::string>;

class QueryNamesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    init_regex_library();
    pattern_ = create_regex("(?U)(?<=&).+(?==)");
    ASSERT_NE(pattern_, 0);
  }
  void TearDown() override { shutdown_regex_library(); }

  Names extracted(const std::string& subject) const {
    Names names;
    const int count = extract_regex_matches(pattern_, subject, names);
    EXPECT_EQ(count, static_cast<int>(names.size()));
    return names;
  }

  void expect_same(const std::string& subject) const {
    const Names scanned = query_parameter_names(subject);
    const Names reference = extracted(subject);
    if (scanned != reference) {
      ADD_FAILURE() << "subject " << ::testing::PrintToString(subject) << "\n  scan "
                    << ::testing::PrintToString(scanned) << "\n  pcre "
                    << ::testing::PrintToString(reference);
    }
  }

  RegexHandle pattern_ = 0;
};

// The scan treats LF as the only byte that "." refuses; that holds for PCRE's newline setting.
TEST(PcreBuild, DefaultNewlineIsLineFeed) {
  int newline = 0;
  ASSERT_EQ(pcre_config(PCRE_CONFIG_NEWLINE, &newline), 0);
  EXPECT_EQ(newline, '\n');
}

TEST_F(QueryNamesTest, Examples) {
  struct Case {
    const char* name;
    std::string subject;
    Names expected;
  };
  const std::vector<Case> cases = {
      {"two of three", "&a=1&b=2&c", {"a", "b"}},
      {"trailing ampersand", "&a=1&", {"a"}},
      {"empty query", "&", {}},
      {"empty subject", "", {}},
      {"without equals merges", "&a&b=1", {"a&b"}},
      {"value holds a later name", "&x=b&b=1", {"x", "b", "b"}},
      {"empty name", "&=x&b=2", {"=x&b"}},
      {"no equals at all", "&abc", {}},
      {"last without equals", "&a=1&z", {"a"}},
      {"percent escapes stay", "&a%20b=1", {"a%20b"}},
      {"LF ends a name", "&a\nb=1&c=2", {"c"}},
      {"CR belongs to a name", "&a\r=1", {"a\r"}},
      {"zero byte belongs to a name", std::string("&a\0b=1", 6), {std::string("a\0b", 3)}},
      {"name equal to an earlier value twice", "&k=vv&v=1&v=2", {"k", "v", "v", "v", "v"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(query_parameter_names(c.subject), c.expected);
    EXPECT_EQ(extracted(c.subject), c.expected);
  }
}

TEST_F(QueryNamesTest, SameAsPcreOnRandomBytes) {
  const std::string alphabet("&=ab\n\r#%\xe9", 9);
  const std::string with_zero = alphabet + std::string(1, '\0');
  std::mt19937 random(20240611);
  std::uniform_int_distribution<size_t> length(0, 40);
  std::uniform_int_distribution<size_t> pick(0, with_zero.size() - 1);
  for (int round = 0; round < 40000; ++round) {
    std::string subject(length(random), ' ');
    for (char& c : subject) c = with_zero[pick(random)];
    expect_same(subject);
    if (HasFailure()) return;
  }
}

// Queries shaped like real ones: short names drawn from a few letters, values that often repeat
// names, and now and then a parameter without "=", an empty name or a line break.
std::string random_query(std::mt19937& random) {
  static const char* const kPieces[] = {"a", "b", "ab", "ba", "a&b", "=", "\n", "\r", "%26"};
  std::uniform_int_distribution<int> count(0, 12);
  std::uniform_int_distribution<int> piece(0, std::size(kPieces) - 1);
  std::uniform_int_distribution<int> shape(0, 9);
  std::string query = "&";
  const int parameters = count(random);
  for (int p = 0; p < parameters; ++p) {
    if (p > 0) query += '&';
    const int form = shape(random);
    if (form != 0) query += kPieces[piece(random)];
    if (form != 1) query += '=';
    if (form > 3) query += kPieces[piece(random)];
  }
  return query;
}

TEST_F(QueryNamesTest, SameAsPcreOnStructuredQueries) {
  std::mt19937 random(7);
  for (int round = 0; round < 20000; ++round) {
    expect_same(random_query(random));
    if (HasFailure()) return;
  }
}

// Inputs on which a scan from every start position, or a naive substring search from every cut,
// takes quadratic time.
TEST_F(QueryNamesTest, LargeQueries) {
  constexpr size_t kSize = 128 * 1024;
  // PCRE needs minutes for this one, so its result is checked by construction: no "=", no name.
  EXPECT_EQ(query_parameter_names("&" + std::string(kSize, '&')), Names{});

  std::string repeated = "&";
  while (repeated.size() < kSize) repeated += "&a=";
  const Names names = query_parameter_names(repeated);
  ASSERT_EQ(names.size(), (repeated.size() - 1) / 3);
  EXPECT_EQ(names.front(), "&a");
  expect_same(repeated);

  std::string many = "&";
  Names expected;
  for (int i = 0; i < 20000; ++i) {
    expected.push_back("p" + std::to_string(i));
    many += expected.back() + "=v&";
  }
  EXPECT_EQ(query_parameter_names(many), expected);

  // The long value holds the long name, so the name is found three times.
  const std::string long_name(kSize, 'a');
  const std::string echoed = "&" + long_name + "=" + long_name + "&" + long_name + "=";
  EXPECT_EQ(query_parameter_names(echoed), Names(3, long_name));
  expect_same(echoed);

  // Every position of the long run starts a near occurrence of the name.
  const std::string near = "&x=" + long_name + "&" + long_name.substr(kSize / 2) + "b=";
  EXPECT_EQ(query_parameter_names(near).size(), 2u);
  expect_same(near);
}

}  // namespace
}  // namespace sr

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "runtime/console/console.h"

namespace sr {
namespace {

using std::string_literals::operator""s;

TEST(EnvironmentVariable, SetThenGet) {
  struct Row {
    const char* name;
    std::string variable;
    std::string value;
    std::string read_back;
  };
  const Row rows[] = {
      {"plain value", "SR_ENV_PLAIN", "/srv/cgi", "/srv/cgi"},
      {"empty value reads like unset", "SR_ENV_EMPTY", "", ""},
      {"value with blanks and =", "SR_ENV_EQ", "a = b c", "a = b c"},
      {"value ends at a NUL", "SR_ENV_NUL", "left\0right"s, "left"},
      {"name ends at a NUL", "SR_ENV_CUT\0IGNORED"s, "v", "v"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    set_environment_variable(row.variable, row.value);
    EXPECT_EQ(get_environment_variable(row.variable), row.read_back);
  }
  // The C library sees what was set, as a child program would inherit it.
  ASSERT_NE(std::getenv("SR_ENV_EMPTY"), nullptr);
  EXPECT_STREQ(std::getenv("SR_ENV_EMPTY"), "");
  EXPECT_STREQ(std::getenv("SR_ENV_CUT"), "v");
}

TEST(EnvironmentVariable, OverwritesEarlierValue) {
  set_environment_variable("SR_ENV_TWICE", "first");
  set_environment_variable("SR_ENV_TWICE", "second");
  EXPECT_EQ(get_environment_variable("SR_ENV_TWICE"), "second");
}

TEST(EnvironmentVariable, UnsetAndUnusableNamesGiveEmpty) {
  unsetenv("SR_ENV_NEVER_SET");
  EXPECT_EQ(get_environment_variable("SR_ENV_NEVER_SET"), "");
  EXPECT_EQ(get_environment_variable(""), "");

  set_environment_variable("", "ignored");
  EXPECT_EQ(get_environment_variable(""), "");
  // setenv refuses "=" in a name; the failure is ignored and nothing is set.
  set_environment_variable("SR_ENV_A=B", "x");
  EXPECT_EQ(std::getenv("SR_ENV_A"), nullptr);
}

}  // namespace
}  // namespace sr

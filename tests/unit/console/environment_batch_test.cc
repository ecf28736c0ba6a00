#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "runtime/console/console.h"

namespace sr {
namespace {

int count_entries(const std::string& name) {
  int count = 0;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::string(*e).rfind(name + "=", 0) == 0) ++count;
  }
  return count;
}

TEST(EnvironmentBatch, SetsReplacesAndRefusesLikeOneCallEach) {
  setenv("SR_BATCH_OLD", "before", 1);
  set_environment_variables({{"SR_BATCH_NEW", "a"},
                             {"SR_BATCH_OLD", "after"},
                             {"SR_BATCH_NEW", "b"},
                             {"SR_BAD=NAME", "x"},
                             {"", "y"},
                             {"SR_BATCH_EMPTY", ""},
                             {std::string("SR_BATCH_NUL\0tail", 17), std::string("v\0w", 3)}});
  EXPECT_EQ(get_environment_variable("SR_BATCH_NEW"), "b");
  EXPECT_EQ(get_environment_variable("SR_BATCH_OLD"), "after");
  EXPECT_EQ(count_entries("SR_BATCH_NEW"), 1);
  EXPECT_EQ(count_entries("SR_BATCH_OLD"), 1);
  EXPECT_EQ(count_entries("SR_BAD"), 0);
  EXPECT_EQ(count_entries("SR_BATCH_EMPTY"), 1);
  // A NUL ends a name or a value, as it does for the platform's own calls.
  EXPECT_EQ(get_environment_variable("SR_BATCH_NUL"), "v");
  // Later single calls and child programs see the same environment.
  set_environment_variable("SR_BATCH_OLD", "again");
  EXPECT_EQ(count_entries("SR_BATCH_OLD"), 1);
  EXPECT_EQ(std::system("test \"$SR_BATCH_NEW$SR_BATCH_OLD\" = bagain"), 0);
}

TEST(EnvironmentBatch, ManyVariablesAllArrive) {
  std::vector<std::pair<std::string, std::string>> many;
  for (int i = 0; i < 20000; ++i) many.emplace_back("SR_MANY_" + std::to_string(i), "v");
  set_environment_variables(many);
  EXPECT_EQ(get_environment_variable("SR_MANY_0"), "v");
  EXPECT_EQ(get_environment_variable("SR_MANY_19999"), "v");
  EXPECT_EQ(count_entries("SR_MANY_12345"), 1);
}

}  // namespace
}  // namespace sr

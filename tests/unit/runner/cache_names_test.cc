#include "runner/cache_names.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

namespace sr {
namespace {

TEST(CacheNames, SpecifiedNameDropsEverySlash) {
  EXPECT_EQ(specified_executable_name("/var/www/cgi-bin/hello.cgi"),
            "/tmp/zr-executable_varwwwcgi-binhello.cgi");
  EXPECT_EQ(specified_executable_name("plain.cgi"), "/tmp/zr-executable_plain.cgi");
}

TEST(CacheNames, CollidingScriptsGetNamesOfTheirOwn) {
  const std::string a = "/a/bc.cgi", b = "/ab/c.cgi";
  ASSERT_EQ(specified_executable_name(a), specified_executable_name(b));
  const std::string name_a = colliding_executable_name(a);
  const std::string name_b = colliding_executable_name(b);
  EXPECT_NE(name_a, name_b);
  EXPECT_TRUE(std::regex_match(name_b, std::regex("/tmp/zr-executable_abc\\.cgi_[0-9a-f]{16}")))
      << name_b;
  EXPECT_EQ(colliding_executable_name(b), name_b) << "a script keeps its name from run to run";
}

TEST(CacheNames, FilesBesideAnExecutable) {
  const std::string exe = "/tmp/zr-executable_x.cgi";
  EXPECT_EQ(record_name(exe), exe + ".script");
  EXPECT_EQ(source_name(exe), exe + ".zr");
  EXPECT_EQ(partial_prefix(exe), exe + ".tmp-");
}

TEST(CacheNames, ForceSuffixIsDatedAndVaries) {
  const std::regex form(R"(_\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d_CanBeDeleted_(0|[1-9]\d{0,6})\.tmp)");
  std::set<std::string> seen;
  for (int i = 0; i < 20; ++i) {
    const std::string suffix = force_suffix();
    EXPECT_TRUE(std::regex_match(suffix, form)) << suffix;
    seen.insert(suffix);
  }
  EXPECT_GT(seen.size(), 1u);
}

}  // namespace
}  // namespace sr

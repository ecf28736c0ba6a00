// What the server does itself where the runner would: the environment it builds for a request,
// and the error lines it makes of a script's standard error.
#include <gtest/gtest.h>

#include <string>

#include "fcgi/error_lines.h"
#include "fcgi/request_environment.h"

namespace sr::fcgi {
namespace {

std::vector<std::string> entries_of(RequestEnvironment& environment) {
  std::vector<std::string> texts;
  for (char* entry : environment.entries()) {
    if (entry != nullptr) texts.emplace_back(entry);
  }
  return texts;
}

TEST(RequestEnvironment, FollowsSetenvsRules) {
  RequestEnvironment environment;
  environment.set("B", "1");
  environment.set("A", "2");
  environment.set("B", "3");  // keeps its place, takes the new value
  environment.set("", "empty name");
  environment.set("C=D", "name with =");
  environment.set(std::string_view("E\0F", 3), "name with NUL");
  environment.set("V", std::string_view("cut\0here", 8));
  environment.set("W", "a=b");
  EXPECT_EQ(entries_of(environment), (std::vector<std::string>{"B=3", "A=2", "V=cut", "W=a=b"}));
  EXPECT_EQ(environment.get("B"), "3");
  EXPECT_EQ(environment.get("missing"), "");
  EXPECT_TRUE(environment.has("W"));
  EXPECT_FALSE(environment.has("C"));
  EXPECT_EQ(environment.entries().back(), nullptr);
}

TEST(RequestEnvironment, ManyNamesAndARollbackKeepEveryEntryFindable) {
  // Past what the index first holds, with names that begin one another.
  RequestEnvironment environment;
  std::vector<std::string> expected;
  for (int i = 0; i < 150; ++i) {
    const std::string name =
        std::string(static_cast<std::size_t>(i % 7 + 1), 'N') + std::to_string(i / 7);
    environment.set(name, "v" + std::to_string(i));
    expected.push_back(name + "=v" + std::to_string(i));
  }
  environment.checkpoint();
  environment.set("N0", "changed");
  environment.set("ADDED", "1");
  environment.set("NN0", "changed too");
  EXPECT_EQ(environment.get("N0"), "changed");
  environment.rollback();
  EXPECT_EQ(entries_of(environment), expected);
  EXPECT_FALSE(environment.has("ADDED"));
  EXPECT_EQ(environment.get("NN0"), "v1");
  EXPECT_EQ(environment.get("NNNNNNN20"), "v146");
}

TEST(RequestEnvironment, EnvOptionsComeAfterAndOverTheParams) {
  RequestEnvironment environment =
      request_environment({{"SITE", "request"}, {"QUERY_STRING", "a=1"}}, {{"SITE", "server"}});
  EXPECT_EQ(entries_of(environment), (std::vector<std::string>{"SITE=server", "QUERY_STRING=a=1"}));
}

std::string lines_of(std::initializer_list<std::string_view> writes, bool ended = true) {
  ErrorLines lines;
  std::string out;
  for (std::string_view bytes : writes) lines.feed(bytes, out);
  if (ended) lines.finish(out);
  return out;
}

TEST(ErrorLines, AreTheRunnersLines) {
  // Empty lines are dropped, CR stays, a NUL ends the line's text but not the line.
  EXPECT_EQ(lines_of({"one\n\ntwo\r\n"}), "one\ntwo\r\n");
  EXPECT_EQ(lines_of({std::string_view("a\0b\n\0\n", 6)}), "a\n\n");
  // A line may come in many writes; the last one counts without its LF once the stream ends.
  EXPECT_EQ(lines_of({"spl", "it\nla", "st"}), "split\nlast\n");
  EXPECT_EQ(lines_of({"unfinished"}, /*ended=*/false), "");
}

TEST(ErrorLines, AnUnfinishedLineIsPassedOnInPiecesOfTheLimit) {
  const std::string piece(ErrorLines::kLongestLine, 'x');
  ErrorLines lines;
  std::string out;
  lines.feed(piece + "yy", out);
  EXPECT_EQ(out, piece + "\n");
  lines.feed("z\n", out);
  EXPECT_EQ(out, piece + "\nyyz\n");
}

}  // namespace
}  // namespace sr::fcgi

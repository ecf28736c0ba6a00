#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "runtime/strings/url_part.h"

namespace sr {
namespace {

// The index must answer exactly like the single lookup, including the quirks of the walk.
TEST(UrlQuery, AnswersLikeUrlPartForEveryName) {
  const std::string_view urls[] = {
      "/x.cgi?Name=Joe&age=5&NAME=Ann",
      "/x.cgi?a&b=1&a=2",
      "/x.cgi?a=1#top&b=2&A=3",
      "/x.cgi?x=b&b=2&=3&&c==4",
      "/x.cgi?/PM/=1&/pm/=2#frag",
      "http://u:pw@host:8080/p?q=1&Q=2#top",
      "/x.cgi?a=1&z",
      "/x.cgi",
      "",
  };
  const std::string_view names[] = {"name", "NAME", "age",  "a",   "A", "b", "a&b",
                                    "c",    "x",    "z",    "q",   "",  "=", "/PM/",
                                    "/pm/", "/WS/", "/AN/", "nam", "&c"};
  for (std::string_view url : urls) {
    const UrlQuery query(url);
    for (std::string_view name : names) {
      SCOPED_TRACE(std::string(url) + " | " + std::string(name));
      EXPECT_EQ(query.value(name), url_part(url, name));
    }
  }
}

TEST(UrlQuery, KeepsItsOwnCopyOfTheUrl) {
  std::string url = "/x.cgi?a=1&b=2";
  const UrlQuery query(url);
  url.assign(url.size(), '#');
  EXPECT_EQ(query.value("b"), "2");
}

TEST(UrlQuery, IndexesTwentyThousandParameters) {
  std::string url = "/x.cgi?";
  for (int i = 0; i < 20000; ++i) url += "p" + std::to_string(i) + "=v" + std::to_string(i) + "&";
  const UrlQuery query(url);
  for (int i : {0, 123, 19999}) {
    SCOPED_TRACE(i);
    EXPECT_EQ(query.value("P" + std::to_string(i)), "v" + std::to_string(i));
  }
  EXPECT_EQ(query.value("p20000"), "");
}

}  // namespace
}  // namespace sr

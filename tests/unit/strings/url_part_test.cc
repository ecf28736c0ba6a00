#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "runtime/strings/url_part.h"

namespace sr {
namespace {

using namespace std::string_view_literals;

struct Row {
  const char* name;
  std::string_view url, part, expected;
};

void check_rows(const Row* begin, const Row* end) {
  for (const Row* row = begin; row != end; ++row) {
    SCOPED_TRACE(std::string(row->name) + " | " + std::string(row->part));
    EXPECT_EQ(url_part(row->url, row->part), row->expected);
  }
}

constexpr std::string_view kFull = "http://u:pw@host:8080/p/a.cgi?x=1#top";

TEST(UrlPart, NamesAllPartsOfAFullUrl) {
  const Row rows[] = {
      {"host", kFull, "/WS/", "host"},      {"port", kFull, "/PO/", "8080"},
      {"user", kFull, "/US/", "u"},         {"password", kFull, "/PS/", "pw"},
      {"parameters", kFull, "/PM/", "x=1"}, {"anchor", kFull, "/AN/", "top"},
      {"path", kFull, "/PT/", "p/a.cgi"},   {"parameter", kFull, "x", "1"},
  };
  check_rows(std::begin(rows), std::end(rows));
}

TEST(UrlPart, NamesPartsOfUrlsMissingPieces) {
  const Row rows[] = {
      {"no user: host", "http://host/p/a.cgi", "/WS/", "host"},
      {"no user: user", "http://host/p/a.cgi", "/US/", ""},
      {"no user: password", "http://host/p/a.cgi", "/PS/", ""},
      {"no port", "http://host/p/a.cgi", "/PO/", ""},
      {"no query: parameters", "http://host/p/a.cgi", "/PM/", ""},
      {"no anchor", "http://host/p/a.cgi?x=1", "/AN/", ""},
      {"no path: host", "http://host:8080", "/WS/", "host"},
      {"no path: port", "http://host:8080", "/PO/", "8080"},
      {"no path", "http://host:8080", "/PT/", ""},
      {"empty path", "http://host/", "/PT/", ""},
      {"user without password: user", "http://u@host/", "/US/", "u"},
      {"user without password: password", "http://u@host/", "/PS/", ""},
      {"user without password: host", "http://u@host/", "/WS/", "host"},
      {"no path after userinfo: host", "http://u:pw@host", "/WS/", "host"},
      {"no path after userinfo: password", "http://u:pw@host", "/PS/", "pw"},
      {"empty user", "ftp://:pw@host/", "/US/", ""},
      {"empty user: password", "ftp://:pw@host/", "/PS/", "pw"},
      {"password holds colon", "http://u:p:q@h/", "/PS/", "p:q"},
      {"query before path: parameters", "http://host?x=1#a", "/PM/", "x=1"},
      {"anchor only", "http://host#a", "/AN/", "a"},
      {"relative: host", "/x.cgi?a=1", "/WS/", ""},
      {"relative: port", "/x.cgi?a=1", "/PO/", ""},
      {"relative: user", "/x.cgi?a=1", "/US/", ""},
      {"relative: password", "/x.cgi?a=1", "/PS/", ""},
      {"relative: path", "/x.cgi?a=1", "/PT/", ""},
      {"relative: parameters", "/x.cgi?a=1", "/PM/", "a=1"},
      {"relative: anchor", "/x.cgi?a=1#b=2", "/AN/", "b=2"},
      {"empty url", "", "/PM/", ""},
  };
  check_rows(std::begin(rows), std::end(rows));
}

// Host, port, user, password and path are bounded by the authority (up to the first "/", "?" or
// "#"), so a delimiter in a later part never moves them.
TEST(UrlPart, KeepsLaterPartsOutOfTheAuthority) {
  const Row rows[] = {
      {"at sign in query: host", "http://host/q?mail=a@evil.example", "/WS/", "host"},
      {"at sign in query: user", "http://host/q?mail=a@evil.example", "/US/", ""},
      {"at sign in query: password", "http://host:80/q?m=a@b", "/PS/", ""},
      {"at sign in query: port", "http://host:80/q?m=a@b", "/PO/", "80"},
      {"colon in path: port", "http://host/a:b/c", "/PO/", ""},
      {"colon in path: host", "http://host/a:b/c", "/WS/", "host"},
      {"query right after host: host", "http://host?x=1", "/WS/", "host"},
      {"query right after port: port", "http://host:8080?x=1", "/PO/", "8080"},
      {"query right after host: path", "http://host?x=/y", "/PT/", ""},
      {"anchor stays in path", "http://host/p#top", "/PT/", "p#top"},
      {"query ends path after anchor", "http://host/p#a?b", "/PT/", "p#a"},
      {"scheme inside query: host", "/x.cgi?u=http://a@evil/", "/WS/", ""},
      {"scheme inside query: user", "/x.cgi?u=http://a@evil/", "/US/", ""},
      {"scheme inside query: path", "/x.cgi?u=http://a@evil/p", "/PT/", ""},
  };
  check_rows(std::begin(rows), std::end(rows));
}

TEST(UrlPart, FindsRawQueryParameterValues) {
  const Row rows[] = {
      {"case-insensitive key", "/x.cgi?Name=Joe&age=5", "name", "Joe"},
      {"last parameter", "/x.cgi?Name=Joe&age=5", "AGE", "5"},
      {"key must have the name's length", "/x.cgi?Name=Joe&age=5", "nam", ""},
      {"anchor ends the last value", "/x.cgi?a=1#top", "a", "1"},
      {"ampersand wins over anchor", "/x.cgi?a=1#top&b=2", "a", "1#top"},
      {"not decoded", "/x.cgi?a=%41+b", "a", "%41+b"},
      {"first match wins", "/x.cgi?a=1&a=2", "a", "1"},
      {"part name answers with the part", "/x.cgi?/PM/=1&b=2", "/PM/", "/PM/=1&b=2"},
      {"part names are case-sensitive", "/x.cgi?/pm/=1", "/pm/", "1"},
      {"longer than a part name", "/x.cgi?/PM/x=1", "/PM/x", "1"},
      {"key without equals merges", "/x.cgi?a&b=1", "a&b", "1"},
      {"merged key hides its tail", "/x.cgi?a&b=1", "b", ""},
      {"last parameter without equals", "/x.cgi?a=1&z", "z", ""},
      {"empty value", "/x.cgi?a=&b=2", "a", ""},
      {"empty last value", "/x.cgi?a=", "a", ""},
      {"value holds equals", "/x.cgi?a=b=c&d=1", "a", "b=c"},
      {"name inside a value", "/x.cgi?x=b&b=2", "b", "2"},
      {"suffix of a key", "/x.cgi?ab=1&b=2", "b", "2"},
      {"empty key skipped", "/x.cgi?=x&b=2", "b", "2"},
      {"empty name", "/x.cgi?=x&b=2", "", ""},
      {"no question mark", "/x.cgi", "a", ""},
      {"no equals at all", "/x.cgi?abc", "abc", ""},
      {"empty url", "", "a", ""},
      {"percent key", "/x.cgi?a%20b=1", "A%20B", "1"},
      {"latin-1 keys compare exactly", "/x.cgi?\xC4=1", "\xE4", ""},
  };
  check_rows(std::begin(rows), std::end(rows));
}

TEST(UrlPart, HandlesTwentyThousandParameters) {
  std::string url = "/x.cgi?";
  for (int i = 0; i < 20000; ++i) url += "p" + std::to_string(i) + "=v" + std::to_string(i) + "&";
  url += "last=end#frag";
  EXPECT_EQ(url_part(url, "p0"), "v0");
  EXPECT_EQ(url_part(url, "P10000"), "v10000");
  EXPECT_EQ(url_part(url, "p19999"), "v19999");
  EXPECT_EQ(url_part(url, "last"), "end");
  EXPECT_EQ(url_part(url, "p20000"), "");
  EXPECT_EQ(url_part(url, "/AN/"), "frag");
}

// Every answer is a piece of the URL: never longer, never bytes from outside it. Run under the
// address sanitizer this also catches reads past the end of a truncated URL.
TEST(UrlPart, AnswersWithBytesOfTheUrlForEveryPrefix) {
  const std::string_view url = "ftp://a:b@c:1/d:e@f?g=h&/WS/=i&j#k=l&m?n://o@p:q/r"sv;
  const std::string_view names[] = {"/WS/", "/PO/", "/US/", "/PS/", "/PM/", "/AN/",
                                    "/PT/", "g",    "J",    "m",    "/WS/", "k"};
  for (std::size_t n = 0; n <= url.size(); ++n) {
    const std::string prefix(url.substr(0, n));  // its own allocation, so overreads are caught
    for (std::string_view name : names) {
      SCOPED_TRACE(prefix + " | " + std::string(name));
      const std::string part = url_part(prefix, name);
      EXPECT_LE(part.size(), prefix.size());
      EXPECT_NE(prefix.find(part), std::string::npos);
    }
  }
}

TEST(UrlPart, TreatsZeroBytesAsOrdinaryBytes) {
  const std::string_view url = "/x.cgi?a=1\0b&c\0=2"sv;
  EXPECT_EQ(url_part(url, "a"), "1\0b"sv);
  EXPECT_EQ(url_part(url, "c\0"sv), "2");
  EXPECT_EQ(url_part(url, "c"), "");
}

}  // namespace
}  // namespace sr

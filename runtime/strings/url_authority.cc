#include "runtime/strings/url_authority.h"

namespace sr {
namespace {

constexpr std::size_t kNone = std::string_view::npos;

// The first `c` in [begin, end), or kNone.
std::size_t find_in(std::string_view url, char c, std::size_t begin, std::size_t end) {
  std::size_t at = url.substr(begin, end - begin).find(c);
  return at == kNone ? kNone : begin + at;
}

}  // namespace

std::optional<UrlAuthority> find_url_authority(std::string_view url) {
  std::size_t scheme_end = url.find("://");
  if (scheme_end == kNone || url.find_first_of("/?#") != scheme_end + 1) return std::nullopt;
  UrlAuthority a{};
  a.begin = scheme_end + 3;
  // Delimiters are only looked for up to here, so an "@" or ":" in the path, query or anchor
  // never moves the host.
  a.end = url.find_first_of("/?#", a.begin);
  if (a.end == kNone) a.end = url.size();
  a.at = find_in(url, '@', a.begin, a.end);
  a.password_colon = a.at == kNone ? kNone : find_in(url, ':', a.begin, a.at);
  a.host_begin = a.at == kNone ? a.begin : a.at + 1;
  a.port_colon = find_in(url, ':', a.host_begin, a.end);
  return a;
}

}  // namespace sr
